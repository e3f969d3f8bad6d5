#include "Almanac/Server/etcd_client.h"

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "Almanac/Server/almanac_errors.h"
#include "Almanac/Server/etcd_websocket.h"

namespace almanac::etcd {
namespace {

using nlohmann::json;

std::string Refusal(const std::string& where, long status, const std::string& body) {
  return where + " refused (HTTP " + std::to_string(status) + "): " + ReadErrorMessage(body);
}

Deadline After(long milliseconds) {
  return Clock::now() + std::chrono::milliseconds(milliseconds);
}

// What a watch is made of while it runs: its socket and what it has heard.
struct WatchState {
  std::unique_ptr<WebSocket> socket;
  std::optional<WatchStream> stream;
  bool created = false;
  bool progressed = false;
  bool compacted = false;
};

// Takes the next message of the watch by `until`: false when none came.
// Throws when the stream ends, but for a compaction (`compacted`).
bool NextMessage(WatchState& watch, Deadline until) {
  const std::optional<std::string> message = watch.socket->Receive(until);
  if (!message) return false;
  if (watch.stream->Accept(message->data(), message->size()) && watch.stream->Accept("\n", 1))
    return true;
  if (watch.stream->Compacted()) {
    watch.compacted = true;
    return true;
  }
  ALMANAC_THROW(ZQM_EException, watch.stream->Problem());
}

// Waits by `until` for `done` to become true, taking messages meanwhile;
// false when the time passed or the watch was compacted.
bool AwaitMessages(WatchState& watch, const bool& done, Deadline until) {
  while (!done && !watch.compacted) {
    if (!NextMessage(watch, until)) return false;
  }
  return !watch.compacted;
}

// Takes messages until `until`; true when the watch was compacted meanwhile.
bool TakeMessagesUntil(WatchState& watch, Deadline until) {
  while (!watch.compacted && NextMessage(watch, until)) {
  }
  return watch.compacted;
}

}  // namespace

std::string PrefixEnd(const std::string& prefix) {
  std::string end = prefix;
  while (!end.empty()) {
    if (static_cast<unsigned char>(end.back()) < 0xFF) {
      end.back() = static_cast<char>(static_cast<unsigned char>(end.back()) + 1);
      return end;
    }
    end.pop_back();
  }
  return std::string(1, '\0');  // every key
}

Client::Client(std::vector<std::string> endpoints, MemberSelection::Notice notice)
    : members_(std::move(endpoints), std::move(notice)) {}

std::string Client::PostTo(const std::string& endpoint, const std::string& path,
                           const std::string& body, long timeoutMs, long& status, bool& tooLarge) {
  std::string answer;
  tooLarge = false;
  const Transport::Sink sink = [&](const char* data, std::size_t size) {
    tooLarge = answer.size() + size > kMaxResponseBytes;
    if (!tooLarge) answer.append(data, size);
    return !tooLarge;
  };
  transport_.Post(endpoint + path, body, timeoutMs, sink, status);
  if (status >= 500)
    ALMANAC_THROW(ZQM_EException, Refusal("etcd " + endpoint + path, status, answer));
  return answer;
}

Client::Reply Client::Post(const std::string& path, const std::string& body, Deadline deadline) {
  Reply reply;
  bool tooLarge = false;
  const MemberSelection::Answer answered = members_.Run(
      transport_, deadline, [&](const std::string& endpoint, long timeoutMs, long& status) {
        reply.body = PostTo(endpoint, path, body, timeoutMs, status, tooLarge);
      });
  reply.endpoint = answered.endpoint;
  const std::string where = "etcd " + answered.endpoint + path;
  if (tooLarge) {
    ALMANAC_THROW(ZQM_EException, where + ": the answer is larger than " +
                                      std::to_string(kMaxResponseBytes) + " bytes");
  }
  if (answered.status != 200)
    ALMANAC_THROW(ZQM_EException, Refusal(where, answered.status, reply.body));
  return reply;
}

void Client::Check(const std::string& endpoint, const std::string& body, long timeoutMs,
                   long& status) {
  bool tooLarge = false;
  const std::string answer = PostTo(endpoint, "/v3/kv/range", body, timeoutMs, status, tooLarge);
  if (status != 200)
    ALMANAC_THROW(ZQM_EException, Refusal("etcd " + endpoint + "/v3/kv/range", status, answer));
}

RangeResult Client::Range(const std::string& key, const std::string& rangeEnd, bool keysOnly,
                          Deadline deadline) {
  json request = {{"key", Base64(key)}, {"range_end", Base64(rangeEnd)}};
  if (keysOnly) request["keys_only"] = true;
  const Reply reply = Post("/v3/kv/range", request.dump(), deadline);
  RangeResult result;
  try {
    result = ReadRangeAnswer(reply.body);
  } catch (const std::exception& failure) {
    ALMANAC_THROW(ZQM_EException,
                  "etcd " + reply.endpoint + "/v3/kv/range: unreadable answer: " + failure.what());
  }
  if (result.more) {
    ALMANAC_THROW(ZQM_EException,
                  "etcd " + reply.endpoint + "/v3/kv/range answered only part of the range");
  }
  return result;
}

TxnResult Client::Txn(const std::vector<Unchanged>& conditions,
                      const std::vector<Operation>& operations, Deadline deadline) {
  json compare = json::array();
  for (const Unchanged& condition : conditions) {
    compare.push_back({{"key", Base64(condition.key)},
                       {"range_end", Base64(condition.rangeEnd)},
                       {"target", "MOD"},
                       {"result", "LESS"},
                       {"mod_revision", std::to_string(condition.modRevisionBelow)}});
  }
  json success = json::array();
  for (const Operation& operation : operations) {
    if (operation.kind == Operation::Kind::kPut) {
      success.push_back(
          {{"request_put",
            {{"key", Base64(operation.key)}, {"value", Base64(operation.valueOrRangeEnd)}}}});
    } else {
      json range = {{"key", Base64(operation.key)}};
      if (!operation.valueOrRangeEnd.empty())
        range["range_end"] = Base64(operation.valueOrRangeEnd);
      success.push_back({{"request_delete_range", range}});
    }
  }
  const json request = {{"compare", compare}, {"success", success}};
  const Reply reply = Post("/v3/kv/txn", request.dump(), deadline);
  try {
    return ReadTxnAnswer(reply.body);
  } catch (const std::exception& failure) {
    ALMANAC_THROW(ZQM_EException,
                  "etcd " + reply.endpoint + "/v3/kv/txn: unreadable answer: " + failure.what());
  }
}

WatchEnd Client::Watch(const std::string& key, const std::string& rangeEnd,
                       std::int64_t startRevision, const WatchCallbacks& callbacks) {
  const std::string check =
      json{{"key", Base64(key)}, {"range_end", Base64(rangeEnd)}, {"count_only", true}}.dump();
  const std::string create = json{{"create_request",
                                   {{"key", Base64(key)},
                                    {"range_end", Base64(rangeEnd)},
                                    {"start_revision", std::to_string(startRevision)}}}}
                                 .dump();
  const std::string progress = R"({"progress_request":{}})";
  WatchState watch;
  const WatchHandlers handlers{[&] { watch.created = true; }, callbacks.batch,
                               [&](std::int64_t) { watch.progressed = true; }};
  std::optional<MemberSelection::Answer> running;
  try {
    // One round: the caller pauses between rounds, and says when etcd is away.
    running = members_.Run(
        transport_, Clock::now(), [&](const std::string& endpoint, long timeoutMs, long& status) {
          watch.socket.reset();
          watch.created = watch.progressed = watch.compacted = false;
          watch.stream.reset();
          watch.stream.emplace(kMaxResponseBytes, handlers);
          Check(endpoint, check, timeoutMs, status);
          const Deadline until = After(timeoutMs);
          watch.socket = std::make_unique<WebSocket>(transport_, endpoint, "/v3/watch",
                                                     kMaxResponseBytes, until);
          watch.socket->Send(create, until);
          if (!AwaitMessages(watch, watch.created, until) && !watch.compacted)
            ALMANAC_THROW(ZQM_EException, "etcd " + endpoint + "/v3/watch: not created in time");
        });
    if (watch.compacted) return WatchEnd::kCompacted;
    if (callbacks.connected) callbacks.connected(running->endpoint);
    for (;;) {
      if (TakeMessagesUntil(watch, After(kCheckIntervalMs))) return WatchEnd::kCompacted;
      long status = 0;
      Check(running->endpoint, check, kMemberTimeoutMs, status);
      watch.progressed = false;
      const Deadline until = After(kMemberTimeoutMs);
      watch.socket->Send(progress, until);
      if (!AwaitMessages(watch, watch.progressed, until)) {
        if (watch.compacted) return WatchEnd::kCompacted;
        ALMANAC_THROW(ZQM_EException, "etcd " + running->endpoint +
                                          "/v3/watch: no progress within " +
                                          std::to_string(kMemberTimeoutMs) + " ms");
      }
      if (callbacks.confirmed) callbacks.confirmed();
    }
  } catch (const ZQ_EException&) {
    if (transport_.Interrupted()) return WatchEnd::kInterrupted;
    if (running) members_.Skip(running->member);
    throw;
  }
}

}  // namespace almanac::etcd
