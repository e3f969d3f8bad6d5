// libalmanac_command_line.so: almanac's options, parsed with CLI11.
#include "Almanac/Server/command_line.h"

#include <CLI/CLI.hpp>

#include "Almanac/Server/program.h"
#include "zq_version.h"

namespace almanac {
namespace {

std::string MembersProblem(const std::string& members) {
  const std::vector<std::string> urls = SplitEtcdMembers(members);
  if (urls.empty()) return "name at least one etcd member, e.g. http://127.0.0.1:2379";
  for (const std::string& url : urls) {
    const bool http = url.starts_with("http://") || url.starts_with("https://");
    if (!http || url.size() <= url.find("//") + 2) {
      return "\"" + url + "\" is not the URL of an etcd member (http://HOST:PORT or https://...)";
    }
  }
  return {};
}

std::string PrefixProblem(const std::string& prefix) {
  if (prefix.empty()) return "the etcd prefix must not be empty";
  if (prefix.find('\0') != std::string::npos) return "the etcd prefix must not hold a NUL";
  return {};
}

// --etcd, --etcd-prefix, --cache-file, --import and --export; the option of
// --export, which may be given without a file.
CLI::Option* AddEtcdOptions(CLI::App& app, EtcdOptions& options) {
  app.add_option("--etcd", options.members,
                 "Serve the configuration held by these etcd members (URLs joined by ','; "
                 "instead of CONFIG)")
      ->envname("ALMANAC_ETCD")
      ->check(MembersProblem);
  app.add_option("--etcd-prefix", options.prefix, "Where the installation's keys lie in etcd")
      ->capture_default_str()
      ->envname("ALMANAC_ETCD_PREFIX")
      ->check(PrefixProblem);
  app.add_option("--cache-file", options.cacheFile,
                 "Where to keep the copy of the last tree read from etcd, served when etcd "
                 "cannot be reached at start-up (default: almanac-NAME-INSTANCE.cache.json in "
                 "/var/lib/zqmd for root, else in $XDG_STATE_HOME/zqmd)")
      ->envname("ALMANAC_CACHE_FILE");
  CLI::Option* import =
      app.add_option("--import", options.importFile,
                     "Replace the configuration in etcd with this JSON file, in one transaction, "
                     "and exit")
          ->needs("--etcd");
  return app
      .add_option("--export", options.exportFile,
                  "Write the configuration held in etcd as a JSON file (default: standard output) "
                  "and exit")
      ->expected(0, 1)
      ->needs("--etcd")
      ->excludes(import);
}

int Read(int argc, const char* const* argv, AlmanacCommandLine& parsed, std::ostream& out,
         std::ostream& err) {
  CLI::App app{
      "Serves a JSON configuration file, or the configuration held in etcd, to the "
      "programs of this host.",
      "almanac"};
  app.set_version_flag("--version", "almanac " ZQ_PROJECT_VERSION);
  CLI::Option* nameOption =
      app.add_option("--name", parsed.name, "Server name to register under")
          ->capture_default_str()
          ->check([](const std::string& text) {
            return text.empty() ? std::string("the server name must not be empty") : std::string();
          });
  CLI::Option* instanceOption =
      app.add_option("--instance", parsed.instance, "Instance number to register under")
          ->capture_default_str()
          ->check(CLI::Range(0, 65535));
  app.add_option("--port", parsed.port, "Port to listen on; 0 takes a free port")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  app.add_option(
      "--ready-fd", parsed.readyFd,
      "Write a newline to this descriptor, and close it, once serving (readiness for scripts)");
  app.add_option("--key", parsed.keyFile,
                 "The installation key file (default: $ZQM_KEY_FILE, else the default key file)");
  app.add_flag("--insecure", parsed.insecure, "Run without a key: no handshake")->excludes("--key");
  app.add_option("--host-address", parsed.hostAddress,
                 "Listen on this address of the host as well as on loopback")
      ->envname("ZQM_LISTEN_ADDRESS");
  const CLI::Option* exportOption = AddEtcdOptions(app, parsed.etcd);
  app.add_flag("--check", parsed.check,
               "Check the file and exit, without serving it: JSON syntax, the kinds of the keys "
               "the daemon and the service read, unknown keys of server entries (warnings). Exit "
               "status 0 when valid, 1 with errors")
      ->excludes("--etcd");
  app.add_option("CONFIG", parsed.configPath, "The configuration file (JSON)")->excludes("--etcd");
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
    if (parsed.configPath.empty() && !parsed.etcd.Wanted())
      throw CLI::RequiredError("CONFIG (or --etcd URL[,URL...])");
  } catch (const CLI::ParseError& error) {
    return app.exit(error, out, err) == 0 ? kExitOk : kExitUsage;
  }
  parsed.nameGiven = nameOption->count() > 0;
  parsed.instanceGiven = instanceOption->count() > 0;
  parsed.etcd.exporting = exportOption->count() > 0;
  return zqm_modules::kCommandLineRun;
}

}  // namespace
}  // namespace almanac

extern "C" __attribute__((visibility("default"))) int almanac_read_command_line(
    int argc, const char* const* argv, almanac::AlmanacCommandLine* parsed, std::ostream& out,
    std::ostream& err) noexcept {
  return zqm_modules::ReadCommandLineSafely(
      "almanac", err, [&] { return almanac::Read(argc, argv, *parsed, out, err); });
}
