// The daemon's local socket: the one door through which every program on
// the daemon's host reaches it, so that the kernel, not a secret, says who
// calls (zqm_listener.h), and nobody who merely binds port 8088 first can
// pass for the daemon.
//
// Its path, first match wins:
//   1. ZQM_DAEMON_SOCKET (the daemon sets it for every instance it starts)
//   2. for root: /run/zqmd/zqmd.sock
//   3. for anyone else: the user's own, $XDG_RUNTIME_DIR/zqmd/zqmd.sock (or
//      /tmp/zqmd-<uid>/zqmd.sock when XDG_RUNTIME_DIR is not set), when it
//      exists: a daemon of one's own; else /run/zqmd/zqmd.sock, root's
// The daemon listens at DaemonPath(): the same rules, without the test for
// existence.
//
// A client trusts the socket only when the process listening there is
// root's or its own user's: a socket of anybody else is refused.
#pragma once

#include <sys/types.h>

#include <string>

#include "DEVUror/zqm_socket_io.h"
#include "typelib/dodived.h"

namespace zqm_local {

constexpr char kSystemPath[] = "/run/zqmd/zqmd.sock";

// Where a client looks for the daemon of this host.
std::string ClientPath();
// Where a daemon listens when not told otherwise.
std::string DaemonPath();

// Whether `host` is this host: a local name or address (ZQ_TSocket::
// IsLocalHost) or an address of one of its interfaces.
bool IsThisHost(const ZQ_TString& host);

// A connection to the daemon, greeted and ready for calls.
struct DaemonConnection {
  int fd = -1;
  pid_t pid = 0;         // the daemon's process
  std::string path;      // where it was made
  std::string greeting;  // the greeting's payload
  bool reused = false;   // taken from the pool, not made now
};

// A connection to the daemon at ClientPath(): one this process used before
// and gave back, when one is still open, else a new one, greeted within
// `deadline`. Safe from any thread. Throws what ConnectToDaemon throws, or
// ZQM_EProtocolError for a first frame that is no greeting.
DaemonConnection TakeDaemonConnection(zqm_io::Deadline deadline);
// Gives back a connection that is between calls, for the next taker; the
// pool keeps a few (kPooledConnections) and closes the rest.
void GiveBack(DaemonConnection connection);
constexpr std::size_t kPooledConnections = 32;

// A connected socket (close-on-exec, non-blocking) to the daemon at
// ClientPath(), owned by the caller, whose listener is root's or ours; its
// process id in `pid`. Throws ZQM_EConnectionFailed saying why not, with
// advice (is the daemon running? who holds the socket?), or ZQM_ETimeout.
int ConnectToDaemon(zqm_io::Deadline deadline, pid_t& pid);

}  // namespace zqm_local
