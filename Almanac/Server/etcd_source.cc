#include "Almanac/Server/etcd_source.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "Almanac/Server/almanac_errors.h"
#include "Almanac/Server/etcd_cache.h"
#include "DEVUror/zqm_trace.h"

namespace almanac {
namespace {

// After a failed attempt the watch tries again, waiting longer each time up
// to kLongestPauseMs; etcd's return is noticed within that.
constexpr unsigned kFirstPauseMs = 100;
constexpr unsigned kLongestPauseMs = 2000;

std::string JoinPath(const std::vector<std::string_view>& segments) {
  std::string path;
  for (const std::string_view segment : segments) {
    if (!path.empty()) path += '/';
    path += segment;
  }
  return path;
}

// How often a replacement is tried while others change the same keys.
constexpr int kReplaceAttempts = 5;

// Whether `path` is `top` or lies below it ("" holds everything).
bool Below(const std::string& path, const std::string& top) {
  return top.empty() || path == top || (path.starts_with(top) && path[top.size()] == '/');
}

std::string Message(const ZQ_EException& failure) {
  return failure.ZQ_Message().Text();
}

long long Now() {
  return static_cast<long long>(std::time(nullptr));
}

// Traces which member served a request when the first one made way.
etcd::MemberSelection::Notice TraceFailover(const TraceSink& trace, const std::string& what) {
  return [trace, what](const std::string& text) { trace(0, "etcd " + what + ": " + text); };
}

}  // namespace

EtcdSource::EtcdSource(EtcdSettings settings, TraceSink trace, PostToServer post)
    : settings_(std::move(settings)),
      configPrefix_(settings_.prefix + "config/"),
      trace_(std::move(trace)),
      post_(std::move(post)),
      requests_(settings_.endpoints, TraceFailover(trace_, "requests")) {}

EtcdSource::~EtcdSource() {
  if (watcher_) watcher_->Interrupt();
  if (watch_.joinable()) watch_.join();
}

std::string EtcdSource::Name() const {
  return "etcd " + settings_.prefix + " at " + requests_.Members();
}

void EtcdSource::ReadMirror() {
  etcd::RangeResult result = requests_.Range(configPrefix_, etcd::PrefixEnd(configPrefix_));
  mirror_ = Decode(result.kvs);
  revision_ = result.revision;
  fromCopy_ = false;
  std::erase_if(ownChanges_, [&](const OwnChange& own) { return own.revision <= revision_; });
}

ZQ_TTree EtcdSource::Read() {
  try {
    ReadMirror();
  } catch (const ZQ_EException& failure) {
    // A reload keeps what is served; only a server that has nothing yet
    // turns to its copy.
    if (!firstRead_) throw;
    firstRead_ = false;
    return ReadCopy(failure);
  }
  firstRead_ = false;
  ZQ_TTree tree = Build();
  Save(tree);
  return tree;
}

ZQ_TTree EtcdSource::ReadCopy(const ZQ_EException& failure) {
  if (settings_.cacheFile.empty()) throw;
  std::optional<etcd::SavedTree> saved;
  try {
    saved = etcd::LoadCopy(settings_.cacheFile);
  } catch (const ZQ_EException& unreadable) {
    ALMANAC_THROW(ZQM_EException, Message(failure) + "; and the saved copy cannot be served: " +
                                      Message(unreadable));
  }
  if (!saved) throw;
  fromCopy_ = true;
  staleness_ = {static_cast<long long>(saved->saved), Message(failure)};
  trace_(0, "etcd cannot be reached (" + Message(failure) + "); serving the copy saved at " +
                zqm_trace::LocalTime(saved->saved) + " in " + settings_.cacheFile +
                ", which may be stale, until etcd answers again");
  return saved->tree;
}

void EtcdSource::Save(const ZQ_TTree& tree) {
  if (settings_.cacheFile.empty()) return;
  try {
    etcd::SaveCopy(settings_.cacheFile, tree);
    if (saveFailing_)
      trace_(0, "The copy of the configuration is saved again in " + settings_.cacheFile);
    saveFailing_ = false;
  } catch (const ZQ_EException& failure) {
    if (!saveFailing_) trace_(0, "Cannot save the copy of the configuration: " + Message(failure));
    saveFailing_ = true;
  }
}

void EtcdSource::MarkStale(long long since, const std::string& why) {
  if (staleness_.staleSince == 0) staleness_ = {since, why};
}

void EtcdSource::ApplyOwn(const OwnChange& change) {
  std::erase_if(mirror_, [&](const auto& entry) { return Below(entry.first, change.path); });
  for (const auto& entry : change.entries)
    mirror_.insert(entry);
}

class EtcdSource::PendingSet : public ConfigSource::PendingStore {
 public:
  PendingSet(EtcdSource& source, std::string path, etcd::Leaves leaves)
      : source_(source), path_(std::move(path)), leaves_(std::move(leaves)) {
    for (const auto& entry : leaves_)
      stored_.push_back(etcd::EncodeLeaf(entry.second));
  }

