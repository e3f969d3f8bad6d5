#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "Almanac/Server/remote_store.h"
#include "DEVUror/devuror.h"

namespace almanac {
namespace {

// The module lies beside the runtime library, in the build tree as in an
// installation. Found from the runtime's own path rather than through the
// program's RUNPATH, which dlopen consults only for calls from the program
// itself, not for calls that pass through a sanitizer's interceptor.
std::string ModulePath() {
  Dl_info runtime{};
  const std::string name = kRemoteStoreModuleFile;
  if (dladdr(reinterpret_cast<void*>(&__ZQ_INITIALIZATION_FUNCTION_DEVUror__), &runtime) == 0 ||
      runtime.dli_fname == nullptr) {
    return name;
  }
  const std::string runtimePath = runtime.dli_fname;
  const std::size_t slash = runtimePath.rfind('/');
  return slash == std::string::npos ? name : runtimePath.substr(0, slash + 1) + name;
}

const RemoteStoreModule& Load() {
  // Never closed: the source it makes lives as long as the process.
  void* handle = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    throw std::runtime_error(std::string("--etcd needs the etcd module ") + kRemoteStoreModuleFile +
                             " (installed with the program), which cannot be loaded: " + dlerror());
  }
  using Entry = decltype(&almanac_remote_store_module);
  auto entry = reinterpret_cast<Entry>(dlsym(handle, "almanac_remote_store_module"));
  if (entry == nullptr) {
    throw std::runtime_error(std::string(kRemoteStoreModuleFile) +
                             " is not this program's etcd module: " + dlerror());
  }
  return *entry();
}

}  // namespace

const RemoteStoreModule& LoadRemoteStoreModule() {
  static const RemoteStoreModule& module = Load();
  return module;
}

}  // namespace almanac
