#include "DEVUror/zqm_listener.h"

#include <algorithm>
#include <cstdlib>

#include "DEVUror/zqm_frame_reader.h"
#include "DEVUror/zqm_handshake.h"
#include "DEVUror/zqm_trace.h"

namespace zqm_listener {

std::optional<asio::ip::tcp::acceptor> OpenAcceptor(asio::io_context& io,
                                                    const asio::ip::address& address,
                                                    unsigned short port, asio::error_code& error) {
  asio::ip::tcp::acceptor acceptor(io);
  acceptor.open(address.is_v6() ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), error);
  if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor.bind(asio::ip::tcp::endpoint(address, port), error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) return std::nullopt;
  return acceptor;
}

std::size_t MaxConnectionsFromEnvironment() {
  const char* text = std::getenv("ZQM_MAX_CONNECTIONS");
  if (text == nullptr || *text == 0) return kDefaultMaxConnections;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  return *end == 0 && value >= 1 && value <= 1000000 ? static_cast<std::size_t>(value)
                                                     : kDefaultMaxConnections;
}

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Listener& listener, asio::ip::tcp::socket socket)
      : listener_(listener), socket_(std::move(socket)) {
    asio::error_code ignored;
    const auto remote = socket_.remote_endpoint(ignored);
    peer_ = remote.address().to_string() + ":" + std::to_string(remote.port());
  }

  void Start() {
    zqm_handshake::Server handshake(listener_.credentials_, listener_.hello_);
    const bool required = handshake.Required();
    if (required) {
      reader_.SetLimit(zqm_wire::kMaxHandshakeFrameBytes, "before the handshake");
      handshake_.emplace(std::move(handshake));
    }
    std::weak_ptr<Session> weak = weak_from_this();
    const unsigned limit = listener_.limits_.handshakeTimeoutMs;
    deadline_ =
        listener_.deadlines_.After(std::chrono::milliseconds(limit), [weak, limit, required] {
          if (auto self = weak.lock()) {
            self->deadline_ = 0;
            self->End((std::string(required ? "no handshake" : "no request") + " within " +
                       std::to_string(limit) + " ms")
                          .c_str());
          }
        });
    Send(required ? handshake_->Greeting() : handshake.Greeting());
  }

  void Close() {
    if (deadline_ != 0) listener_.deadlines_.Cancel(deadline_);
    deadline_ = 0;
    asio::error_code ignored;
    socket_.close(ignored);
  }

 private:
  void Send(std::string frame) {
    outgoing_ = std::move(frame);
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(outgoing_),
                      [self](asio::error_code error, std::size_t) {
                        if (error) return self->End(nullptr);
                        self->Read();
                      });
  }

  // Reads until a frame is whole; Space() never reaches into the next one.
  void Read() {
    const std::span<char> space = reader_.Space();
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(space.data(), space.size()),
                            [self](asio::error_code error, std::size_t n) {
                              if (error) return self->ReadFailed(error);
                              bool whole = false;
                              try {
                                whole = self->reader_.Received(n);
                              } catch (const ZQ_EException& bad) {
                                return self->End(bad.ZQ_Message().c_str());
                              }
                              if (!whole) return self->Read();
                              self->payload_ = self->reader_.Take();
                              self->OnFrame();
                            });
  }

  void ReadFailed(const asio::error_code& error) {
    if (error == asio::error::operation_aborted) return End(nullptr);
    if (reader_.Partial()) {
      return End(reader_.InHeader() ? "connection closed in the middle of a frame header"
                                    : "connection closed in the middle of a frame");
    }
    const bool clean = error == asio::error::eof || error == asio::error::connection_reset;
    if (clean && !Admitted()) return End("closed by the peer before the handshake");
    End(clean ? nullptr : "connection closed in the middle of a frame header");
  }

  // Whether requests may reach the handler: the handshake is done (or not
  // needed).
  bool Admitted() const { return !handshake_.has_value(); }

  void OnFrame() {
    zqm_wire::Kind kind;
    try {
      kind = zqm_wire::PayloadKind(payload_);
    } catch (const ZQ_EException& bad) {
      return End(bad.ZQ_Message().c_str());
    }
    if (!Admitted()) return Authenticate();
    if (kind != zqm_wire::Kind::kRequest) return End("a frame other than a request");
    if (deadline_ != 0) {  // the first request of an insecure connection
      listener_.deadlines_.Cancel(deadline_);
      deadline_ = 0;
    }
    Handle();
  }

  void Authenticate() {
    std::string answer;
    try {
      answer = handshake_->Answer(payload_);
    } catch (const ZQ_EException& bad) {
      return End(bad.ZQ_Message().c_str());
    }
    std::string().swap(payload_);
    handshake_.reset();
    reader_.SetLimit(zqm_wire::kMaxFrameBytes);
    listener_.deadlines_.Cancel(deadline_);
    deadline_ = 0;
    Send(std::move(answer));
  }

  void Handle() {
    ZQ_TDict request;
    try {
      request = zqm_wire::DecodeRequest(std::string_view(payload_).substr(1));
    } catch (const ZQ_EException& bad) {
      return End(bad.ZQ_Message().c_str());
    }
    std::string().swap(payload_);
    std::weak_ptr<Session> weak = weak_from_this();
    listener_.handler_(request, [weak](std::string frame) {
      if (auto self = weak.lock()) {
        if (self->socket_.is_open()) self->Send(std::move(frame));
      }
    });
  }

  // Ends the session; `reason` is set for a fault worth a trace line.
  void End(const char* reason) {
    if (reason != nullptr) {
      zqm_trace::Line(0, "Closing connection from " + peer_ + ": " + reason);
    }
    Close();
    listener_.Forget(shared_from_this());
  }

  Listener& listener_;
  asio::ip::tcp::socket socket_;
  std::string peer_;
  std::optional<zqm_handshake::Server> handshake_;  // until the peer has proved the key
  zqm_deadlines::Id deadline_ = 0;  // until the handshake (or first request) is done
  zqm_wire::FrameReader reader_;
  std::string payload_;
  std::string outgoing_;
};