  void Write() override {
    try {
      revision_ = source_.ReplaceBelow(path_, leaves_, stored_);
    } catch (const ZQ_EException& failure) {
      ALMANAC_THROW(ZQM_EException, "cannot store \"" + path_ + "\" in " + source_.Name() + ": " +
                                        Message(failure));
    }
  }

  std::optional<ZQ_TTree> Finish() override {
    // The watch (or a full read) may have served this change, and later
    // ones, while the server waited for etcd.
    if (revision_ > source_.revision_) {
      OwnChange change{revision_, path_, {}};
      std::size_t i = 0;
      for (auto& [leafPath, leaf] : leaves_)
        change.entries[leafPath] = Entry{std::move(leaf), std::move(stored_[i++]), revision_};
      source_.ApplyOwn(change);
      source_.ownChanges_.push_back(std::move(change));
    }
    ZQ_TTree tree = source_.Build();
    source_.Save(tree);
    return tree;
  }

 private:
  EtcdSource& source_;
  std::string path_;
  etcd::Leaves leaves_;
  std::vector<std::string> stored_;
  std::int64_t revision_ = 0;
};

std::unique_ptr<ConfigSource::PendingStore> EtcdSource::PrepareStore(
    const ZQ_TTree& current, const std::vector<std::string_view>& segments, const ZQ_TAny& value) {
  const std::string path = JoinPath(segments);
  // While etcd is known to be away a Set fails at once, as the mirror may
  // be only the saved copy.
  if (staleness_.staleSince != 0) {
    ALMANAC_THROW(ZQM_EException, "cannot store \"" + path + "\" in " + Name() +
                                      ": etcd cannot be reached (" + staleness_.why +
                                      "); nothing is stored until it answers again");
  }
  etcd::Leaves leaves;
  etcd::AddLeaves(leaves, path, etcd::PositionsIn(current, segments), value);
  return std::make_unique<PendingSet>(*this, path, std::move(leaves));
}

std::int64_t EtcdSource::Replace(const ZQ_TTree& tree) {
  etcd::Leaves leaves;
  etcd::AddLeaves(leaves, "", {}, ZQ_TAny(tree));
  std::vector<std::string> stored;
  for (const auto& entry : leaves)
    stored.push_back(etcd::EncodeLeaf(entry.second));
  try {
    return ReplaceBelow("", leaves, stored);
  } catch (const ZQ_EException& failure) {
    ALMANAC_THROW(ZQM_EException,
                  "cannot replace the configuration in " + Name() + ": " + Message(failure));
  }
}

std::int64_t EtcdSource::ReplaceBelow(const std::string& path, const etcd::Leaves& leaves,
                                      const std::vector<std::string>& stored) {
  // The keys of `path` and below lie in [from, to), among others.
  const std::string from = KeyOf(path);
  const std::string to = etcd::PrefixEnd(path.empty() ? configPrefix_ : KeyOf(path + '/'));
  // One deadline for the whole replacement, however often it moves on.
  const etcd::Deadline deadline = etcd::RequestDeadline();
  for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
    const etcd::RangeResult present = requests_.Range(from, to, /*keysOnly=*/true, deadline);
    std::vector<etcd::Operation> operations;
    for (const etcd::KeyValue& kv : present.kvs) {
      const std::string keyPath = kv.key.substr(configPrefix_.size());
      if (Below(keyPath, path) && !leaves.contains(keyPath))
        operations.push_back(etcd::Operation::DeleteRange(kv.key));
    }
    std::size_t i = 0;
    for (const auto& entry : leaves)
      operations.push_back(etcd::Operation::Put(KeyOf(entry.first), stored[i++]));
    etcd::TxnResult result;
    try {
      result = requests_.Txn({{from, to, present.revision + 1}}, operations, deadline);
    } catch (const ZQ_EException& failure) {
      if (Message(failure).find("too many operations") == std::string::npos) throw;
      ALMANAC_THROW(ZQM_EException, Message(failure) + "; the transaction has " +
                                        std::to_string(operations.size()) +
                                        " operations: start every etcd member with "
                                        "--max-txn-ops " +
                                        std::to_string(operations.size()) + " or more");
    }
    if (result.succeeded) return result.revision;
  }
  ALMANAC_THROW(ZQM_EException, "the keys kept changing while they were being replaced (" +
                                    std::to_string(kReplaceAttempts) + " attempts)");
}

