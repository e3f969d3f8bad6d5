// The serving side of the wire protocol, shared by ZQM_TServer and the
// middleware daemon: accepts connections, greets each client, learns who it
// is, reads its requests and writes the replies, one call at a time per
// connection.
//
// Two kinds of listening socket:
//   network  a TCP socket. Every connection first completes the handshake
//            (zqm_handshake.h) within the handshake time-out; in insecure
//            mode its first request must arrive within that time instead.
//            After the handshake every frame is sealed (zqm_channel.h).
//   local    the daemon's Unix socket. No handshake: the kernel names the
//            peer (SO_PEERCRED). Root, this process's user and members of
//            Limits::administratorsGroup are administrators; anybody else
//            is a stranger, whom the daemon may know as a server by its
//            process id.
// A connection that fails the handshake, sends anything else first, or is
// late is closed, and nothing it sent reaches the handler.
//
// A malformed, oversized, truncated or (sealed) unopenable frame ends that
// one connection; every other connection goes on. A frame's buffer grows
// with the bytes that arrive, and all connections of the process together
// hold at most the frame budget (zqm_frame_reader.h): a connection whose
// frame would pass it is closed, never the process. The handler may answer
// a request at once or later (the daemon answers a location request when
// the server has started); until it has answered, that connection reads no
// further request.
//
// Nobody can starve anybody: connections that have not completed the
// handshake have a budget of their own (Limits::maxUnauthenticated in all,
// Limits::maxUnauthenticatedPerSource per source address, which the local
// administrators, root and this process's user, may pass), apart from
// those that have (Limits::maxConnections in all, Limits::maxPerIdentity
// per identity: an administrator, a server's name and instance, or on the
// local socket a user); a connection over a budget is accepted and closed
// at once. An authenticated connection that sends nothing for
// Limits::idleTimeoutMs while no call of it is pending is closed.
//
// Trace: one line when the connection limit is reached and one when
// connections are accepted again; a closed or refused connection gets a
// line of its own for the first kTracedPerInterval of an interval, the
// rest one summary line with counts at its end.
#pragma once

#include <cstdint>

#include <sys/types.h>

#include <asio.hpp>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_deadlines.h"
#include "DEVUror/zqm_roles.h"
#include "DEVUror/zqm_wire.h"
#include "typelib/dodived.h"

namespace zqm_listener {

// Sends one reply frame (plain: the connection seals it); calling it after
// the connection has closed does nothing. Call it once.
using Reply = std::function<void(std::string frame)>;
using Handler =
    std::function<void(const ZQ_TDict& request, const zqm_roles::Caller& caller, Reply reply)>;

constexpr std::size_t kDefaultMaxConnections = 4096;
constexpr std::size_t kDefaultMaxUnauthenticated = 256;
constexpr std::size_t kDefaultMaxUnauthenticatedPerSource = 64;
constexpr std::size_t kDefaultMaxPerIdentity = 1024;
constexpr unsigned kDefaultIdleTimeoutMs = 10 * 60 * 1000;
// Lines traced one by one per interval before the rest are summed up.
constexpr unsigned kTracedPerInterval = 5;
constexpr unsigned kTraceIntervalMs = 10000;

// The limits below, each from its environment variable when that holds a
// number from 1 on (ZQM_MAX_CONNECTIONS, ZQM_MAX_UNAUTHENTICATED,
// ZQM_MAX_UNAUTHENTICATED_PER_SOURCE, ZQM_MAX_PER_IDENTITY,
// ZQM_IDLE_TIMEOUT_MS), else the default.
std::size_t MaxConnectionsFromEnvironment();

struct Limits {
  Limits();
  std::size_t maxConnections;
  std::size_t maxUnauthenticated;
  std::size_t maxUnauthenticatedPerSource;
  std::size_t maxPerIdentity;
  unsigned handshakeTimeoutMs;
  unsigned idleTimeoutMs;
  // On a local socket, members of this group are administrators;
  // std::nullopt: none besides root and this process's user.
  std::optional<gid_t> administratorsGroup;
};

// An acceptor listening on `address`:`port` (0: a free port), with
// SO_REUSEADDR; none, with `error` set, when it cannot be opened.
std::optional<asio::ip::tcp::acceptor> OpenAcceptor(asio::io_context& io,
                                                    const asio::ip::address& address,
                                                    unsigned short port, asio::error_code& error);

class Session;

class Listener {
 public:
  // Serves the connections that `acceptor` (open and listening) accepts,
  // greeting each as `hello` and authenticating with this process's
  // credentials. Throws what zqm_auth::Current() throws when the process
  // has neither key nor identity.
  Listener(asio::ip::tcp::acceptor acceptor, zqm_wire::Hello hello, Handler handler,
           Limits limits = {});
  // Serves the listening socket `fd` (taken): a TCP socket as above, or a
  // Unix stream socket, whose callers are known by peer credentials.
  Listener(asio::io_context& io, int fd, zqm_wire::Hello hello, Handler handler,
           Limits limits = {});
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  void Start();
  // Stops accepting and closes every connection.
  void Close();
  // Connections since the start: accepted (refused ones included), and
  // refused or closed at once for a budget; and those open now.
  struct Counts {
    std::uint64_t accepted = 0;
    std::uint64_t refused = 0;
    std::size_t open = 0;
  };
  Counts Counted() const { return {accepted_, refused_, sessions_.size()}; }
  // The TCP port; 0 for a local socket.
  unsigned short Port() const { return port_; }
  bool Local() const { return local_; }

 private:
  friend class Session;
  using Acceptor = asio::basic_socket_acceptor<asio::generic::stream_protocol>;
  using Socket = asio::generic::stream_protocol::socket;

  void Accept();
  void Admit(Socket socket);
  // Why a new connection from `source` is over a budget, or nullptr.
  const char* OverBudget(const std::string& source) const;
  void Refuse(Socket& socket, const std::string& peer, const char* why);
  void Authenticated(Session& session);
  void Forget(const std::shared_ptr<Session>& session);
  // Traces a closed or refused connection within the interval's budget of
  // lines, else counts it for the summary.
  void Note(const std::string& peer, const std::string& why);
  void Summarize();
  std::string Where() const;

  Acceptor acceptor_;
  bool local_;
  zqm_deadlines::DeadlineQueue deadlines_;
  zqm_deadlines::Id retry_ = 0;
  unsigned short port_ = 0;
  zqm_wire::Hello hello_;
  Handler handler_;
  Limits limits_;
  std::shared_ptr<const zqm_auth::Credentials> credentials_;
  std::set<std::shared_ptr<Session>> sessions_;
  std::size_t unauthenticated_ = 0;
  std::map<std::string, std::size_t> bySource_;    // unauthenticated
  std::map<std::string, std::size_t> byIdentity_;  // authenticated
  bool refusing_ = false;                          // the connection limit was reached
  std::uint64_t accepted_ = 0;
  std::uint64_t refused_ = 0;
  // This interval's trace: lines written one by one, and what was counted.
  unsigned traced_ = 0;
  std::map<std::string, std::size_t> untraced_;
  zqm_deadlines::Id summary_ = 0;
};

}  // namespace zqm_listener
