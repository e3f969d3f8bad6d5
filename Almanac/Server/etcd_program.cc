#include "Almanac/Server/etcd_program.h"

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

std::vector<std::string> SplitEtcdMembers(const std::string& members) {
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

EtcdSettings EtcdOptions::Settings() const {
  EtcdSettings settings;
  settings.endpoints = SplitEtcdMembers(members);
  settings.prefix = prefix.back() == '/' ? prefix : prefix + '/';
  return settings;
}

EtcdSettings EtcdOptions::ServerSettings(const std::string& name, unsigned instance) const {
  EtcdSettings settings = Settings();
  settings.cacheFile = cacheFile.empty() ? etcd::DefaultCacheFile(name, instance) : cacheFile;
  return settings;
}

std::optional<int> RunEtcdTransfer(const EtcdOptions& options, std::ostream& out,
                                   std::ostream& err) {
  if (options.importFile.empty() && !options.exporting) return std::nullopt;
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
