// The entry of libalmanac_etcd.so: everything else in the module is the
// etcd client and source as the tests link them.
#include "Almanac/Server/etcd_source.h"
#include "Almanac/Server/remote_store.h"

namespace almanac {
namespace {

std::unique_ptr<ConfigSource> MakeSource(const EtcdSettings& settings, TraceSink trace,
                                         PostToServer post) {
  return std::make_unique<EtcdSource>(settings, std::move(trace), std::move(post));
}

constexpr RemoteStoreModule kModule{&MakeSource, &RunEtcdTransfer};

}  // namespace
}  // namespace almanac

extern "C" __attribute__((visibility("default"))) const almanac::RemoteStoreModule*
almanac_remote_store_module() {
  return &almanac::kModule;
}
