#include "Almanac/Server/etcd_client.h"

#include <sodium.h>

#include <charconv>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <utility>

#include "Almanac/Server/almanac_errors.h"

namespace almanac::etcd {
namespace {

using nlohmann::json;

// A read or a transaction of a configuration takes milliseconds.
constexpr long kRequestTimeoutMs = 15000;

std::string Base64(const std::string& bytes) {
  std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                    bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  text.resize(text.size() - 1);  // the terminating zero
  return text;
}

std::string FromBase64(const std::string& text, const char* what) {
  std::string bytes(text.size() / 4 * 3 + 3, '\0');
  std::size_t length = 0;
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                        text.size(), nullptr, &length, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    throw std::runtime_error(std::string(what) + " is not base64");
  }
  bytes.resize(length);
  return bytes;
}

// The gateway writes 64-bit numbers as JSON strings; an absent field is 0.
std::int64_t Number(const json& object, const char* field) {
  const auto found = object.find(field);
  if (found == object.end()) return 0;
  if (found->is_number_integer()) return found->get<std::int64_t>();
  const std::string& text = found->get_ref<const std::string&>();
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    throw std::runtime_error(std::string(field) + " \"" + text + "\" is not a number");
  }
  return value;
}

std::string Text(const json& object, const char* field) {
  const auto found = object.find(field);
  return found == object.end() ? std::string() : found->get<std::string>();
}

KeyValue ReadKeyValue(const json& kv) {
  return {FromBase64(Text(kv, "key"), "a key"), FromBase64(Text(kv, "value"), "a value"),
          Number(kv, "mod_revision")};
}

// What etcd says in an error answer ({"error": ..., "message": ..., "code": ...}).
std::string ErrorMessage(const std::string& body) {
  try {
    const json answer = json::parse(body);
    if (answer.is_object()) {
      const std::string message = Text(answer, "message");
      if (!message.empty()) return message;
    }
  } catch (const std::exception&) {
  }
  return body.substr(0, 200);
}

// Splits a watch stream into its messages, one JSON object a line.
class WatchStream {
 public:
  WatchStream(const std::function<void()>& connected,
              const std::function<void(WatchBatch&&)>& batch)
      : connected_(connected), batch_(batch) {}

  bool Accept(const char* data, std::size_t size) {
    try {
      for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != '\n') {
          if (line_.size() >= kMaxResponseBytes) {
            problem_ =
                "a watch message larger than " + std::to_string(kMaxResponseBytes) + " bytes";
            return false;
          }
          line_ += data[i];
          continue;
        }
        if (!Message(line_)) return false;
        line_.clear();
      }
      return true;
    } catch (const std::exception& failure) {
      problem_ = std::string("an unreadable watch message: ") + failure.what();
      return false;
    }
  }

  bool Compacted() const { return compacted_; }
  const std::string& Problem() const { return problem_; }

 private:
  // False ends the stream.
  bool Message(const std::string& text) {
    if (text.find_first_not_of(" \r\t") == std::string::npos) return true;
    const json message = json::parse(text);
    if (const auto error = message.find("error"); error != message.end()) {
      problem_ =
          "the watch failed: " + (error->is_object() ? Text(*error, "message") : error->dump());
      return false;
    }
    const json& result = message.at("result");
    if (result.value("canceled", false)) {
      compacted_ = Number(result, "compact_revision") != 0;
      problem_ = "etcd cancelled the watch: " + Text(result, "cancel_reason");
      return false;
    }
    if (result.value("created", false)) connected_();
    const auto events = result.find("events");
    if (events == result.end() || events->empty()) return true;
    WatchBatch batch;
    batch.revision = Number(result.at("header"), "revision");
    for (const json& event : *events) {
      WatchEvent change;
      change.deleted = Text(event, "type") == "DELETE";
      change.kv = ReadKeyValue(event.at("kv"));
      batch.events.push_back(std::move(change));
    }
    batch_(std::move(batch));
    return true;
  }

  const std::function<void()>& connected_;
  const std::function<void(WatchBatch&&)>& batch_;
  std::string line_;
  std::string problem_;
  bool compacted_ = false;
};

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
                                      "): " + ErrorMessage(answer));
  }
  return answer;
}

RangeResult Client::Range(const std::string& key, const std::string& rangeEnd, bool keysOnly) {
  json request = {{"key", Base64(key)}, {"range_end", Base64(rangeEnd)}};
  if (keysOnly) request["keys_only"] = true;
  const std::string answer = Post("/v3/kv/range", request.dump());
  try {
    const json response = json::parse(answer);
    RangeResult result;
    result.revision = Number(response.at("header"), "revision");
    if (const auto kvs = response.find("kvs"); kvs != response.end()) {
      for (const json& kv : *kvs)
        result.kvs.push_back(ReadKeyValue(kv));
    }
    if (response.value("more", false)) {
      ALMANAC_THROW(ZQM_EException,
                    "etcd " + members_.Current() + "/v3/kv/range answered only part of the range");
    }
    return result;
  } catch (const std::exception& failure) {
    ALMANAC_THROW(ZQM_EException, "etcd " + members_.Current() +
                                      "/v3/kv/range: unreadable answer: " + failure.what());
  }
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
    const json response = json::parse(answer);
    return {response.value("succeeded", false), Number(response.at("header"), "revision")};
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
      stream.emplace(connected, batch);
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
