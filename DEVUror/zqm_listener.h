// The serving side of the wire protocol, shared by ZQM_TServer and the
// middleware daemon: accepts connections on an Asio acceptor, greets each
// client, reads its requests and writes the replies, one call at a time
// per connection.
//
// A malformed, oversized or truncated frame ends that one connection with a
// trace line; every other connection goes on. The handler may answer a
// request at once or later (the daemon answers a location request when the
// server has started); until it has answered, that connection reads no
// further request.
#pragma once

#include <asio.hpp>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "DEVUror/zqm_deadlines.h"
#include "typelib/dodived.h"

namespace zqm_listener {

// Sends one reply frame; calling it after the connection has closed does
// nothing. Call it once.
using Reply = std::function<void(std::string frame)>;
using Handler = std::function<void(const ZQ_TDict& request, Reply reply)>;

class Session;

class Listener {
 public:
  // Serves the connections that `acceptor` (open and listening) accepts.
  Listener(asio::ip::tcp::acceptor acceptor, std::string helloFrame, Handler handler);
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

  asio::ip::tcp::acceptor acceptor_;
  zqm_deadlines::DeadlineQueue deadlines_;
  zqm_deadlines::Id retry_ = 0;
  unsigned short port_;
  std::string helloFrame_;
  Handler handler_;
  std::set<std::shared_ptr<Session>> sessions_;
};

}  // namespace zqm_listener
