#include "Almanac/Server/etcd_answers.h"

#include <sodium.h>

#include <charconv>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>

namespace almanac::etcd {
namespace {

using nlohmann::json;

// etcd's answers nest a few levels (a watch event's fields are at the
// fourth). Deeper nesting is refused while it is read: each level costs the
// parser some 40 bytes for every byte of "[[[[", and printing a value
// recurses once per level.
constexpr int kMaxDepth = 16;

json Parse(std::string_view text) {
  return json::parse(text, [](int depth, json::parse_event_t, json&) {
    if (depth > kMaxDepth)
      throw std::runtime_error("nested deeper than " + std::to_string(kMaxDepth) + " levels");
    return true;
  });
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

}  // namespace

std::string Base64(std::string_view bytes) {
  std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                    bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  text.resize(text.size() - 1);  // the terminating zero
  return text;
}

std::string FromBase64(std::string_view text, const char* what) {
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

RangeResult ReadRangeAnswer(std::string_view answer) {
  const json response = Parse(answer);
  RangeResult result;
  result.revision = Number(response.at("header"), "revision");
  if (const auto kvs = response.find("kvs"); kvs != response.end()) {
    for (const json& kv : *kvs)
      result.kvs.push_back(ReadKeyValue(kv));
  }
  result.more = response.value("more", false);
  return result;
}

TxnResult ReadTxnAnswer(std::string_view answer) {
  const json response = Parse(answer);
  return {response.value("succeeded", false), Number(response.at("header"), "revision")};
}

std::string ReadErrorMessage(std::string_view body) {
  try {
    const json answer = Parse(body);
    if (answer.is_object()) {
      const std::string message = Text(answer, "message");
      if (!message.empty()) return message;
    }
  } catch (const std::exception&) {
  }
  return std::string(body.substr(0, 200));
}

WatchStream::WatchStream(std::size_t maxMessageBytes, const std::function<void()>& connected,
                         const std::function<void(WatchBatch&&)>& batch)
    : maxMessageBytes_(maxMessageBytes), connected_(connected), batch_(batch) {}

bool WatchStream::Accept(const char* data, std::size_t size) {
  try {
    for (std::size_t i = 0; i < size; ++i) {
      if (data[i] != '\n') {
        if (line_.size() >= maxMessageBytes_) {
          problem_ = "a watch message larger than " + std::to_string(maxMessageBytes_) + " bytes";
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

bool WatchStream::Message(const std::string& text) {
  if (text.find_first_not_of(" \r\t") == std::string::npos) return true;
  const json message = Parse(text);
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

}  // namespace almanac::etcd
