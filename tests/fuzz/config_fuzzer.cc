// Feeds arbitrary text to the configuration server's file reader and to
// `almanac --check`. Any text must either become a tree or be refused with
// a ZQ_EException "<file>:<line>:<column>: <reason>" whose position lies in
// the text; the checker must then say the same and end with its summary.
//
// A tree that is accepted must survive packing (clients receive it so),
// and every key position the reader notes must point at the key's opening
// quote, where the checker's messages send the reader.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "Almanac/Server/config_check.h"
#include "Almanac/Server/config_file.h"

namespace {

const std::string kName = "fleet.json";

[[noreturn]] void Finding(const char* what, const std::string& detail) {
  std::fprintf(stderr, "config_fuzzer: %s\n%s\n", what, detail.c_str());
  std::abort();
}

// The number at the start of `text`, which it then leaves; nullopt when
// `text` does not start with a digit.
std::optional<unsigned long> TakeNumber(std::string_view& text) {
  std::size_t digits = 0;
  unsigned long value = 0;
  while (digits < text.size() && digits < 9 && text[digits] >= '0' && text[digits] <= '9')
    value = value * 10 + static_cast<unsigned long>(text[digits++] - '0');
  text.remove_prefix(digits);
  return digits == 0 ? std::nullopt : std::optional(value);
}

// Whether `message` starts "<kName>:<line>:<column>: " with a position that
// the text has: a line it has, a column of at most the text's length + 1.
bool NamesAPlaceIn(std::string_view message, std::string_view text) {
  if (message.substr(0, kName.size() + 1) != kName + ":") return false;
  message.remove_prefix(kName.size() + 1);
  const auto line = TakeNumber(message);
  if (!line || message.substr(0, 1) != ":") return false;
  message.remove_prefix(1);
  const auto column = TakeNumber(message);
  if (!column || message.substr(0, 2) != ": ") return false;
  unsigned long lines = 1;
  for (const char c : text)
    lines += c == '\n';
  return *line >= 1 && *line <= lines && *column >= 1 && *column <= text.size() + 1;
}

void CheckAccepted(std::string_view text, const ZQ_TTree& tree, const almanac::KeyOffsets& keys) {
  const std::string packed = ZQ_PackValue(&tree);
  const ZQ_TAny again = ZQ_UnpackValue(packed);
  if (!again.ZQ_IsIdent(ZQ_TAny(tree))) Finding("the tree does not survive packing", packed);
  for (const auto& [path, offset] : keys) {
    if (offset >= text.size() || text[offset] != '"')
      Finding("a key position is not its opening quote", path + " at " + std::to_string(offset));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string refusal;
  try {
    almanac::KeyOffsets keys;
    const ZQ_TTree tree = almanac::ParseConfigText(text, kName, keys);
    CheckAccepted(text, tree, keys);
  } catch (const ZQ_EException& e) {
    refusal = e.ZQ_Message().Text();
    if (!NamesAPlaceIn(refusal, text)) Finding("a refusal without a place in the text", refusal);
  }

  std::ostringstream out;
  const int status = almanac::CheckConfigText(text, kName, out);
  const std::string report = out.str();
  if (!refusal.empty() && (status == 0 || report.find(": error: ") == std::string::npos))
    Finding("the checker passes what the reader refuses", report);
  if (report.empty() || report.back() != '\n' ||
      report.compare(report.rfind('\n', report.size() - 2) + 1, kName.size() + 2, kName + ": ") !=
          0)
    Finding("the checker's report does not end with its summary", report);
  return 0;
}