void EtcdSource::Follow(std::function<void(ZQ_TTree)> changed) {
  changed_ = std::move(changed);
  watcher_ = std::make_unique<etcd::Client>(settings_.endpoints, TraceFailover(trace_, "watch"));
  watch_ = std::thread([this, revision = revision_, stale = fromCopy_] {
    try {
      WatchLoop(revision, stale);
    } catch (const std::exception& failure) {
      trace_(0, "The watch of " + Name() + " has ended: " + failure.what() +
                    "; the configuration is no longer kept current");
    }
  });
}

EtcdSource::Mirror EtcdSource::Decode(const std::vector<etcd::KeyValue>& kvs) const {
  Mirror mirror;
  for (const etcd::KeyValue& kv : kvs)
    Admit(mirror, kv);
  return mirror;
}

bool EtcdSource::Admit(Mirror& mirror, const etcd::KeyValue& kv) const {
  if (!kv.key.starts_with(configPrefix_)) return false;
  const std::string path = kv.key.substr(configPrefix_.size());
  try {
    mirror[path] = Entry{etcd::DecodeLeaf(path, kv.value), kv.value, kv.modRevision};
    return true;
  } catch (const ZQ_EException& failure) {
    trace_(0, "Ignoring the etcd key \"" + kv.key + "\": " + Message(failure));
    return false;
  }
}

ZQ_TTree EtcdSource::Build() const {
  etcd::Leaves leaves;
  for (const auto& [path, entry] : mirror_)
    leaves.emplace(path, entry.leaf);
  return etcd::BuildTree(leaves, [this](const std::string& path, const std::string& why) {
    trace_(0, "Ignoring the etcd key \"" + KeyOf(path) + "\": " + why);
  });
}

void EtcdSource::Apply(const etcd::WatchBatch& batch) {
  bool changed = false;
  for (const etcd::WatchEvent& event : batch.events) {
    if (!event.kv.key.starts_with(configPrefix_)) continue;
    const std::string path = event.kv.key.substr(configPrefix_.size());
    // What this server stored itself, or read since, is known already and
    // newer.
    const bool overtaken =
        std::any_of(ownChanges_.begin(), ownChanges_.end(), [&](const auto& own) {
          return own.revision > event.kv.modRevision && Below(path, own.path);
        });
    if (overtaken) continue;
    const auto known = mirror_.find(path);
    if (known != mirror_.end() && known->second.modRevision > event.kv.modRevision) continue;
    if (event.deleted) {
      if (known == mirror_.end()) continue;
      mirror_.erase(known);
    } else if (known != mirror_.end() && known->second.stored == event.kv.value) {
      known->second.modRevision = event.kv.modRevision;
      continue;
    } else if (!Admit(mirror_, event.kv) && known != mirror_.end()) {
      mirror_.erase(known);
    }
    changed = true;
  }
  std::erase_if(ownChanges_, [&](const OwnChange& own) { return own.revision <= batch.revision; });
  revision_ = std::max(revision_, batch.revision);
  if (!changed) return;
  ZQ_TTree tree = Build();
  Save(tree);
  if (changed_) changed_(std::move(tree));
}

