#include "DEVUror/zqmd/config_fetch.h"

#include "DEVUror/zqm_wire.h"

namespace zqmd {

namespace {

// One call: connect, greeting, request, reply. Keeps itself alive through
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
      self->ReadFrame([self](std::string_view) { self->SendRequest(); });
    });
  }

 private:
  void SendRequest() {
    ZQ_TDict request;
    request.Set("M", ZQ_TAny("Expand"));
    request.Set("P1", ZQ_TAny(("Servers/ZQMD/Servers/" + serverName_ + "/").c_str()));
    outgoing_ = zqm_wire::RequestFrame(request);
    auto self = shared_from_this();
    asio::async_write(
        socket_, asio::buffer(outgoing_), [self](asio::error_code error, std::size_t) {
          if (error) return self->Finish(nullptr, "configuration server: " + error.message());
          self->ReadFrame([self](std::string_view payload) { self->TakeReply(payload); });
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
          try {
            self->payload_.resize(zqm_wire::FrameLength(self->header_));
          } catch (const ZQ_EException& bad) {
            return self->Finish(nullptr, "configuration server: " + bad.ZQ_Message().Text());
          }
          asio::async_read(
              self->socket_, asio::buffer(self->payload_),
              [self, next](asio::error_code error, std::size_t) {
                if (error) return self->Finish(nullptr, "configuration server: " + error.message());
                try {
                  next(self->payload_);
                } catch (const ZQ_EException& bad) {
                  self->Finish(nullptr, "configuration server: " + bad.ZQ_Message().Text());
                }
              });
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
};

}  // namespace

void FetchServerConfiguration(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines,
                              unsigned short configServerPort, const std::string& serverName,
                              FetchDone done) {
  std::make_shared<Fetch>(io, deadlines, serverName, std::move(done))->Start(configServerPort);
}

}  // namespace zqmd
