#include "Almanac/Server/program.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "Almanac/Server/config_check.h"
#include "Almanac/Server/config_store.h"
#include "Almanac/Server/etcd_program.h"
#include "Almanac/Server/remote_store.h"
#include "zq_version.h"

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
  CLI::App app{
      "Serves a JSON configuration file, or the configuration held in etcd, to the "
      "programs of this host.",
      "almanac"};
  app.set_version_flag("--version", "almanac " ZQ_PROJECT_VERSION);
  std::string name = "Almanac";
  std::uint16_t instance = 0;
  std::uint16_t port = 0;
  std::string configPath;
  CLI::Option* nameOption =
      app.add_option("--name", name, "Server name to register under")
          ->capture_default_str()
          ->check([](const std::string& text) {
            return text.empty() ? std::string("the server name must not be empty") : std::string();
          });
  CLI::Option* instanceOption =
      app.add_option("--instance", instance, "Instance number to register under")
          ->capture_default_str()
          ->check(CLI::Range(0, 65535));
  app.add_option("--port", port, "Port to listen on; 0 takes a free port")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  int readyFd = -1;
  app.add_option(
      "--ready-fd", readyFd,
      "Write a newline to this descriptor, and close it, once serving (readiness for scripts)");
  std::string keyFile;
  app.add_option("--key", keyFile,
                 "The installation key file (default: $ZQM_KEY_FILE, else the default key file)");
  bool insecure = false;
  app.add_flag("--insecure", insecure, "Run without a key: no handshake")->excludes("--key");
  std::string hostAddress;
  app.add_option("--host-address", hostAddress,
                 "Listen on this address of the host as well as on loopback")
      ->envname("ZQM_LISTEN_ADDRESS");
  EtcdOptions etcd;
  AddEtcdOptions(app, etcd);
  bool check = false;
  app.add_flag("--check", check,
               "Check the file and exit, without serving it: JSON syntax, the kinds of the keys "
               "the daemon and the service read, unknown keys of server entries (warnings). Exit "
               "status 0 when valid, 1 with errors")
      ->excludes("--etcd");
  app.add_option("CONFIG", configPath, "The configuration file (JSON)")->excludes("--etcd");
  app.footer(
      "SIGHUP reloads the file (with --etcd: reads the whole prefix again); a file that cannot\n"
      "be loaded leaves the served configuration as it was. With --etcd, a Set is stored in\n"
      "etcd and every change there is served at once; while etcd cannot be reached the last\n"
      "tree read (or, at start-up, the copy in --cache-file) is served as possibly stale.\n"
      "Exit status: 0 when stopped by SIGTERM or SIGINT, 1 when the configuration cannot be\n"
      "loaded (no etcd member answers and no copy was saved) or the server cannot register or\n"
      "serve, 2 for a wrong command line.");
  try {
    app.parse(argc, argv);
    if (configPath.empty() && !etcd.Wanted())
      throw CLI::RequiredError("CONFIG (or --etcd URL[,URL...])");
  } catch (const CLI::ParseError& error) {
    return app.exit(error, out, err) == 0 ? kExitOk : kExitUsage;
  }
  const RemoteStoreModule* remote = nullptr;
  if (etcd.Wanted()) {
    if (!Attempt(err, "", [&] { remote = &LoadRemoteStoreModule(); })) return kExitFailure;
    if (const std::optional<int> status = remote->runTransfer(etcd, out, err)) return *status;
  }

  if (check) return CheckConfigFile(configPath, out);
  if (!Attempt(err, "", [&] { middleware.UseKey(keyFile, insecure); })) return kExitFailure;

  // Started by the daemon, the server registers as what the daemon started,
  // unless the command line says otherwise.
  ZQ_TString startedName;
  unsigned short startedInstance = 0;
  if (middleware.StartedAs(startedName, startedInstance)) {
    if (nameOption->count() == 0) name = startedName.Text();
    if (instanceOption->count() == 0) instance = startedInstance;
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
    source = std::make_unique<FileSource>(configPath);
  }
  ConfigStore store(std::move(source), trace);
  // A Set waits for etcd, up to seconds when it is failing; readers must not.
  if (remote != nullptr) store.AnswerWritesLater(post);
  if (!Attempt(err, "", [&] { store.Load(); })) return kExitFailure;
  store.OnChange([&middleware] { middleware.ConfigurationChanged(); });

  const std::string identity = name + " instance " + std::to_string(instance);
  if (!Attempt(err, "cannot register as " + identity + ": ", [&] {
        middleware.OnSignal(SIGHUP, [&store] { store.ReloadOnSignal(); });
        if (!hostAddress.empty()) middleware.UseHostAddress(hostAddress);
        middleware.Bind(ZQ_TString(name), instance, port);
      })) {
    return kExitFailure;
  }
  middleware.Trace(0, "Serving the configuration as " + identity + " on port " +
                          std::to_string(middleware.Port()));
  if (readyFd >= 0) {
    [[maybe_unused]] const ssize_t written = write(readyFd, "\n", 1);
    close(readyFd);
  }
  store.Follow();
  if (!Attempt(err, "", [&] { middleware.Serve(store); })) return kExitFailure;
  return kExitOk;
}

}  // namespace almanac
