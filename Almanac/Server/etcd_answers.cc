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
// fourth). Deeper nesting is refused as it is read.
constexpr int kMaxDepth = 16;

// One scalar of an answer, as the parser met it.
struct Scalar {
  enum class Kind { kNull, kBool, kNumber, kText } kind = Kind::kNull;
  bool flag = false;
  std::int64_t number = 0;
  bool fits = true;  // a number that is an integer within std::int64_t
  std::string text;
};

// Where a scalar stands: its keys from the root joined by '.', each element
// of an array standing as '#' (".kvs.#.key").
using OnScalar = std::function<void(std::string_view path, Scalar& value)>;
// An object has ended, at `path`.
using OnEnd = std::function<void(std::string_view path)>;

// Hands the scalars of a JSON text to a reader with their paths, keeping
// nothing but the path itself (the parser's events, nlohmann::json_sax).
class PathReader {
 public:
  PathReader(const OnScalar& scalar, const OnEnd& ended) : scalar_(scalar), ended_(ended) {}

  bool null() { return Give(Scalar{}); }
  bool boolean(bool value) { return Give(Scalar{Scalar::Kind::kBool, value, 0, true, {}}); }
  bool number_integer(json::number_integer_t value) {
    return Give(Scalar{Scalar::Kind::kNumber, false, value, true, {}});
  }
  bool number_unsigned(json::number_unsigned_t value) {
    const bool fits = value <= static_cast<json::number_unsigned_t>(INT64_MAX);
    return Give(Scalar{Scalar::Kind::kNumber, false, static_cast<std::int64_t>(value), fits, {}});
  }
  bool number_float(json::number_float_t, const std::string&) {
    return Give(Scalar{Scalar::Kind::kNumber, false, 0, false, {}});
  }
  bool string(std::string& value) {
    return Give(Scalar{Scalar::Kind::kText, false, 0, true, std::move(value)});
  }
  bool binary(json::binary_t&) { return Give(Scalar{}); }
  bool start_object(std::size_t) { return Open(false); }
  bool start_array(std::size_t) { return Open(true); }
  bool key(std::string& key) {
    path_.resize(frames_.back().base);
    path_ += '.';
    path_ += key;
    return true;
  }
  bool end_object() {
    ended_(std::string_view(path_).substr(0, frames_.back().base));
    return Close();
  }
  bool end_array() { return Close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
    throw std::runtime_error(error.what());
  }

 private:
  struct Frame {
    bool array;
    std::size_t base;  // the length of the container's own path
  };

  // The path of the value that starts now: an array's element is '#'.
  void Enter() {
    if (frames_.empty() || !frames_.back().array) return;
    path_.resize(frames_.back().base);
    path_ += ".#";
  }
  bool Give(Scalar value) {
    Enter();
    scalar_(path_, value);
    return true;
  }
  bool Open(bool array) {
    if (frames_.size() >= kMaxDepth)
      throw std::runtime_error("nested deeper than " + std::to_string(kMaxDepth) + " levels");
    Enter();
    frames_.push_back({array, path_.size()});
    return true;
  }
  bool Close() {
    path_.resize(frames_.back().base);
    frames_.pop_back();
    return true;
  }

  const OnScalar& scalar_;
  const OnEnd& ended_;
  std::string path_;
  std::vector<Frame> frames_;
};

void ReadJson(std::string_view text, const OnScalar& scalar, const OnEnd& ended = {}) {
  const OnEnd none = [](std::string_view) {};
  PathReader reader(scalar, ended ? ended : none);
  json::sax_parse(text, &reader);
}

// The gateway writes 64-bit numbers as JSON strings.
std::int64_t Number(const Scalar& value, std::string_view field) {
  if (value.kind == Scalar::Kind::kNumber && value.fits) return value.number;
  std::int64_t number = 0;
  const std::string& text = value.text;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (value.kind != Scalar::Kind::kText || error != std::errc() ||
      end != text.data() + text.size()) {
    throw std::runtime_error(std::string(field) + " is not a number");
  }
  return number;
}

bool Flag(const Scalar& value, std::string_view field) {
  if (value.kind != Scalar::Kind::kBool)
    throw std::runtime_error(std::string(field) + " is not true or false");
  return value.flag;
}

std::string& Text(Scalar& value, std::string_view field) {
  if (value.kind != Scalar::Kind::kText)
    throw std::runtime_error(std::string(field) + " is not a text");
  return value.text;
}

// A field of a key-value pair (etcd's mvccpb.KeyValue); false when `field`
// is none of those read.
bool ReadKeyValueField(std::string_view field, Scalar& value, KeyValue& kv) {
  if (field == "key") {
    kv.key = FromBase64(Text(value, field), "a key");
  } else if (field == "value") {
    kv.value = FromBase64(Text(value, field), "a value");
  } else if (field == "mod_revision") {
    kv.modRevision = Number(value, field);
  } else {
    return false;
  }
  return true;
}

