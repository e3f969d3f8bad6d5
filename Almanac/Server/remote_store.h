// The etcd side of the configuration server lives in a module of its own,
// libalmanac_etcd.so beside the project's libraries, which the program
// loads only when --etcd asks for it: a server of a file never maps libcurl
// and the TLS, Kerberos and LDAP libraries that come with it.
//
// The module and the program are built together from one tree, with the
// same C++ library and the same shared type library and runtime, so C++
// types and exceptions cross between them as they do between any two of
// the project's libraries.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>

#include "Almanac/Server/config_source.h"
#include "Almanac/Server/config_store.h"
#include "Almanac/Server/etcd_program.h"

namespace almanac {

struct RemoteStoreModule {
  // The source of the tree held by the members that `settings` name.
  std::unique_ptr<ConfigSource> (*makeSource)(const EtcdSettings& settings, TraceSink trace,
                                              PostToServer post);
  // --import and --export: the exit status, nullopt when neither was asked for.
  std::optional<int> (*runTransfer)(const EtcdOptions& options, std::ostream& out,
                                    std::ostream& err);
};

// The module's file name; it lies in the folder of libDEVUror.so.
inline constexpr const char* kRemoteStoreModuleFile = "libalmanac_etcd.so";

// Loads the module, once per process; throws std::runtime_error naming the
// module and why when it cannot be loaded.
const RemoteStoreModule& LoadRemoteStoreModule();

}  // namespace almanac

// The one symbol the module exports.
extern "C" const almanac::RemoteStoreModule* almanac_remote_store_module();
