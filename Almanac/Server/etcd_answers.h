// What etcd's JSON gateway answers, read into values: the answers of
// /v3/kv/range and /v3/kv/txn, the messages of a watch stream, and the
// text of an error answer. Keys and values travel in base64; the gateway
// writes 64-bit numbers as JSON strings, and leaves out fields whose value
// is zero, false or empty.
//
// Answers are read event by event (no document tree is built), so that an
// answer costs little more memory than the keys and values it holds, and
// nesting deeper than a few levels is refused as it is met. These
// functions know nothing of members, transfers or sizes: the client
// (etcd_client.h) bounds an answer before it hands it over. An answer they
// cannot read throws a std::exception (std::runtime_error or the JSON
// parser's own) saying what is wrong; nothing else escapes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace almanac::etcd {

struct KeyValue {
  std::string key;
  std::string value;
  std::int64_t modRevision = 0;
};

struct RangeResult {
  std::int64_t revision = 0;  // the store's revision the result shows
  std::vector<KeyValue> kvs;
  bool more = false;  // etcd left keys of the range out
};

struct TxnResult {
  bool succeeded = false;  // the conditions held and the operations ran
  std::int64_t revision = 0;
};

struct WatchEvent {
  bool deleted = false;
  KeyValue kv;  // value empty when deleted
};

// What one message of a watch reports: the events of one revision.
struct WatchBatch {
  // The highest revision of the events: every change up to it has been
  // delivered. (The message's own header may name a later revision of the
  // store, whose events may still be on their way.)
  std::int64_t revision = 0;
  std::vector<WatchEvent> events;
};

// `bytes` in standard base64, with padding.
std::string Base64(std::string_view bytes);
// The bytes that `text` encodes; throws when it is not base64 (`what`
// names it in the message).
std::string FromBase64(std::string_view text, const char* what);

RangeResult ReadRangeAnswer(std::string_view answer);
TxnResult ReadTxnAnswer(std::string_view answer);

// What etcd says in an error answer ({"error": ..., "message": ..., "code":
// ...}); the first 200 bytes of `body` when it says nothing readable. Never
// throws.
std::string ReadErrorMessage(std::string_view body);

// What a watch stream reports besides events.
struct WatchHandlers {
  std::function<void()> connected;             // etcd established the watch
  std::function<void(WatchBatch&&)> batch;     // the events of a revision
  std::function<void(std::int64_t)> progress;  // a message without events: the store's revision
};

// Splits a watch stream, as it arrives, into its messages (one JSON object a
// line), and reads each, handing what it reports to the handlers.
class WatchStream {
 public:
  // A message longer than `maxMessageBytes` ends the stream.
  WatchStream(std::size_t maxMessageBytes, WatchHandlers handlers);
  WatchStream(std::size_t maxMessageBytes, const std::function<void()>& connected,
              const std::function<void(WatchBatch&&)>& batch)
      : WatchStream(maxMessageBytes, WatchHandlers{connected, batch, {}}) {}

  // Takes the next piece of the stream; false when the stream must end
  // (Problem says why). Whatever the bytes, a false is the worst outcome.
  bool Accept(const char* data, std::size_t size);

  // Whether etcd cancelled the watch because its start revision is gone.
  bool Compacted() const { return compacted_; }
  const std::string& Problem() const { return problem_; }

 private:
  bool Message(std::string_view text);  // false ends the stream

  const std::size_t maxMessageBytes_;
  WatchHandlers handlers_;
  std::string line_;
  std::string problem_;
  bool compacted_ = false;
};

}  // namespace almanac::etcd
