// The serving side of the wire protocol, shared by ZQM_TServer and the
// middleware daemon: accepts connections on an Asio acceptor, greets each
// client, authenticates it, reads its requests and writes the replies, one
// call at a time per connection.
//
// Every connection first completes the handshake (zqm_wire.h) within the
// handshake time-out (zqm_auth::HandshakeTimeoutMs); in insecure mode its
// first request must arrive within that time instead. A connection that
// fails the handshake, sends anything else first, or is late is closed with
// one trace line naming the peer and the reason; nothing it sent reaches
// the handler.
//
// A malformed, oversized or truncated frame ends that one connection with a
// trace line; every other connection goes on. A frame's buffer grows with
// the bytes that arrive. The handler may answer a request at once or later
// (the daemon answers a location request when the server has started);
// until it has answered, that connection reads no further request.
//
// At most Limits::maxConnections connections are open at once; while the
// limit is reached, new connections are accepted and closed at once. One
// trace line says when the limit is reached, one when connections are
// accepted again.
#pragma once

#include <asio.hpp>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_deadlines.h"
#include "DEVUror/zqm_wire.h"
#include "typelib/dodived.h"

namespace zqm_listener {

// Sends one reply frame; calling it after the connection has closed does
// nothing. Call it once.
using Reply = std::function<void(std::string frame)>;
using Handler = std::function<void(const ZQ_TDict& request, Reply reply)>;

constexpr std::size_t kDefaultMaxConnections = 1024;
// ZQM_MAX_CONNECTIONS when it is a number from 1 on, else the default.
std::size_t MaxConnectionsFromEnvironment();

// An acceptor listening on `address`:`port` (0: a free port), with
// SO_REUSEADDR; none, with `error` set, when it cannot be opened.
std::optional<asio::ip::tcp::acceptor> OpenAcceptor(asio::io_context& io,
                                                    const asio::ip::address& address,
                                                    unsigned short port, asio::error_code& error);

struct Limits {
  std::size_t maxConnections = MaxConnectionsFromEnvironment();
  unsigned handshakeTimeoutMs = zqm_auth::HandshakeTimeoutMs();
};

class Session;

class Listener {
 public:
  // Serves the connections that `acceptor` (open and listening) accepts,
  // greeting each as `hello` (its nonce and handshake flag are filled in
  // per connection) and authenticating with this process's credentials.
  // Throws what zqm_auth::Current() throws when the process has no key.
  Listener(asio::ip::tcp::acceptor acceptor, zqm_wire::Hello hello, Handler handler,
           Limits limits = {});
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  void Start();
  // Stops accepting and closes every connection.
  void Close();
  unsigned short Port() const { return port_; }

 private:
  friend class Session;
  void Accept();
  void Refuse(asio::ip::tcp::socket& socket);
  void Forget(const std::shared_ptr<Session>& session);

  asio::ip::tcp::acceptor acceptor_;
  zqm_deadlines::DeadlineQueue deadlines_;
  zqm_deadlines::Id retry_ = 0;
  unsigned short port_;
  zqm_wire::Hello hello_;
  Handler handler_;
  Limits limits_;
  std::shared_ptr<const zqm_auth::Credentials> credentials_;
  std::set<std::shared_ptr<Session>> sessions_;
  bool refusing_ = false;  // the connection limit was reached
};

}  // namespace zqm_listener
