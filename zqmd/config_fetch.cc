#include "zqmd/config_fetch.h"

#include <optional>

#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_frame_reader.h"
#include "DEVUror/zqm_handshake.h"

namespace zqmd {

namespace {

// One call: connect, greeting, handshake, request, reply. Keeps itself alive through
// the handlers it has pending.
class Fetch : public std::enable_shared_from_this<Fetch> {
 public:
  Fetch(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines, std::string configServerName,
        std::string serverName, FetchDone done)
      : socket_(io),
        deadlines_(deadlines),
        configServerName_(std::move(configServerName)),
        serverName_(std::move(serverName)),
        done_(std::move(done)) {}

  void Start(unsigned short port) {
    auto self = shared_from_this();
    timeout_ = deadlines_.After(std::chrono::milliseconds(kConfigFetchTimeoutMs), [self] {
      self->Finish(nullptr, "the configuration server did not answer in time");
    });
    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
    handshake_.emplace(zqm_auth::Current(),
                       ZQ_TString::Format("the configuration server at 127.0.0.1:%d", port));
    socket_.async_connect(endpoint, [self](asio::error_code error) {
      if (error)
        return self->Finish(nullptr,
                            "cannot connect to the configuration server: " + error.message());
      self->ReadFrame(&Fetch::Authenticate);
    });
  }

 private:
  // Checks that the greeting comes from the configuration server before it
  // proves anything, as ZQM_TClient does.
  void Authenticate(std::string_view greeting) {
    const zqm_wire::Hello& hello = handshake_->ReadGreeting(greeting);
    if (hello.name.Text() != configServerName_ || hello.instance != 0) {
      return Finish(nullptr, ZQ_TString::Format("%s#%d answers on the port of %s#0", hello.name,
                                                hello.instance, configServerName_)
                                 .Text());
    }
    std::string proof = handshake_->Prove();
    if (proof.empty()) return SendRequest();
    Exchange(std::move(proof), &Fetch::CheckAnswer);
  }

  void CheckAnswer(std::string_view payload) {
    handshake_->CheckAnswer(payload);
    SendRequest();
  }

  // Every frame after the handshake is sealed.
  void SendRequest() {
    channel_ = handshake_->TakeChannel();
    ZQ_TDict request;
    request.Set("M", ZQ_TAny("Expand"));
    request.Set("P1", ZQ_TAny(("Servers/ZQMD/Servers/" + serverName_ + "/").c_str()));
    Exchange(channel_.Seal(zqm_wire::RequestFrame(request)), &Fetch::TakeReply);
  }

  using Step = void (Fetch::*)(std::string_view payload);

  // Sends `frame`, then hands the frame that answers it to `onReply`.
  void Exchange(std::string frame, Step onReply) {
    outgoing_ = std::move(frame);
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(outgoing_),
                      [self, onReply](asio::error_code error, std::size_t) {
                        if (error) {
                          return self->Finish(nullptr, "configuration server: " + error.message());
                        }
                        self->ReadFrame(onReply);
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

  // Reads until a frame is whole, then hands its payload to `next`; what
  // `next` throws ends the call with its message.
  void ReadFrame(Step next) {
    const std::span<char> space = reader_.Space();
    auto self = shared_from_this();
    socket_.async_read_some(
        asio::buffer(space.data(), space.size()),
        [self, next](asio::error_code error, std::size_t n) {
          if (error) return self->Finish(nullptr, "configuration server: " + error.message());
          try {
            if (!self->reader_.Received(n)) return self->ReadFrame(next);
            std::string payload = self->reader_.Take();
            payload = self->channel_.Open(std::move(payload));  // plain until sealed
            (*self.*next)(payload);
          } catch (const ZQ_EException& bad) {
            self->Finish(nullptr, "configuration server: " + bad.ZQ_Message().Text());
          }
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
  std::string configServerName_;
  std::string serverName_;
  FetchDone done_;
  std::optional<zqm_handshake::Client> handshake_;
  zqm_channel::Channel channel_;
  zqm_wire::FrameReader reader_;
  std::string outgoing_;
};

}  // namespace

void FetchServerConfiguration(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines,
                              const std::string& configServerName, unsigned short configServerPort,
                              const std::string& serverName, FetchDone done) {
  std::make_shared<Fetch>(io, deadlines, configServerName, serverName, std::move(done))
      ->Start(configServerPort);
}

}  // namespace zqmd
