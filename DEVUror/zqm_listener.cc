#include "DEVUror/zqm_listener.h"

#include "DEVUror/zqm_trace.h"
#include "DEVUror/zqm_wire.h"

namespace zqm_listener {

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Listener& listener, asio::ip::tcp::socket socket)
      : listener_(listener), socket_(std::move(socket)) {
    asio::error_code ignored;
    const auto remote = socket_.remote_endpoint(ignored);
    peer_ = remote.address().to_string() + ":" + std::to_string(remote.port());
  }

  void Start() { Send(listener_.helloFrame_); }

  void Close() {
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
                        self->ReadHeader();
                      });
  }

  void ReadHeader() {
    auto self = shared_from_this();
    asio::async_read(socket_, asio::buffer(header_), [self](asio::error_code error, std::size_t n) {
      if (error) {
        const bool clean =
            n == 0 && (error == asio::error::eof || error == asio::error::operation_aborted ||
                       error == asio::error::connection_reset);
        return self->End(clean ? nullptr : "connection closed in the middle of a frame header");
      }
      std::uint32_t length = 0;
      try {
        length = zqm_wire::FrameLength(self->header_);
      } catch (const ZQ_EException& bad) {
        return self->End(bad.ZQ_Message().c_str());
      }
      self->ReadPayload(length);
    });
  }

  void ReadPayload(std::uint32_t length) {
    payload_.resize(length);
    auto self = shared_from_this();
    asio::async_read(socket_, asio::buffer(payload_), [self](asio::error_code error, std::size_t) {
      if (error) {
        return self->End(error == asio::error::operation_aborted
                             ? nullptr
                             : "connection closed in the middle of a frame");
      }
      self->Handle();
    });
  }

  void Handle() {
    ZQ_TDict request;
    try {
      if (zqm_wire::PayloadKind(payload_) != zqm_wire::Kind::kRequest) {
        return End("a frame other than a request");
      }
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
    listener_.sessions_.erase(shared_from_this());
  }

  Listener& listener_;
  asio::ip::tcp::socket socket_;
  std::string peer_;
  unsigned char header_[zqm_wire::kHeaderBytes] = {};
  std::string payload_;
  std::string outgoing_;
};

Listener::Listener(asio::ip::tcp::acceptor acceptor, std::string helloFrame, Handler handler)
    : acceptor_(std::move(acceptor)),
      deadlines_(static_cast<asio::io_context&>(acceptor_.get_executor().context())),
      port_(acceptor_.local_endpoint().port()),
      helloFrame_(std::move(helloFrame)),
      handler_(std::move(handler)) {}

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
    asio::error_code ignored;
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    auto session = std::make_shared<Session>(*this, std::move(socket));
    sessions_.insert(session);
    session->Start();
    Accept();
  });
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
