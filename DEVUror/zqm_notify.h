// Readiness for a service manager: when a program runs as a systemd unit of
// Type=notify, the manager names a unix datagram socket in NOTIFY_SOCKET
// (a path, or an abstract name written with a leading '@') and waits for the
// datagram "READY=1" before it starts the units ordered after this one.
//
// TakeNotifySocket() takes the variable out of the environment, so that no
// program started later (the daemon's servers) sends in this program's name;
// it must run at the start of main, before any thread exists. Ready() then
// sends "READY=1" once the program serves. Without NOTIFY_SOCKET both do
// nothing, so programs started by hand, by scripts or by tests are unaffected.
#pragma once

#include <string>

namespace zqm_notify {

// Keeps NOTIFY_SOCKET for Ready() and removes it from the environment.
void TakeNotifySocket();

// Sends "READY=1" to the socket taken, once; later calls do nothing. A
// failure is traced (level 0) and otherwise ignored: the program serves all
// the same, and the manager reports the missing readiness itself.
void Ready();

// Sends `state` (e.g. "READY=1") as one datagram to the unix socket named by
// `address`; returns an empty text on success, else what failed and why.
std::string Send(const std::string& address, const std::string& state);

}  // namespace zqm_notify
