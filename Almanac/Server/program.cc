#include "Almanac/Server/program.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdint>
#include <exception>
#include <ostream>
#include <string>

#include "Almanac/Server/config_check.h"
#include "Almanac/Server/config_store.h"
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
  CLI::App app{"Serves a JSON configuration file to the programs of this host.", "almanac"};
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
  bool check = false;
  app.add_flag("--check", check,
               "Check the file and exit, without serving it: JSON syntax, the kinds of the keys "
               "the daemon and the service read, unknown keys of server entries (warnings). Exit "
               "status 0 when valid, 1 with errors");
  app.add_option("CONFIG", configPath, "The configuration file (JSON)")->required();
  app.footer(
      "SIGHUP reloads the file; a file that cannot be loaded leaves the served configuration\n"
      "as it was. Exit status: 0 when stopped by SIGTERM or SIGINT, 1 when the file cannot be\n"
      "loaded or the server cannot register or serve, 2 for a wrong command line.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error, out, err) == 0 ? kExitOk : kExitUsage;
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

  ConfigStore store(configPath, [&middleware](int level, const std::string& text) {
    middleware.Trace(level, text);
  });
  if (!Attempt(err, "", [&] { store.Load(); })) return kExitFailure;
  store.OnChange([&middleware] { middleware.ConfigurationChanged(); });

  const std::string identity = name + " instance " + std::to_string(instance);
  if (!Attempt(err, "cannot register as " + identity + ": ", [&] {
        middleware.OnSignal(SIGHUP, [&store] { store.ReloadOnSignal(); });
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
  if (!Attempt(err, "", [&] { middleware.Serve(store); })) return kExitFailure;
  return kExitOk;
}

}  // namespace almanac
