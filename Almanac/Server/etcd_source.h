// The configuration held by an etcd cluster (layout: etcd_layout.h), shared
// by the configuration servers of every host of an installation.
//
// Read takes the whole tree in one consistent read; a Set is one
// transaction (a leaf: one key; a subtree: the keys below it replaced). The
// server serves its own copy, which a watch on the prefix keeps current:
// the watch runs on a thread of its own and hands what it sees to the
// server's thread through `post`, where the copy is changed and the store
// told (ConfigSource::Follow). A broken watch resumes from the last
// revision seen; one whose member stops making progress moves to the next
// member (etcd_client.h). While no member can be reached, or no quorum
// answers, the copy is served as it is, traced once as possibly stale; once
// etcd answers again, the whole prefix is read again (traced) and watched
// from there.
//
// Every tree read from etcd is also saved in a file (etcd_cache.h): a
// server that starts while etcd cannot be reached serves that copy, as
// possibly stale, until etcd answers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Almanac/Server/config_source.h"
#include "Almanac/Server/config_store.h"
#include "Almanac/Server/etcd_client.h"
#include "Almanac/Server/etcd_layout.h"

namespace almanac {

struct EtcdSettings {
  std::vector<std::string> endpoints;  // the members' URLs
  std::string prefix = "/custodel/";   // the installation's keys; ends with '/'
  std::string cacheFile;               // the saved copy of the tree; "" keeps none
};

class EtcdSource : public ConfigSource {
 public:
  EtcdSource(EtcdSettings settings, TraceSink trace, PostToServer post);
  ~EtcdSource() override;  // ends the watch

  std::string Name() const override;
  ZQ_TTree Read() override;
  std::unique_ptr<PendingStore> PrepareStore(const ZQ_TTree& current,
                                             const std::vector<std::string_view>& segments,
                                             const ZQ_TAny& value) override;
  void Follow(std::function<void(ZQ_TTree)> changed) override;
  Freshness Staleness() const override { return staleness_; }

  // Replaces everything below the prefix with `tree` in one transaction;
  // returns the revision made.
  std::int64_t Replace(const ZQ_TTree& tree);

 private:
  struct Entry {
    etcd::Leaf leaf;
    std::string stored;  // as etcd holds it
    std::int64_t modRevision = 0;
  };
  using Mirror = std::map<std::string, Entry>;  // by path
  // A Set of this server's, kept until the watch has passed its revision:
  // a full read made before it must not undo it.
  class PendingSet;
  struct OwnChange {
    std::int64_t revision = 0;
    std::string path;  // replaced with everything below it
    Mirror entries;
  };

  std::string KeyOf(const std::string& path) const { return configPrefix_ + path; }
  // Replaces the entry at `path` and everything below it ("": the whole
  // tree) with `leaves`, in one transaction; returns its revision. etcd
  // refuses a transaction that deletes a range and puts keys inside it, so
  // the keys to delete are read first, and the transaction runs only when
  // none of them has changed since (else it is tried again).
  std::int64_t ReplaceBelow(const std::string& path, const etcd::Leaves& leaves,
                            const std::vector<std::string>& stored);
  // Decodes what etcd holds; a key that cannot be served is traced and left out.
  Mirror Decode(const std::vector<etcd::KeyValue>& kvs) const;
  bool Admit(Mirror& mirror, const etcd::KeyValue& kv) const;
  ZQ_TTree Build() const;
  // On the server's thread: what the watch saw.
  void Apply(const etcd::WatchBatch& batch);
  void Resynchronised(Mirror mirror, std::int64_t revision);
  void ApplyOwn(const OwnChange& change);
  // Reads the whole prefix into the mirror.
  void ReadMirror();
  // The first read found etcd away (`failure`, being handled): the saved
  // copy, served as possibly stale; rethrows when there is none.
  ZQ_TTree ReadCopy(const ZQ_EException& failure);
  // Saves `tree` as the copy; a failure is traced once until one succeeds.
  void Save(const ZQ_TTree& tree);
  // On the server's thread: what the watch found out about etcd.
  void MarkStale(long long since, const std::string& why);
  void WatchLoop(std::int64_t revision, bool stale);

  EtcdSettings settings_;
  std::string configPrefix_;
  TraceSink trace_;
  PostToServer post_;
  etcd::Client requests_;              // the server thread's, or a PendingStore::Write's
  Mirror mirror_;                      // the server thread's
  std::int64_t revision_ = 0;          // of the last read or watched change served
  std::vector<OwnChange> ownChanges_;  // the server thread's
  bool fromCopy_ = false;              // the mirror is empty: the saved copy is served, as stale
  bool firstRead_ = true;
  bool saveFailing_ = false;
  Freshness staleness_;  // the server thread's
  std::function<void(ZQ_TTree)> changed_;
  std::unique_ptr<etcd::Client> watcher_;  // the watch thread's; Interrupt from here
  std::thread watch_;
};

}  // namespace almanac
