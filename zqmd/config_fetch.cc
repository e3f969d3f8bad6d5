#include "zqmd/config_fetch.h"

#include <algorithm>

#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_wire.h"

namespace zqmd {

namespace {

// One call: connect, greeting, handshake, request, reply. Keeps itself alive through
// the handlers it has pending.
class Fetch : public std::enable_shared_from_this<Fetch> {
 public:
  Fetch(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines, std::string serverName,
        FetchDone done)
      : socket_(io),
        deadlines_(deadlines),
        serverName_(std::move(serverName)),
        done_(std::move(done)) {}

  void Start(unsigned short port) {
    auto self = shared_from_this();
    timeout_ = deadlines_.After(std::chrono::milliseconds(kConfigFetchTimeoutMs), [self] {
      self->Finish(nullptr, "the configuration server did not answer in time");
    });
    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
    socket_.async_connect(endpoint, [self](asio::error_code error) {
      if (error)
        return self->Finish(nullptr,
                            "cannot connect to the configuration server: " + error.message());
      self->ReadFrame([self](std::string_view payload) { self->Authenticate(payload); });
    });
  }

 private:
  // Answers the greeting with our proof, and checks the server's, as
  // ZQM_TClient does.
  void Authenticate(std::string_view greeting) {
    if (zqm_wire::PayloadKind(greeting) != zqm_wire::Kind::kHello) {
      return Finish(nullptr, "configuration server: the first frame is not a greeting");
    }
    greetingBody_ = greeting.substr(1);
    const zqm_wire::Hello hello = zqm_wire::DecodeHello(greetingBody_);
    const auto credentials = zqm_auth::Current();
    if (hello.authenticate != !credentials->insecure) {
      return Finish(nullptr, hello.authenticate
                                 ? "the configuration server requires authentication, but the "
                                   "daemon runs without a key"
                                 : "the configuration server runs without authentication, but "
                                   "the daemon has a key: give both the same key");
    }
    if (credentials->insecure) return SendRequest();
    zqm_wire::ClientAuth auth;
    auth.nonce = zqm_auth::RandomBytes(zqm_auth::kNonceBytes);
    auth.proof = zqm_auth::ClientProof(*credentials, greetingBody_, auth.nonce);
    expectedProof_ = zqm_auth::ServerProof(*credentials, greetingBody_, auth.nonce);
    Exchange(zqm_wire::ClientAuthFrame(auth), &Fetch::CheckProof);
  }

  void CheckProof(std::string_view payload) {
    if (zqm_wire::PayloadKind(payload) != zqm_wire::Kind::kAuth ||
        !zqm_auth::SameProof(expectedProof_, zqm_wire::DecodeServerAuth(payload.substr(1)))) {
      return Finish(nullptr,
                    "the configuration server could not prove that it holds the daemon's key: "
                    "the keys differ");
    }
    SendRequest();
  }

  void SendRequest() {
    ZQ_TDict request;
    request.Set("M", ZQ_TAny("Expand"));
    request.Set("P1", ZQ_TAny(("Servers/ZQMD/Servers/" + serverName_ + "/").c_str()));
    Exchange(zqm_wire::RequestFrame(request), &Fetch::TakeReply);
  }

  // Sends `frame`, then hands the frame that answers it to `onReply`.
  void Exchange(std::string frame, void (Fetch::*onReply)(std::string_view)) {
    outgoing_ = std::move(frame);
    auto self = shared_from_this();
    asio::async_write(
        socket_, asio::buffer(outgoing_), [self, onReply](asio::error_code error, std::size_t) {
          if (error) {
            return self->Finish(nullptr, "configuration server: " + error.message());
          }
          self->ReadFrame([self, onReply](std::string_view payload) { (*self.*onReply)(payload); });
        });
  }

  void TakeReply(std::string_view payload) {
    const std::string_view body = payload.substr(1);
    if (zqm_wire::PayloadKind(payload) == zqm_wire::Kind::kFailure) {
      std::unique_ptr<ZQ_EException> failure(zqm_wire::DecodeFailure(body));
      return Finish(nullptr, failure->ZQ_Message().Text(), true);
    }
    ZQ_TAny value = zqm_wire::DecodeResult(body);
    const ZQ_TTree* tree = value.As<ZQ_TTree>();
    if (tree == nullptr) {
      return Finish(nullptr,
                    std::string("its entry is a ") + value.HeldClassName() + ", not a tree", true);
    }
    Finish(std::make_unique<ZQ_TTree>(*tree), "", true);
  }

  template <class Next>
  void ReadFrame(Next next) {
    auto self = shared_from_this();
    asio::async_read(
        socket_, asio::buffer(header_), [self, next](asio::error_code error, std::size_t) {
          if (error) return self->Finish(nullptr, "configuration server: " + error.message());
          std::uint32_t length = 0;
          try {
            length = zqm_wire::FrameLength(self->header_);
          } catch (const ZQ_EException& bad) {
            return self->Finish(nullptr, "configuration server: " + bad.ZQ_Message().Text());
          }
          self->payload_.clear();
          self->ReadPayload(length, next);
        });
  }

  // The frame's buffer grows a chunk at a time, as its bytes arrive.
  template <class Next>
  void ReadPayload(std::uint32_t length, Next next) {
    const std::size_t done = payload_.size();
    if (done == length) {
      try {
        return next(payload_);
      } catch (const ZQ_EException& bad) {
        return Finish(nullptr, "configuration server: " + bad.ZQ_Message().Text());
      }
    }
    const std::size_t chunk = std::min<std::size_t>(zqm_wire::kReadChunkBytes, length - done);
    payload_.resize(done + chunk);
    auto self = shared_from_this();
    asio::async_read(socket_, asio::buffer(payload_.data() + done, chunk),
                     [self, length, next](asio::error_code error, std::size_t) {
                       if (error) {
                         return self->Finish(nullptr, "configuration server: " + error.message());
                       }
                       self->ReadPayload(length, next);
                     });
  }

  void Finish(std::unique_ptr<ZQ_TTree> tree, const std::string& error, bool answered = false) {
    if (!done_) return;
    FetchDone done = std::move(done_);
    done_ = nullptr;
    deadlines_.Cancel(timeout_);
    asio::error_code ignored;
    socket_.close(ignored);
    done(std::move(tree), error, answered);
  }

  asio::ip::tcp::socket socket_;
  zqm_deadlines::DeadlineQueue& deadlines_;
  zqm_deadlines::Id timeout_ = 0;
  std::string serverName_;
  FetchDone done_;
  unsigned char header_[zqm_wire::kHeaderBytes] = {};
  std::string payload_;
  std::string outgoing_;
  std::string greetingBody_;
  std::string expectedProof_;
};

}  // namespace

void FetchServerConfiguration(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines,
                              unsigned short configServerPort, const std::string& serverName,
                              FetchDone done) {
  std::make_shared<Fetch>(io, deadlines, serverName, std::move(done))->Start(configServerPort);
}

}  // namespace zqmd
