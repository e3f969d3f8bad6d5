// A client of an etcd v3 cluster through its JSON gateway (HTTP POST of
// JSON bodies to /v3/kv/range, /v3/kv/txn and /v3/watch; keys and values
// travel in base64). Requests travel by etcd_transport.h, answers are read
// by etcd_answers.h, and
// etcd_members.h decides which member they go to and when they move on to
// another.
//
// A client belongs to one thread, except Interrupt, which any thread may
// call. Every wait is a poll(2) inside libcurl, bounded by the time limits
// of the transport, and Interrupt ends it at once. Responses are bounded
// (kMaxResponseBytes) before they are parsed. Failures throw ZQM_EException
// naming the request, the member and the reason.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Almanac/Server/etcd_answers.h"
#include "Almanac/Server/etcd_members.h"
#include "Almanac/Server/etcd_transport.h"

namespace almanac::etcd {

// A response larger than this is refused (a watch: one message of the
// stream): a configuration is a few kilobytes, and no peer may fill the
// memory.
inline constexpr std::size_t kMaxResponseBytes = 128u * 1024 * 1024;

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

// The end of the key range that holds every key starting with `prefix`.
std::string PrefixEnd(const std::string& prefix);

class Client {
 public:
  // `endpoints`: the members' URLs, e.g. "http://10.0.0.1:2379".
  explicit Client(std::vector<std::string> endpoints);
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Every key in [key, rangeEnd), in one consistent read; with `keysOnly`
  // the values are left empty.
  RangeResult Range(const std::string& key, const std::string& rangeEnd, bool keysOnly = false);

  // Runs `operations` as one transaction when `conditions` hold.
  TxnResult Txn(const std::vector<Unchanged>& conditions, const std::vector<Operation>& operations);

  // Streams the changes of [key, rangeEnd) from `startRevision` on,
  // handing each batch to `batch`, and `connected` once the watch is
  // established. Returns when interrupted or compacted; throws when no
  // member can be reached or the stream breaks.
  WatchEnd Watch(const std::string& key, const std::string& rangeEnd, std::int64_t startRevision,
                 const std::function<void()>& connected,
                 const std::function<void(WatchBatch&&)>& batch);

  // Waits `milliseconds` or until interrupted; false when interrupted.
  bool Pause(unsigned milliseconds) { return transport_.Pause(milliseconds); }

  // Ends the current and every later wait of this client at once. Safe from
  // any thread.
  void Interrupt() { transport_.Interrupt(); }
  bool Interrupted() const { return transport_.Interrupted(); }

  // The members, joined by ", ", for messages.
  std::string Members() const { return members_.Joined(); }

 private:
  // The answer of the member that answers `body` at `path`; throws when it
  // refuses (not HTTP 200) or its answer is too large, and when none answers.
  std::string Post(const std::string& path, const std::string& body);

  MemberSelection members_;
  Transport transport_;
};

}  // namespace almanac::etcd
