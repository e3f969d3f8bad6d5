// The launch keys "User" and "Group" resolved (credentials.h) off the event
// loop, and kept.
//
// Resolving them asks the user database, which may be an LDAP server behind
// NSS that does not answer: the lookups run on a thread of their own, and
// whoever waits for one gives up when its own deadline passes (a start's
// StartTimeout). What was resolved is kept: for kFreshFor it is used as it
// is; later it is asked for again, and when no answer comes within
// kRefreshWait the kept one is used (traced once until the database answers
// again), so that a database that stops answering never stops the restarts
// of a server it answered for before. Failures (an unknown user, say) are
// not kept.
//
// Used on the event loop's thread only; answers come there. The lookup
// thread is never joined: one blocked in the database is left behind when
// the daemon ends.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "DEVUror/zqm_deadlines.h"
#include "zqmd/credentials.h"
#include "zqmd/loop_mailbox.h"

namespace zqmd {

class CredentialCache {
 public:
  using Id = std::uint64_t;  // never 0
  // `credentials` is null when they could not be resolved; `problem` says why.
  using Done = std::function<void(const Credentials* credentials, const std::string& problem)>;

  static constexpr std::chrono::seconds kFreshFor{60};
  static constexpr std::chrono::milliseconds kRefreshWait{1000};

  // Throws ZQM_EException when the lookup thread cannot be started.
  CredentialCache(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines);
  ~CredentialCache();
  CredentialCache(const CredentialCache&) = delete;
  CredentialCache& operator=(const CredentialCache&) = delete;

  // The credentials for `user` and `group` when they are known without
  // asking anybody: none configured (the daemon's own), or resolved within
  // kFreshFor.
  std::optional<Credentials> Known(const std::string& user, const std::string& group) const;

  // Resolves them and calls `done` later, never within this call.
  Id Resolve(const std::string& user, const std::string& group, Done done);
  // `done` of that call will not be called.
  void Cancel(Id id);

 private:
  using Key = std::pair<std::string, std::string>;
  struct Lookups;  // shared with the lookup thread
  struct Entry {
    std::optional<Credentials> kept;
    std::chrono::steady_clock::time_point resolvedAt{};
    bool asking = false;
    zqm_deadlines::Id fallback = 0;
    bool fallbackTraced = false;  // its use without an answer was traced
    std::vector<std::pair<Id, Done>> waiting;
  };

  void Answered(const Key& key, std::optional<Credentials> credentials, std::string problem);
  void UseKept(const Key& key);
  static void Answer(Entry& entry, const Credentials* credentials, const std::string& problem);

  zqm_deadlines::DeadlineQueue& deadlines_;
  std::shared_ptr<LoopMailbox> mailbox_;
  std::shared_ptr<Lookups> lookups_;
  std::map<Key, Entry> entries_;
  Id next_ = 0;
};

}  // namespace zqmd
