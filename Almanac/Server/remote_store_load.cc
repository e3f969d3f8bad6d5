#include <stdexcept>
#include <string>

#include "Almanac/Server/remote_store.h"
#include "DEVUror/zqm_modules.h"

namespace almanac {
namespace {

const RemoteStoreModule& Load() {
  try {
    zqm_modules::Module module(kRemoteStoreModuleFile);
    auto* entry =
        module.Entry<decltype(almanac_remote_store_module)>("almanac_remote_store_module");
    // Never closed: the source it makes lives as long as the process.
    module.Keep();
    return *entry();
  } catch (const std::runtime_error& failure) {
    throw std::runtime_error(std::string("--etcd needs the etcd module: ") + failure.what());
  }
}

}  // namespace

const RemoteStoreModule& LoadRemoteStoreModule() {
  static const RemoteStoreModule& module = Load();
  return module;
}

}  // namespace almanac
