// almanac: the configuration server of a middleware installation.
#include <csignal>
#include <iostream>
#include <utility>

#include "Almanac/Server/config_store.h"
#include "Almanac/Server/processor.h"
#include "Almanac/Server/program.h"
#include "DEVUror/devuror.h"
#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_notify.h"
#include "DEVUror/zqm_roles.h"
#include "platform/process_memory.h"

namespace {

// The daemon answers at once; a daemon that does not is not worth holding
// up the configuration server's callers for.
constexpr unsigned kNotifyTimeoutMs = 2000;

class ServerMiddleware : public almanac::Middleware {
 public:
  void UseKey(const std::string& keyFile, bool insecure) override {
    if (insecure) zqm_auth::UseInsecure();
    if (!keyFile.empty()) zqm_auth::UseKeyFile(keyFile);
    zqm_auth::Current();
  }
  bool StartedAs(ZQ_TString& name, unsigned short& instance) override {
    return ZQM_TServer::StartedAs(name, instance);
  }
  void Trace(int level, const std::string& text) override {
    server_.DBG_Type(level, ZQ_TString(text));
  }
  void OnSignal(int signal, std::function<void()> handler) override {
    server_.OnSignal(signal, std::move(handler));
  }
  void UseHostAddress(const std::string& address) override {
    server_.SetHostAddress(ZQ_TString(address));
  }
  void Bind(const ZQ_TString& name, unsigned short instance, unsigned short port) override {
    // Whatever name it serves under, its methods are a configuration server's.
    server_.UseRolesOf(zqm_roles::kConfigurationServer);
    server_.Bind(name, instance, port, /*listenOnAllInterfaces=*/false);
  }
  unsigned short Port() const override { return server_.Port(); }
  void ConfigurationChanged() override {
    try {
      ZQM_TClient daemon;
      daemon.SetCallTimeout(kNotifyTimeoutMs);
      daemon.Connect(ZQ_TString(), ZQM_TClient::kDaemonPort);
      daemon.RPC(ZQ_TString("ConfigurationChanged"));
    } catch (const ZQ_EException& failure) {
      Trace(1, "Cannot tell the daemon that the configuration changed: " +
                   failure.ZQ_Message().Text());
    }
  }
  void Post(std::function<void()> work) override { server_.Post(std::move(work)); }
  void Serve(almanac::ConfigStore& store) override {
    server_.SetProcessor(&almanac::ProcessRequest, &store);
    server_.SetTimeOut(-1);
    zqm_notify::Ready();
    server_.EventLoop();
  }

 private:
  ZQM_TServer server_;
};

}  // namespace

int main(int argc, char** argv) {
  zq_platform::KeepProcessMemorySmall();
  zqm_notify::TakeNotifySocket();
  // Until the server takes SIGHUP over (before it binds), the default action
  // would end the process in the middle of loading its file.
  std::signal(SIGHUP, SIG_IGN);
  __ZQ_INITIALIZATION_FUNCTION_dodived__();
  __ZQ_INITIALIZATION_FUNCTION_DEVUror__();
  ServerMiddleware middleware;
  return almanac::RunAlmanac(argc, argv, middleware, std::cout, std::cerr);
}
