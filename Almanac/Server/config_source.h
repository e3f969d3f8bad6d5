// Where the configuration server's tree comes from, and where a Set goes.
//
// The store (config_store.h) serves its own copy of the tree; a source
// fills it (Read), makes a Set lasting where it can (Store), and reports
// changes made elsewhere (Follow). All calls come from the server's thread,
// except PendingStore::Write.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Almanac/Server/config_file.h"
#include "typelib/dodived.h"

namespace almanac {

class ConfigSource {
 public:
  virtual ~ConfigSource() = default;

  // Names the source in trace lines and messages.
  virtual std::string Name() const = 0;

  // The whole tree as the source holds it now. Throws ZQM_EException saying
  // why it cannot be read or is refused.
  virtual ZQ_TTree Read() = 0;

  // Makes a Set lasting, in steps, so that the wait for others need not
  // hold up the server's readers.
  class PendingStore {
   public:
    virtual ~PendingStore() = default;
    // Stores the change where it lasts. May run on another thread than the
    // server's (one Write at a time), and touches nothing the server's
    // thread does. A failure throws and changes nothing.
    virtual void Write() {}
    // On the server's thread, after Write succeeded: the tree to serve from
    // now on, or nullopt when the source keeps nothing, and the store
    // applies the change to its own copy.
    virtual std::optional<ZQ_TTree> Finish() { return std::nullopt; }
  };

  // The Set of `value` at `segments` (already checked), to be written;
  // `current` is the tree served before the change. Throws when the source
  // refuses it now.
  virtual std::unique_ptr<PendingStore> PrepareStore(const ZQ_TTree& current,
                                                     const std::vector<std::string_view>& segments,
                                                     const ZQ_TAny& value) {
    return std::make_unique<PendingStore>();
  }

  // From now on, `changed` receives every tree that changes made elsewhere
  // lead to, on the server's thread. Sources that nobody else changes
  // ignore it.
  virtual void Follow(std::function<void(ZQ_TTree)> changed) {}

  // Whether the tree served may be stale: since when (seconds since the
  // epoch; 0 when it is current as far as the source knows) and why.
  struct Freshness {
    long long staleSince = 0;
    std::string why;
  };
  virtual Freshness Staleness() const { return {}; }
};

// The JSON file of config_file.h: read at Load and Reload; a Set stays in
// memory until the next reload.
class FileSource : public ConfigSource {
 public:
  explicit FileSource(std::string path) : path_(std::move(path)) {}
  std::string Name() const override { return path_; }
  ZQ_TTree Read() override { return LoadConfigFile(path_); }

 private:
  std::string path_;
};

}  // namespace almanac
