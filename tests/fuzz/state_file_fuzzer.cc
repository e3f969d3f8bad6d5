// Feeds arbitrary bytes to the daemon's state file reader, as a damaged or
// planted file would hold them. Any content must give entries or none, with
// `problem` saying why when none could be read; a crash, a sanitizer report,
// an exception escaping or a hang is a finding.
//
// What the reader accepts must come back unchanged through the writer, so
// that a restarted daemon saves what it adopted and nothing else.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "zqmd/state_file.h"

namespace {

[[noreturn]] void Finding(const char* what) {
  std::fprintf(stderr, "state_file_fuzzer: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string problem;
  const std::vector<zqmd::SavedInstance> loaded = zqmd::DecodeState(bytes, "state", problem);
  if (!problem.empty() && !loaded.empty()) Finding("entries despite a problem");
  std::string markProblem;
  const std::vector<zqmd::OperatorDown> marks =
      zqmd::DecodeOperatorDown(bytes, "state", markProblem);

  std::string again;
  const std::string written = zqmd::EncodeState(loaded, marks);
  const std::vector<zqmd::SavedInstance> reloaded = zqmd::DecodeState(written, "state", again);
  if (!again.empty()) Finding("the writer's file does not read back");
  if (reloaded != loaded) Finding("entries changed through the writer");
  if (zqmd::DecodeOperatorDown(written, "state", again) != marks) {
    Finding("operator marks changed through the writer");
  }
  return 0;
}
