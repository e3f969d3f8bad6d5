// A client of an etcd v3 cluster through its JSON gateway (HTTP POST of
// JSON bodies to /v3/kv/range and /v3/kv/txn; the watch on a WebSocket at
// /v3/watch; keys and values travel in base64). Requests travel by
// etcd_transport.h, answers are read by etcd_answers.h, and etcd_members.h
// decides which member they go to and when they move on to another.
//
// Reads are linearizable: a member answers only what a quorum has agreed
// on, and one that has lost the cluster's leader refuses at once. Every
// request has a deadline (by default kRequestPatience from its start), and
// a watch checks every kCheckIntervalMs that its member still belongs to a
// quorum and that its stream makes progress, so that no member that is
// frozen, cut off or without a quorum is believed for longer than a few
// seconds.
//
// A client belongs to one thread, except Interrupt, which any thread may
// call. Every wait is a poll(2) inside libcurl, bounded by the deadlines,
// and Interrupt ends it at once. Answers are bounded (kMaxResponseBytes)
// before they are read. Failures throw ZQM_EException naming the request,
// the member and the reason.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Almanac/Server/etcd_answers.h"
#include "Almanac/Server/etcd_members.h"
#include "Almanac/Server/etcd_transport.h"

namespace almanac::etcd {

// An answer larger than this is refused (a watch: one message): a
// configuration is a few kilobytes, and no peer may fill the memory.
inline constexpr std::size_t kMaxResponseBytes = 8u * 1024 * 1024;

// How long a read or a transaction may take in all, its member moving on
// and etcd electing a new leader on the way.
inline constexpr std::chrono::milliseconds kRequestPatience{8000};
inline Deadline RequestDeadline() {
  return Clock::now() + kRequestPatience;
}

// How often a watch checks its member and its stream.
inline constexpr long kCheckIntervalMs = 2000;

// One operation of a transaction.
struct Operation {
  enum class Kind { kPut, kDeleteRange };
  Kind kind;
  std::string key;
  std::string valueOrRangeEnd;  // kPut: the value; kDeleteRange: the range's end ("" = the key)

  static Operation Put(std::string key, std::string value) {
    return {Kind::kPut, std::move(key), std::move(value)};
  }
  static Operation DeleteRange(std::string key, std::string rangeEnd = {}) {
    return {Kind::kDeleteRange, std::move(key), std::move(rangeEnd)};
  }
};

// A condition of a transaction: every key in [key, rangeEnd) was last
// changed before `modRevisionBelow`.
struct Unchanged {
  std::string key;
  std::string rangeEnd;
  std::int64_t modRevisionBelow = 0;
};

// How a watch ended.
enum class WatchEnd {
  kInterrupted,  // Interrupt was called
  kCompacted,    // the revision to start from is gone: read everything again
};

// What a watch reports.
struct WatchCallbacks {
  // The watch runs, through the member at `endpoint`, which belongs to a
  // quorum.
  std::function<void(const std::string& endpoint)> connected;
  // The events of a revision.
  std::function<void(WatchBatch&&)> batch;
  // A check has found the member still in a quorum and the stream making
  // progress.
  std::function<void()> confirmed;
};

// The end of the key range that holds every key starting with `prefix`.
std::string PrefixEnd(const std::string& prefix);

class Client {
 public:
  // `endpoints`: the members' URLs, e.g. "http://10.0.0.1:2379"; `notice`
  // hears when a request moved on from the member it went to first.
  explicit Client(std::vector<std::string> endpoints, MemberSelection::Notice notice = {});
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Every key in [key, rangeEnd), in one linearizable read; with `keysOnly`
  // the values are left empty.
  RangeResult Range(const std::string& key, const std::string& rangeEnd, bool keysOnly = false,
                    Deadline deadline = RequestDeadline());

  // Runs `operations` as one transaction when `conditions` hold. A
  // transaction that made way may have been applied: callers make theirs
  // conditional, so that trying it again does no harm.
  TxnResult Txn(const std::vector<Unchanged>& conditions, const std::vector<Operation>& operations,
                Deadline deadline = RequestDeadline());

  // Streams the changes of [key, rangeEnd) from `startRevision` on
  // through one member, checking it as described above. Returns when
  // interrupted or compacted. Throws when no member can be watched, or when
  // the watch through its member fails a check or breaks (the next Watch
  // then starts with the next member).
  WatchEnd Watch(const std::string& key, const std::string& rangeEnd, std::int64_t startRevision,
                 const WatchCallbacks& callbacks);

  // Waits `milliseconds` or until interrupted; false when interrupted.
  bool Pause(unsigned milliseconds) { return transport_.Pause(milliseconds); }

  // Ends the current and every later wait of this client at once. Safe from
  // any thread.
  void Interrupt() { transport_.Interrupt(); }
  bool Interrupted() const { return transport_.Interrupted(); }

  // The members, joined by ", ", for messages.
  std::string Members() const { return members_.Joined(); }

 private:
  // What a member answered.
  struct Reply {
    std::string endpoint;
    std::string body;
  };
  // The answer of the member that answers `body` at `path` (failing over);
  // throws when it refuses (not HTTP 200) or its answer is too large, and
  // when none answers by `deadline`.
  Reply Post(const std::string& path, const std::string& body, Deadline deadline);
  // One member's answer, as MemberSelection::Attempt wants it: throws on a
  // server error; `tooLarge` when the answer passed kMaxResponseBytes.
  std::string PostTo(const std::string& endpoint, const std::string& path, const std::string& body,
                     long timeoutMs, long& status, bool& tooLarge);
  // A linearizable read at `endpoint` (throws unless it answers): proof
  // that the member belongs to a quorum now.
  void Check(const std::string& endpoint, const std::string& body, long timeoutMs, long& status);

  MemberSelection members_;
  Transport transport_;
};

}  // namespace almanac::etcd