Listener::Listener(asio::ip::tcp::acceptor acceptor, zqm_wire::Hello hello, Handler handler,
                   Limits limits)
    : acceptor_(std::move(acceptor)),
      deadlines_(static_cast<asio::io_context&>(acceptor_.get_executor().context())),
      port_(acceptor_.local_endpoint().port()),
      hello_(std::move(hello)),
      handler_(std::move(handler)),
      limits_(limits),
      credentials_(zqm_auth::Current()) {}

Listener::~Listener() {
  Close();
}

void Listener::Start() {
  Accept();
}

void Listener::Accept() {
  acceptor_.async_accept([this](asio::error_code error, asio::ip::tcp::socket socket) {
    if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (error) {
      // Out of descriptors, for example: say so, and try again a little
      // later rather than spinning on a failure that persists.
      zqm_trace::Line(0, "Accepting a connection failed: " + error.message());
      retry_ = deadlines_.After(std::chrono::milliseconds(100), [this] { Accept(); });
      return;
    }
    if (sessions_.size() >= limits_.maxConnections) {
      Refuse(socket);
    } else {
      asio::error_code ignored;
      socket.set_option(asio::ip::tcp::no_delay(true), ignored);
      auto session = std::make_shared<Session>(*this, std::move(socket));
      sessions_.insert(session);
      session->Start();
    }
    Accept();
  });
}

void Listener::Refuse(asio::ip::tcp::socket& socket) {
  if (!refusing_) {
    refusing_ = true;
    zqm_trace::Line(0, "Connection limit of " + std::to_string(limits_.maxConnections) +
                           " reached on port " + std::to_string(port_) +
                           "; new connections are closed at once until one ends");
  }
  asio::error_code ignored;
  socket.close(ignored);
}

void Listener::Forget(const std::shared_ptr<Session>& session) {
  if (sessions_.erase(session) == 0) return;
  if (refusing_ && sessions_.size() < limits_.maxConnections && acceptor_.is_open()) {
    refusing_ = false;
    zqm_trace::Line(0, "Accepting connections again on port " + std::to_string(port_) + " (" +
                           std::to_string(sessions_.size()) + " open)");
  }
}

void Listener::Close() {
  asio::error_code ignored;
  acceptor_.close(ignored);
  deadlines_.Cancel(retry_);
  for (const auto& session : std::set<std::shared_ptr<Session>>(sessions_))
    session->Close();
  sessions_.clear();
}

}  // namespace zqm_listener
