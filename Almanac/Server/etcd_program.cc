#include "Almanac/Server/etcd_program.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ostream>

#include "Almanac/Server/config_file.h"
#include "Almanac/Server/etcd_cache.h"
#include "Almanac/Server/etcd_layout.h"
#include "Almanac/Server/program.h"

namespace almanac {
namespace {

std::vector<std::string> SplitMembers(const std::string& members) {
  std::vector<std::string> urls;
  std::size_t start = 0;
  while (start <= members.size()) {
    std::size_t end = members.find(',', start);
    if (end == std::string::npos) end = members.size();
    std::string url = members.substr(start, end - start);
    url.erase(0, url.find_first_not_of(" \t"));
    url.erase(url.find_last_not_of(" \t") + 1);
    while (!url.empty() && url.back() == '/')
      url.pop_back();
    if (!url.empty()) urls.push_back(url);
    start = end + 1;
  }
  return urls;
}

std::string MembersProblem(const std::string& members) {
  const std::vector<std::string> urls = SplitMembers(members);
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

// Writes `text` to `path` through a new file beside it, renamed over it
// once complete, so that a failed export leaves no half-written file.
void WriteFile(const std::string& path, const std::string& text) {
  const std::string partial = path + ".partial";
  {
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) throw std::runtime_error("cannot write " + partial + ": " + std::strerror(errno));
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    std::remove(partial.c_str());
    throw std::runtime_error("cannot rename " + partial + " to " + path + ": " + reason);
  }
}

int Transfer(const EtcdOptions& options, std::ostream& out) {
  // A one-shot run: nothing is watched, so nothing is posted.
  EtcdSource source(
      options.Settings(), [](int, const std::string&) {}, [](std::function<void()>) {});
  if (!options.importFile.empty()) {
    const ZQ_TTree tree = LoadConfigFile(options.importFile);
    const std::int64_t revision = source.Replace(tree);
    out << "almanac: imported " << options.importFile << " into " << source.Name() << " (revision "
        << revision << ")" << std::endl;
    return kExitOk;
  }
  const std::string text = etcd::ConfigFileText(source.Read());
  if (options.exportFile.empty() || options.exportFile == "-") {
    out << text << std::flush;
  } else {
    WriteFile(options.exportFile, text);
  }
  return kExitOk;
}

}  // namespace

bool EtcdOptions::Exporting() const {
  return exportOption != nullptr && exportOption->count() > 0;
}

EtcdSettings EtcdOptions::Settings() const {
  EtcdSettings settings;
  settings.endpoints = SplitMembers(members);
  settings.prefix = prefix.back() == '/' ? prefix : prefix + '/';
  return settings;
}

EtcdSettings EtcdOptions::ServerSettings(const std::string& name, unsigned instance) const {
  EtcdSettings settings = Settings();
  settings.cacheFile = cacheFile.empty() ? etcd::DefaultCacheFile(name, instance) : cacheFile;
  return settings;
}

void AddEtcdOptions(CLI::App& app, EtcdOptions& options) {
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
  options.exportOption =
      app.add_option(
             "--export", options.exportFile,
             "Write the configuration held in etcd as a JSON file (default: standard output) "
             "and exit")
          ->expected(0, 1)
          ->needs("--etcd")
          ->excludes(import);
}

std::optional<int> RunEtcdTransfer(const EtcdOptions& options, std::ostream& out,
                                   std::ostream& err) {
  if (options.importFile.empty() && !options.Exporting()) return std::nullopt;
  try {
    return Transfer(options, out);
  } catch (const ZQ_EException& failure) {
    err << "almanac: " << failure.ZQ_Message().Text() << '\n';
  } catch (const std::exception& failure) {
    err << "almanac: " << failure.what() << '\n';
  }
  return kExitFailure;
}

}  // namespace almanac
