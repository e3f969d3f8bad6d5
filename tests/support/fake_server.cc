#include "support/fake_server.h"

#include <unistd.h>

#include <asio.hpp>
#include <optional>
#include <stdexcept>

#include "DEVUror/zqm_listener.h"
#include "DEVUror/zqm_wire.h"
#include "support/test_key.h"

namespace zq_test {

struct FakeServer::State {
  asio::io_context io{1};
  std::optional<zqm_listener::Listener> listener;
  mutable std::mutex mutex;
  Handler handler;
  std::vector<ZQ_TDict> requests;
};

FakeServer::FakeServer(unsigned short port, const std::string& name, unsigned short instance,
                       Handler handler)
    : state_(std::make_unique<State>()) {
  ProcessKeyFile();
  state_->handler = std::move(handler);
  asio::ip::tcp::acceptor acceptor(state_->io);
  const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
  acceptor.open(endpoint.protocol());
  acceptor.set_option(asio::socket_base::reuse_address(true));
  acceptor.bind(endpoint);
  acceptor.listen();
  State* state = state_.get();
  state_->listener.emplace(
      std::move(acceptor),
      zqm_wire::Hello{ZQ_TString(name), instance, static_cast<std::uint32_t>(getpid())},
      [state](const ZQ_TDict& request, zqm_listener::Reply reply) {
        Handler handler;
        {
          std::lock_guard<std::mutex> hold(state->mutex);
          state->requests.push_back(request);
          handler = state->handler;
        }
        try {
          reply(zqm_wire::ResultFrame(handler ? handler(request) : ZQ_TAny()));
        } catch (const ZQ_EException& failure) {
          reply(zqm_wire::FailureFrame(failure));
        }
      });
  port_ = state_->listener->Port();
  state_->listener->Start();
  thread_ = std::thread([state] { state->io.run(); });
}

FakeServer::~FakeServer() {
  State* state = state_.get();
  asio::post(state->io, [state] {
    state->listener->Close();
    state->io.stop();
  });
  thread_.join();
}

std::vector<ZQ_TDict> FakeServer::Requests() const {
  std::lock_guard<std::mutex> hold(state_->mutex);
  return state_->requests;
}

void FakeServer::SetHandler(Handler handler) {
  std::lock_guard<std::mutex> hold(state_->mutex);
  state_->handler = std::move(handler);
}

std::string MethodOf(const ZQ_TDict& request) {
  return zqm_wire::MethodOf(request).Text();
}

}  // namespace zq_test
