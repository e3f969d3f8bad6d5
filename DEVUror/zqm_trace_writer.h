// The trace's output side: a bounded buffer of formatted lines and the one
// thread per process that writes it to standard output (see zqm_trace.h).
#pragma once

#include <chrono>
#include <string>

namespace zqm_trace::detail {

// "<date> <time>.<µs> <level> <program>[<pid>/<tid>] ", for the calling
// thread at this moment.
std::string Prefix(int level);

// Hands one whole line (prefix, text and line end) to the writer. Never
// waits for the output: when kPendingLimit bytes are pending, the line is
// dropped and counted. Falls back to writing at once when no writer thread
// can be started.
void Append(std::string line);

// Waits until everything appended so far has been written, at most
// `deadline`; returns whether it was.
bool WaitWritten(std::chrono::milliseconds deadline);

}  // namespace zqm_trace::detail
