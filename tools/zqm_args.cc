#include "tools/zqm_args.h"

#include <cstdio>
#include <limits>

namespace {

[[noreturn]] void Refuse(const std::string& word, const char* why) {
  ZQ_EException refused(ZQ_TString::Format("argument \"%s\": %s", word, why));
  ZQ_THROW_AT(refused, __FILE__, __LINE__);
}

bool IsNumber(const std::string& text) {
  return !text.empty() && text.size() <= 20 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

unsigned long long Number(const std::string& word, const std::string& text,
                          unsigned long long max) {
  if (!IsNumber(text)) Refuse(word, "not a number");
  const unsigned long long value = std::stoull(text);
  if (value > max) Refuse(word, "number out of range");
  return value;
}

bool Truth(const std::string& word, const std::string& text) {
  if (text == "true") return true;
  if (text == "false") return false;
  Refuse(word, "expected true or false");
}

}  // namespace

ZQ_TAny ParseArgument(const std::string& word) {
  const std::size_t colon = word.find(':');
  const std::string type = colon == std::string::npos ? "" : word.substr(0, colon);
  const std::string text = colon == std::string::npos ? word : word.substr(colon + 1);
  if (type == "str") return ZQ_TAny(ZQ_TString(text));
  if (type == "u32")
    return ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(Number(word, text, 0xFFFFFFFFull))));
  if (type == "u16")
    return ZQ_TAny(ZQ_TUInt16(static_cast<std::uint16_t>(Number(word, text, 0xFFFFull))));
  if (type == "bool") return ZQ_TAny(Truth(word, text));
  if (word == "empty") return ZQ_TAny();
  if (word == "true" || word == "false") return ZQ_TAny(word == "true");
  if (IsNumber(word) && std::stoull(word) <= 0xFFFFFFFFull) {
    return ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(std::stoull(word))));
  }
  return ZQ_TAny(ZQ_TString(word));
}

std::string FormatUptime(long long seconds) {
  if (seconds < 0) seconds = 0;
  const long long days = seconds / 86400;
  char text[64];
  if (days > 0) {
    std::snprintf(text, sizeof text, "%lldd %02lld:%02lld:%02lld", days, seconds % 86400 / 3600,
                  seconds % 3600 / 60, seconds % 60);
  } else {
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", seconds / 3600, seconds % 3600 / 60,
                  seconds % 60);
  }
  return text;
}
