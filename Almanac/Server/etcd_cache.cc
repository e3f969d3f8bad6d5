#include "Almanac/Server/etcd_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Almanac/Server/almanac_errors.h"
#include "Almanac/Server/config_file.h"
#include "Almanac/Server/etcd_layout.h"

namespace almanac::etcd {
namespace {

[[noreturn]] void Failed(const char* call, const std::string& path, int error) {
  ALMANAC_THROW(ZQM_EException, std::string(call) + " " + path + ": " + std::strerror(error));
}

std::string StateFolder() {
  if (geteuid() == 0) return "/var/lib/zqmd";
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/')
    return std::string(state) + "/zqmd";
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/')
    return std::string(home) + "/.local/state/zqmd";
  return {};
}

void WriteAll(int fd, const std::string& text, const std::string& path) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) Failed("write", path, errno);
    done += static_cast<std::size_t>(written);
  }
}

}  // namespace

std::string DefaultCacheFile(const std::string& name, unsigned instance) {
  const std::string folder = StateFolder();
  if (folder.empty()) return {};
  return folder + "/almanac-" + name + "-" + std::to_string(instance) + ".cache.json";
}

void SaveCopy(const std::string& path, const ZQ_TTree& tree) {
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (!folder.empty() && mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    if (!std::filesystem::is_directory(folder)) Failed("mkdir", folder.string(), errno);
  }
  const std::string partial = path + ".partial";
  const int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) Failed("open", partial, errno);
  try {
    // A file left by another umask or an older copy keeps its mode: set it.
    if (fchmod(fd, 0600) != 0) Failed("fchmod", partial, errno);
    WriteAll(fd, ConfigFileText(tree), partial);
    if (fsync(fd) != 0) Failed("fsync", partial, errno);
  } catch (...) {
    close(fd);
    unlink(partial.c_str());
    throw;
  }
  close(fd);
  if (rename(partial.c_str(), path.c_str()) != 0) {
    const int error = errno;
    unlink(partial.c_str());
    Failed("rename", partial + " to " + path, error);
  }
}

std::optional<SavedTree> LoadCopy(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return std::nullopt;
    Failed("stat", path, errno);
  }
  return SavedTree{LoadConfigFile(path), status.st_mtime};
}

}  // namespace almanac::etcd
