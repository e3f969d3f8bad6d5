// The process-wide shutdown state of the middleware runtime.
//
// Shutdown begins when the process receives SIGTERM or SIGINT (once the
// server has installed its handlers) or when the server's event loop
// returns. From then on new client connections throw
// ZQM_EShutdownInProgress; calls on connections that exist go on working.
#pragma once

namespace zqm_shutdown {

bool InProgress();

// Begins shutdown. Async-signal-safe.
void Begin();

// A descriptor that becomes readable once shutdown has begun (an eventfd;
// never closed). The event loop waits on it.
int WakeDescriptor();

// Makes SIGTERM and SIGINT begin shutdown instead of ending the process.
void InstallSignalHandlers();

// Throws ZQM_EShutdownInProgress, naming `what` was refused, once shutdown
// has begun.
void ThrowIfInProgress(const char* what);

}  // namespace zqm_shutdown
