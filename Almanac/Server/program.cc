#include "Almanac/Server/program.h"

#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "Almanac/Server/command_line.h"
#include "Almanac/Server/config_check.h"
#include "Almanac/Server/config_store.h"
#include "Almanac/Server/etcd_program.h"
#include "Almanac/Server/remote_store.h"
#include "platform/process_memory.h"

namespace almanac {
namespace {

// Runs `step`; a failure is written to `err` after `context` and gives false.
template <class Step>
bool Attempt(std::ostream& err, const std::string& context, Step step) {
  try {
    step();
    return true;
  } catch (const ZQ_EException& failure) {
    err << "almanac: " << context << failure.ZQ_Message().Text() << '\n';
  } catch (const std::exception& failure) {
    err << "almanac: " << context << failure.what() << '\n';
  }
  return false;
}

}  // namespace

int RunAlmanac(int argc, const char* const* argv, Middleware& middleware, std::ostream& out,
               std::ostream& err) {
  AlmanacCommandLine parsed;
  if (const std::optional<int> status =
          zqm_modules::ReadCommandLine("almanac", argc, argv, parsed, out, err))
    return *status;
  const EtcdOptions& etcd = parsed.etcd;
  std::string name = parsed.name;
  std::uint16_t instance = parsed.instance;
  const RemoteStoreModule* remote = nullptr;
  if (etcd.Wanted()) {
    if (!Attempt(err, "", [&] { remote = &LoadRemoteStoreModule(); })) return kExitFailure;
    if (const std::optional<int> status = remote->runTransfer(etcd, out, err)) return *status;
  }

  if (parsed.check) return CheckConfigFile(parsed.configPath, out);
  if (!Attempt(err, "", [&] { middleware.UseKey(parsed.keyFile, parsed.insecure); }))
    return kExitFailure;

  // Started by the daemon, the server registers as what the daemon started,
  // unless the command line says otherwise.
  ZQ_TString startedName;
  unsigned short startedInstance = 0;
  if (middleware.StartedAs(startedName, startedInstance)) {
    if (!parsed.nameGiven) name = startedName.Text();
    if (!parsed.instanceGiven) instance = startedInstance;
  }

  const TraceSink trace = [&middleware](int level, const std::string& text) {
    middleware.Trace(level, text);
  };
  const PostToServer post = [&middleware](std::function<void()> work) {
    middleware.Post(std::move(work));
  };
  std::unique_ptr<ConfigSource> source;
  if (remote != nullptr) {
    source = remote->makeSource(etcd.ServerSettings(name, instance), trace, post);
  } else {
    source = std::make_unique<FileSource>(parsed.configPath);
  }
  ConfigStore store(std::move(source), trace);
  // A Set waits for etcd, up to seconds when it is failing; readers must not.
  if (remote != nullptr) store.AnswerWritesLater(post);
  if (!Attempt(err, "", [&] { store.Load(); })) return kExitFailure;
  store.OnChange([&middleware] { middleware.ConfigurationChanged(); });

  const std::string identity = name + " instance " + std::to_string(instance);
  if (!Attempt(err, "cannot register as " + identity + ": ", [&] {
        middleware.OnSignal(SIGHUP, [&store] { store.ReloadOnSignal(); });
        if (!parsed.hostAddress.empty()) middleware.UseHostAddress(parsed.hostAddress);
        middleware.Bind(ZQ_TString(name), instance, parsed.port);
      })) {
    return kExitFailure;
  }
  middleware.Trace(0, "Serving the configuration as " + identity + " on port " +
                          std::to_string(middleware.Port()));
  if (parsed.readyFd >= 0) {
    [[maybe_unused]] const ssize_t written = write(parsed.readyFd, "\n", 1);
    close(parsed.readyFd);
  }
  store.Follow();
  zq_platform::ReturnFreeHeapPages();
  if (!Attempt(err, "", [&] { middleware.Serve(store); })) return kExitFailure;
  return kExitOk;
}

}  // namespace almanac
