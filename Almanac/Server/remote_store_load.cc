#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "Almanac/Server/remote_store.h"

namespace almanac {
namespace {

const RemoteStoreModule& Load() {
  // Never closed: the source it makes lives as long as the process.
  void* handle = dlopen(kRemoteStoreModuleFile, RTLD_NOW | RTLD_LOCAL);
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
