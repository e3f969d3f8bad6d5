#include "support/fake_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio.hpp>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "DEVUror/zqm_listener.h"
#include "DEVUror/zqm_tclient.h"
#include "DEVUror/zqm_wire.h"
#include "support/test_key.h"

namespace zq_test {

namespace {

// A listening Unix socket in a fresh folder of its own, for a server that
// stands for the daemon: this host's clients reach the daemon there.
int ListenLocally(std::string& path) {
  char folder[] = "/tmp/zq-fake-daemon.XXXXXX";
  if (mkdtemp(folder) == nullptr) throw std::runtime_error("mkdtemp for a fake daemon's socket");
  chmod(folder, 0755);
  path = std::string(folder) + "/zqmd.sock";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      chmod(path.c_str(), 0666) != 0 || listen(fd, SOMAXCONN) != 0) {
    throw std::runtime_error("cannot listen on " + path);
  }
  return fd;
}

}  // namespace

struct FakeServer::State {
  asio::io_context io{1};
  std::optional<zqm_listener::Listener> listener;
  std::optional<zqm_listener::Listener> local;  // standing for the daemon
  std::string localPath;
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
  const auto serve = [state](const ZQ_TDict& request, const zqm_roles::Caller&,
                             zqm_listener::Reply reply) {
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
  };
  const zqm_wire::Hello hello{ZQ_TString(name), instance};
  state_->listener.emplace(std::move(acceptor), hello, serve);
  port_ = state_->listener->Port();
  state_->listener->Start();
  if (port == ZQM_TClient::kDaemonPort) {
    state_->local.emplace(state_->io, ListenLocally(state_->localPath), hello, serve);
    state_->local->Start();
    setenv("ZQM_DAEMON_SOCKET", state_->localPath.c_str(), 1);
  }
  thread_ = std::thread([state] { state->io.run(); });
}

FakeServer::~FakeServer() {
  State* state = state_.get();
  asio::post(state->io, [state] {
    state->listener->Close();
    if (state->local) state->local->Close();
    state->io.stop();
  });
  thread_.join();
  if (!state_->localPath.empty()) {
    unlink(state_->localPath.c_str());
    rmdir(state_->localPath.substr(0, state_->localPath.rfind('/')).c_str());
  }
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
