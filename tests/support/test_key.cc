#include "support/test_key.h"

#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "DEVUror/zqm_auth.h"
#include "support/child_process.h"

namespace zq_test {

void UseTestKey(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) zqm_auth::CreateKeyFile(path);
  setenv("ZQM_KEY_FILE", path.c_str(), 1);
  zqm_auth::Forget();  // ZQM_INSECURE=1, when set, still wins, as in the programs started
}

std::string ProcessKeyFile() {
  if (const char* path = std::getenv("ZQM_KEY_FILE"); path != nullptr && *path != 0) return path;
  static const auto folder = std::make_unique<TempDir>();
  UseTestKey(folder->File("installation.key"));
  return folder->File("installation.key");
}

}  // namespace zq_test