// Whether `path` starts with `prefix`; then `rest` is the remainder.
bool Below(std::string_view path, std::string_view prefix, std::string_view& rest) {
  if (!path.starts_with(prefix)) return false;
  rest = path.substr(prefix.size());
  return true;
}

// What one watch message says.
struct WatchMessage {
  bool error = false;
  std::string errorText;
  bool haveResult = false;
  bool haveHeader = false;
  std::int64_t revision = 0;
  bool created = false;
  bool canceled = false;
  std::int64_t compactRevision = 0;
  std::string cancelReason;
  WatchEvent event;  // the one being read
  WatchBatch batch;
};

void ReadWatchField(std::string_view path, Scalar& value, WatchMessage& message) {
  std::string_view field;
  if (path == ".error" || path == ".error.message") {
    message.error = true;
    message.errorText = value.kind == Scalar::Kind::kText ? value.text : "(not a text)";
    return;
  }
  if (path.starts_with(".error.")) {
    message.error = true;
    return;
  }
  if (!Below(path, ".result", field)) return;
  message.haveResult = true;
  if (field == ".header.revision") {
    message.haveHeader = true;
    message.revision = Number(value, "revision");
  } else if (field == ".created") {
    message.created = Flag(value, "created");
  } else if (field == ".canceled") {
    message.canceled = Flag(value, "canceled");
  } else if (field == ".compact_revision") {
    message.compactRevision = Number(value, "compact_revision");
  } else if (field == ".cancel_reason") {
    message.cancelReason = Text(value, "cancel_reason");
  } else if (field == ".events.#.type") {
    message.event.deleted = Text(value, "type") == "DELETE";
  } else if (Below(field, ".events.#.kv.", field)) {
    ReadKeyValueField(field, value, message.event.kv);
  }
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
  RangeResult result;
  bool haveHeader = false;
  KeyValue kv;
  const OnScalar scalar = [&](std::string_view path, Scalar& value) {
    std::string_view field;
    if (path == ".header.revision") {
      haveHeader = true;
      result.revision = Number(value, "revision");
    } else if (path == ".more") {
      result.more = Flag(value, "more");
    } else if (Below(path, ".kvs.#.", field)) {
      ReadKeyValueField(field, value, kv);
    }
  };
  const OnEnd ended = [&](std::string_view path) {
    if (path == ".kvs.#") result.kvs.push_back(std::exchange(kv, {}));
  };
  ReadJson(answer, scalar, ended);
  if (!haveHeader) throw std::runtime_error("the answer has no header revision");
  return result;
}

TxnResult ReadTxnAnswer(std::string_view answer) {
  TxnResult result;
  bool haveHeader = false;
  ReadJson(answer, [&](std::string_view path, Scalar& value) {
    if (path == ".succeeded") result.succeeded = Flag(value, "succeeded");
    if (path == ".header.revision") {
      haveHeader = true;
      result.revision = Number(value, "revision");
    }
  });
  if (!haveHeader) throw std::runtime_error("the answer has no header revision");
  return result;
}

std::string ReadErrorMessage(std::string_view body) {
  std::string message;
  try {
    ReadJson(body, [&](std::string_view path, Scalar& value) {
      if (path == ".message" && value.kind == Scalar::Kind::kText) message = std::move(value.text);
    });
    if (!message.empty()) return message;
  } catch (const std::exception&) {
  }
  return std::string(body.substr(0, 200));
}

WatchStream::WatchStream(std::size_t maxMessageBytes, WatchHandlers handlers)
    : maxMessageBytes_(maxMessageBytes), handlers_(std::move(handlers)) {}

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

bool WatchStream::Message(std::string_view text) {
  if (text.find_first_not_of(" \r\t") == std::string::npos) return true;
  WatchMessage message;
  const OnScalar scalar = [&](std::string_view path, Scalar& value) {
    ReadWatchField(path, value, message);
  };
  const OnEnd ended = [&](std::string_view path) {
    if (path != ".result.events.#") return;
    message.batch.revision = std::max(message.batch.revision, message.event.kv.modRevision);
    message.batch.events.push_back(std::exchange(message.event, {}));
  };
  ReadJson(text, scalar, ended);
  if (message.error) {
    problem_ = "the watch failed: " + message.errorText;
    return false;
  }
  if (!message.haveResult) throw std::runtime_error("a message with neither result nor error");
  if (message.canceled) {
    compacted_ = message.compactRevision != 0;
    problem_ = "etcd cancelled the watch: " + message.cancelReason;
    return false;
  }
  if (message.created && handlers_.connected) handlers_.connected();
  if (message.batch.events.empty()) {
    if (!message.created && message.haveHeader && handlers_.progress)
      handlers_.progress(message.revision);
    return true;
  }
  if (!message.haveHeader) throw std::runtime_error("events without a header revision");
  if (handlers_.batch) handlers_.batch(std::move(message.batch));
  return true;
}

}  // namespace almanac::etcd