void EtcdSource::Resynchronised(Mirror mirror, std::int64_t revision) {
  std::swap(mirror, mirror_);  // `mirror` now holds what was served
  revision_ = revision;
  staleness_ = {};
  const bool fromCopy = std::exchange(fromCopy_, false);
  std::erase_if(ownChanges_, [&](const OwnChange& own) { return own.revision <= revision; });
  for (const OwnChange& own : ownChanges_)
    ApplyOwn(own);
  const bool same = std::equal(mirror.begin(), mirror.end(), mirror_.begin(), mirror_.end(),
                               [](const auto& a, const auto& b) {
                                 return a.first == b.first && a.second.stored == b.second.stored;
                               });
  ZQ_TTree tree = Build();
  Save(tree);
  if ((fromCopy || !same) && changed_) changed_(std::move(tree));
}

void EtcdSource::WatchLoop(std::int64_t revision, bool stale) {
  const std::string end = etcd::PrefixEnd(configPrefix_);
  std::int64_t seen = revision;
  unsigned pauseMs = kFirstPauseMs;
  bool connected = false;  // since the last failure
  bool readAll = stale;    // stale: traced as such; read everything once etcd answers
  std::string failedOver;  // the failure of a watch that had been working
  etcd::WatchCallbacks callbacks;
  callbacks.connected = [&](const std::string& endpoint) {
    connected = true;
    pauseMs = kFirstPauseMs;
    if (!failedOver.empty())
      trace_(0, "Following the changes of etcd through " + endpoint + " again");
    failedOver.clear();
  };
  callbacks.batch = [&](etcd::WatchBatch&& batch) {
    seen = batch.revision;
    post_([this, batch = std::move(batch)] { Apply(batch); });
  };
  while (!watcher_->Interrupted()) {
    try {
      if (readAll) {
        etcd::RangeResult result = watcher_->Range(configPrefix_, end);
        seen = result.revision;
        // Traced once the server serves it, so that whoever reads the
        // line finds the tree current.
        post_([this, mirror = Decode(result.kvs), seen, stale]() mutable {
          Resynchronised(std::move(mirror), seen);
          if (stale) {
            trace_(0, "etcd answers again: read the configuration again at revision " +
                          std::to_string(seen) + "; following its changes");
          }
        });
        stale = readAll = false;
      }
      const etcd::WatchEnd ended = watcher_->Watch(configPrefix_, end, seen + 1, callbacks);
      if (ended == etcd::WatchEnd::kInterrupted) return;
      trace_(0, "etcd no longer holds revision " + std::to_string(seen + 1) +
                    " (compacted); reading the whole configuration again");
      readAll = true;
    } catch (const ZQ_EException& failure) {
      if (watcher_->Interrupted()) return;
      // A watch that had been working moves on to the next member at once;
      // one that cannot be made anywhere means that etcd is away.
      if (connected) {
        failedOver = Message(failure);
        trace_(0, "The watch of etcd failed (" + failedOver + "); moving to the next member");
        connected = false;
        continue;
      }
      if (!stale) {
        trace_(0, "etcd cannot be reached (" + Message(failure) +
                      "); serving the configuration as read at revision " + std::to_string(seen) +
                      ", which may be stale, until etcd answers again");
        post_([this, since = Now(), why = Message(failure)] { MarkStale(since, why); });
        stale = readAll = true;
      }
      if (!watcher_->Pause(pauseMs)) return;
      pauseMs = std::min(pauseMs * 2, kLongestPauseMs);
    }
  }
}

}  // namespace almanac
