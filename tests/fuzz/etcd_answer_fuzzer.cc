// Feeds arbitrary bytes to the readers of etcd's answers, as a member (or
// whatever answers at its address) might send them: the answer of a range
// read, of a transaction, an error answer, and a watch stream. Each must
// read the answer or throw a std::exception; anything else escaping, a
// crash, a sanitizer report or a hang is a finding.
//
// A watch stream arrives in pieces of any size: cut into pieces, the stream
// must give the same events and the same end as in one piece.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Almanac/Server/etcd_answers.h"

namespace {

using namespace almanac::etcd;

// Small enough that the fuzzer meets the bound of a message's size.
constexpr std::size_t kMaxMessage = 4096;

[[noreturn]] void Finding(const char* what) {
  std::fprintf(stderr, "etcd_answer_fuzzer: %s\n", what);
  std::abort();
}

// What a watch made of a stream: its events flattened, and how it ended.
struct Outcome {
  unsigned connected = 0;
  std::vector<std::string> events;
  bool ended = false;
  bool compacted = false;
  std::string problem;

  bool operator==(const Outcome&) const = default;
};

// The watch's outcome for `stream` cut into pieces of `piece` bytes.
Outcome Watch(std::string_view stream, std::size_t piece) {
  Outcome outcome;
  const std::function<void()> connected = [&] { ++outcome.connected; };
  const std::function<void(WatchBatch &&)> batch = [&](WatchBatch&& got) {
    for (const WatchEvent& event : got.events) {
      outcome.events.push_back(std::to_string(got.revision) + (event.deleted ? " - " : " + ") +
                               event.kv.key + "=" + event.kv.value + "@" +
                               std::to_string(event.kv.modRevision));
    }
  };
  WatchStream watch(kMaxMessage, connected, batch);
  for (std::size_t at = 0; at < stream.size() && !outcome.ended; at += piece) {
    const std::string_view part = stream.substr(at, piece);
    outcome.ended = !watch.Accept(part.data(), part.size());
  }
  outcome.compacted = watch.Compacted();
  outcome.problem = watch.Problem();
  return outcome;
}

template <class Read>
void ReadOrRefuse(Read read) {
  try {
    read();
  } catch (const std::exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses how the watch stream is cut; the rest is the answer.
  const std::size_t piece = 1 + data[0] % 64;
  const std::string_view answer(reinterpret_cast<const char*>(data + 1), size - 1);

  ReadOrRefuse([&] {
    const RangeResult range = ReadRangeAnswer(answer);
    for (const KeyValue& kv : range.kvs)
      if (Base64(kv.key).size() > answer.size()) Finding("a key longer than its answer allows");
  });
  ReadOrRefuse([&] { ReadTxnAnswer(answer); });
  if (ReadErrorMessage(answer).size() > std::max<std::size_t>(answer.size(), 200))
    Finding("an error message longer than its answer");

  if (!(Watch(answer, answer.size() + 1) == Watch(answer, piece)))
    Finding("the watch reads the stream differently when it comes in pieces");
  return 0;
}
