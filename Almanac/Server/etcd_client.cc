#include "Almanac/Server/etcd_client.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "Almanac/Server/almanac_errors.h"

namespace almanac::etcd {
namespace {

using nlohmann::json;

// A read or a transaction of a configuration takes milliseconds.
constexpr long kRequestTimeoutMs = 15000;

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

Client::Client(std::vector<std::string> endpoints) : members_(std::move(endpoints)) {}

std::string Client::Post(const std::string& path, const std::string& body) {
  std::string answer;
  bool tooLarge = false;
  const Transport::Sink sink = [&](const char* data, std::size_t size) {
    tooLarge = answer.size() + size > kMaxResponseBytes;
    if (!tooLarge) answer.append(data, size);
    return !tooLarge;
  };
  const auto answered =
      members_.FirstToAnswer(transport_, [&](const std::string& endpoint, long& status) {
        answer.clear();
        tooLarge = false;
        transport_.Post(endpoint + path, body, kRequestTimeoutMs, sink, status);
      });
  const std::string where = "etcd " + answered.endpoint + path;
  if (tooLarge) {
    ALMANAC_THROW(ZQM_EException, where + ": the answer is larger than " +
                                      std::to_string(kMaxResponseBytes) + " bytes");
  }
  if (answered.status != 200) {
    ALMANAC_THROW(ZQM_EException, where + " refused (HTTP " + std::to_string(answered.status) +
                                      "): " + ReadErrorMessage(answer));
  }
  return answer;
}

RangeResult Client::Range(const std::string& key, const std::string& rangeEnd, bool keysOnly) {
  json request = {{"key", Base64(key)}, {"range_end", Base64(rangeEnd)}};
  if (keysOnly) request["keys_only"] = true;
  const std::string answer = Post("/v3/kv/range", request.dump());
  RangeResult result;
  try {
    result = ReadRangeAnswer(answer);
  } catch (const std::exception& failure) {
    ALMANAC_THROW(ZQM_EException, "etcd " + members_.Current() +
                                      "/v3/kv/range: unreadable answer: " + failure.what());
  }
  if (result.more) {
    ALMANAC_THROW(ZQM_EException,
                  "etcd " + members_.Current() + "/v3/kv/range answered only part of the range");
  }
  return result;
}

TxnResult Client::Txn(const std::vector<Unchanged>& conditions,
                      const std::vector<Operation>& operations) {
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
  const std::string answer = Post("/v3/kv/txn", request.dump());
  try {
    return ReadTxnAnswer(answer);
  } catch (const std::exception& failure) {
    ALMANAC_THROW(ZQM_EException, "etcd " + members_.Current() +
                                      "/v3/kv/txn: unreadable answer: " + failure.what());
  }
}

WatchEnd Client::Watch(const std::string& key, const std::string& rangeEnd,
                       std::int64_t startRevision, const std::function<void()>& connected,
                       const std::function<void(WatchBatch&&)>& batch) {
  const json request = {{"create_request",
                         {{"key", Base64(key)},
                          {"range_end", Base64(rangeEnd)},
                          {"start_revision", std::to_string(startRevision)}}}};
  const std::string body = request.dump();
  std::optional<WatchStream> stream;
  const Transport::Sink sink = [&stream](const char* data, std::size_t size) {
    return stream->Accept(data, size);
  };
  std::optional<MemberSelection::Answer> answered;
  try {
    answered = members_.FirstToAnswer(transport_, [&](const std::string& endpoint, long& status) {
      stream.emplace(kMaxResponseBytes, connected, batch);
      transport_.Post(endpoint + "/v3/watch", body, 0, sink, status);
    });
  } catch (const ZQ_EException&) {
    if (transport_.Interrupted()) return WatchEnd::kInterrupted;
    throw;
  }
  if (stream->Compacted()) return WatchEnd::kCompacted;
  const std::string where = "etcd " + answered->endpoint + "/v3/watch";
  if (answered->status != 200) {
    ALMANAC_THROW(ZQM_EException,
                  where + " refused (HTTP " + std::to_string(answered->status) + ")");
  }
  ALMANAC_THROW(
      ZQM_EException,
      where + ": " + (stream->Problem().empty() ? "the stream ended" : stream->Problem()));
}

}  // namespace almanac::etcd
