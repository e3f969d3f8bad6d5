// Feeds arbitrary bytes to the unpacker. Packed values arrive from other
// processes, so any input must either unpack or fail with a ZQ_EException
// that says what is wrong and where; a crash, a sanitizer report, a foreign
// exception or a hang is a finding.
//
// A value that does unpack must survive the round trip: packing it and
// unpacking the result gives an identical value, and packing that again
// gives the same bytes. (The input itself need not come back byte for byte:
// the unpacker accepts a built-in class spelled by name, which the packer
// writes as a tag.)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "typelib/dodived.h"

namespace {

[[noreturn]] void Finding(const char* what, const std::string& detail) {
  std::fprintf(stderr, "unpack_fuzzer: %s\n%s\n", what, detail.c_str());
  std::abort();
}

std::string Describe(const ZQ_EException& e) {
  std::ostringstream out;
  e.PrintOn(out);
  return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  ZQ_TAny value;
  try {
    value = ZQ_UnpackValue(input);
  } catch (const ZQ_EException& e) {
    // Whoever gets this message has nothing else to find the fault by.
    if (e.ZQ_Message().Text().find(" at byte ") == std::string::npos) {
      Finding("rejection without a byte offset", Describe(e));
    }
    return 0;
  }

  // Printing walks the whole value; it must cope with whatever was accepted.
  std::ostringstream printed;
  value.PrintOn(printed);

  const std::string packed = ZQ_PackValue(&value);
  ZQ_TAny again;
  try {
    again = ZQ_UnpackValue(packed);
  } catch (const ZQ_EException& e) {
    Finding("the packing of an accepted value does not unpack", Describe(e));
  }
  if (!again.ZQ_IsIdent(value)) Finding("round trip changed the value", printed.str());
  if (ZQ_PackValue(&again) != packed) Finding("round trip changed the packing", printed.str());
  return 0;
}
