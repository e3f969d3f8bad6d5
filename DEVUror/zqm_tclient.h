// ZQM_TClient: a connection to one middleware server, used by one thread.
//
// A client connects either to a host and port, or to a server by name and
// instance on a host: it then asks the middleware daemon of that host
// (port 8088) where the instance listens, and the daemon starts the instance
// first when it is configured and not running. Each call is one round trip;
// a failed call leaves the client disconnected until Connect or Reconnect.
//
// The daemon of this host is reached through its local socket
// (zqm_local_socket.h), where the kernel tells it who we are; no secret is
// proved there. Such a connection, once its client is done with it between
// calls, goes back to a pool of the process, so that the next client skips
// the connect and the greeting. Any other server, and another host's daemon, is reached over
// TCP: the client checks that the greeting names whom it meant to reach,
// proves itself and checks the server's proof in the handshake
// (zqm_handshake.h), and seals every frame after it; a server with another
// key, or one that runs insecure while we have a key (and vice versa), is
// refused with ZQM_EAuthenticationFailed.
//
// Waits are bounded: a connection attempt by kConnectTimeoutMs, the server's
// greeting and the handshake by kGreetingTimeoutMs, a location request by kLocateTimeoutMs. A
// call waits as long as the server computes (a reconfiguration that starts
// many servers may take minutes), unless a call time-out is set; a peer
// process that dies closes the connection at once, and TCP keep-alive ends
// calls to a host that has gone away.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "DEVUror/zqm_channel.h"
#include "DEVUror/zqm_exceptions.h"
#include "DEVUror/zqm_local_socket.h"
#include "DEVUror/zqm_wire.h"
#include "typelib/dodived.h"

class ZQM_TClient {
 public:
  // How Connect by name finds the instance.
  enum TLocationMode {
    kLocateOrStart = 0,  // ask the daemon; it starts a configured instance that is not running
    kLocateOnly = 1,     // ask the daemon; fail when the instance is not running
  };

  static constexpr unsigned short kDaemonPort = 8088;
  // What the daemon greets as.
  static constexpr char kDaemonName[] = "ZQMD";
  static constexpr unsigned kConnectTimeoutMs = 3000;
  static constexpr unsigned kGreetingTimeoutMs = 5000;
  static constexpr unsigned kLocateTimeoutMs = 120000;

  // Not connected. Throws ZQM_EShutdownInProgress once the process has
  // begun to shut down.
  ZQM_TClient();
  // Connects to `host`:`port` (see Connect).
  ZQM_TClient(const ZQ_TString& host, unsigned short port);
  ~ZQM_TClient();
  ZQM_TClient(const ZQM_TClient&) = delete;
  ZQM_TClient& operator=(const ZQM_TClient&) = delete;

  // Connects to the server listening on `host`:`port`. An empty host, a
  // loopback address, "localhost" and this host's name all mean loopback.
  // Makes up to the set number of attempts, the set interval apart. Throws
  // ZQM_EConnectionFailed (refused, unreachable, not a middleware server),
  // ZQM_EAuthenticationFailed (another key or mode; not retried),
  // ZQM_ETimeout, ZQM_EShutdownInProgress, or ZQM_EException when this
  // program has no key (zqm_auth::Current).
  void Connect(const ZQ_TString& host, unsigned short port);

  // Connects to instance `instance` of the server `serverName` on `host`,
  // located through that host's daemon (see TLocationMode), and checks that
  // the server that answers is that instance. Besides the errors of the
  // other Connect, the daemon's own answers pass through: ZQM_ENoSuchServer
  // (not running and not configured) and ZQM_ENotAnRpcServer (a plain
  // program); these are not retried.
  void Connect(const ZQ_TString& host, const ZQ_TString& serverName, unsigned short instance,
               TLocationMode mode);

  // Number of connection attempts of each Connect (at least 1; default 1).
  void SetConnectionAttempts(unsigned attempts);
  // Pause between two connection attempts, in milliseconds (default 100).
  void SetConnectionInterval(unsigned milliseconds);
  // Longest wait for a call's reply, in milliseconds; 0 (the default, or the
  // environment variable ZQM_CALL_TIMEOUT_MS) waits as long as it takes.
  void SetCallTimeout(unsigned milliseconds);
  // Longest wait for a server's greeting and handshake, in milliseconds
  // (default kGreetingTimeoutMs). A server that serves one call at a time
  // greets a new connection only after the call at hand.
  void SetGreetingTimeout(unsigned milliseconds);

  // Closes the connection and makes it again the way the last Connect did.
  // Throws what Connect throws; ZQM_EConnectionFailed when there was no
  // Connect.
  void Reconnect();

  // Calls `method` with none, one or two arguments and returns the result.
  // A failure that the server's processor threw arrives as its own class,
  // message and data, with a stack trace line naming the call; the
  // connection stays usable. The one exception: ZQM_EShutdownInProgress
  // is raised by this process's runtime alone, so a peer's arrives as a
  // ZQM_EException that names the peer and repeats its message and data. Connection failures throw
  // ZQM_EConnectionFailed or ZQM_ETimeout and leave the client
  // disconnected.
  ZQ_TAny RPC(const ZQ_TString& method);
  ZQ_TAny RPC(const ZQ_TString& method, const ZQ_TAny& p1);
  ZQ_TAny RPC(const ZQ_TString& method, const ZQ_TAny& p1, const ZQ_TAny& p2);
  // Any number of arguments: "P1", "P2", ... in order.
  ZQ_TAny Call(const ZQ_TString& method, const ZQ_TList& arguments);

  bool IsConnected() const { return fd_ >= 0; }
  void Disconnect();
  // Who answered the last Connect: name, instance and process id.
  const zqm_wire::Hello& Peer() const { return peer_; }
  // "<name>#<instance> at <address>:<port>" of the connection, for messages.
  ZQ_TString Describe() const;

 private:
  enum class Target { kNone, kPort, kName };
  using Deadline = std::chrono::steady_clock::time_point;

  void ConnectWithAttempts();
  void ConnectOnce();
  // Connects and completes the handshake; `checkPeer`, when set, sees the
  // greeting before anything is proved to the peer and throws to refuse it.
  void ConnectToPort(const ZQ_TString& host, unsigned short port,
                     const std::function<void(const zqm_wire::Hello&)>& checkPeer);
  // The daemon of this host, through its local socket (zqm_local_socket.h).
  void ConnectToLocalDaemon();
  unsigned short Locate(std::uint32_t& pid);
  ZQ_TAny Exchange(const ZQ_TDict& request, Deadline deadline);
  // Sends `request` and returns the answer's payload; throws what the
  // socket or the channel throws.
  std::string RoundTrip(const ZQ_TDict& request, Deadline deadline, const ZQ_TString& what);
  Deadline CallDeadline() const;

  int fd_ = -1;
  Target target_ = Target::kNone;
  ZQ_TString host_;
  unsigned short port_ = 0;
  ZQ_TString serverName_;
  unsigned short instance_ = 0;
  TLocationMode mode_ = kLocateOrStart;
  unsigned attempts_ = 1;
  unsigned intervalMs_ = 100;
  unsigned callTimeoutMs_ = 0;
  unsigned greetingTimeoutMs_ = kGreetingTimeoutMs;
  unsigned short connectedPort_ = 0;
  zqm_wire::Hello peer_;
  zqm_channel::Channel channel_;
  // With a connection to this host's daemon: where it came from, so that
  // Disconnect can give it back between calls.
  std::optional<zqm_local::DaemonConnection> local_;
  bool midCall_ = false;  // a request went out and its answer is not in
};
