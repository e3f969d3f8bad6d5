#include "typelib/zq_string.h"

#include <cstring>
#include <ostream>

#include "typelib/zq_exception.h"
#include "typelib/zq_packing.h"

ZQ_IMPLEMENT_VALUE_CLASS(ZQ_TString)

const ZQ_TString ZQ_TString::sEmpty;

namespace {

void AppendUtf8(std::string& out, char32_t code) {
  if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

template <class Char>
std::size_t MeasuredLength(const Char* text, int length) {
  if (text == nullptr) return 0;
  if (length >= 0) return static_cast<std::size_t>(length);
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace

std::string ZQ_WideToUtf8(const wchar_t* text, int length) {
  if constexpr (sizeof(wchar_t) == 2) {
    return ZQ_Utf16ToUtf8(reinterpret_cast<const char16_t*>(text), length);
  } else {
    std::string out;
    const std::size_t n = MeasuredLength(text, length);
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) AppendUtf8(out, static_cast<char32_t>(text[i]));
    return out;
  }
}

std::string ZQ_Utf16ToUtf8(const char16_t* text, int length) {
  std::string out;
  const std::size_t n = MeasuredLength(text, length);
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(out, unit);
  }
  return out;
}

ZQ_TString::ZQ_TString(const char* text, int length) {
  if (text != nullptr) text_.assign(text, MeasuredLength(text, length));
}

ZQ_TString::ZQ_TString(const wchar_t* text, int length) : text_(ZQ_WideToUtf8(text, length)) {}

ZQ_TString::ZQ_TString(const char16_t* text, int length) : text_(ZQ_Utf16ToUtf8(text, length)) {}

ZQ_TString& ZQ_TString::operator=(const ZQ_TString& other) {
  text_ = other.text_;
  return *this;
}

ZQ_TString& ZQ_TString::operator=(ZQ_TString&& other) noexcept {
  text_ = std::move(other.text_);
  return *this;
}

ZQ_TString& ZQ_TString::operator=(const char* text) {
  text_ = text != nullptr ? text : "";
  return *this;
}

ZQ_TString ZQ_TString::operator+(const ZQ_TString& other) const { return ZQ_TString(text_ + other.text_); }

ZQ_TString ZQ_TString::operator+(const char* text) const {
  return ZQ_TString(text_ + (text != nullptr ? text : ""));
}

ZQ_TString operator+(const char* text, const ZQ_TString& string) {
  return ZQ_TString(std::string(text != nullptr ? text : "") + string.Text());
}

bool ZQ_TString::operator==(const char* text) const {
  return text_ == std::string_view(text != nullptr ? text : "");
}

bool ZQ_TString::operator==(const wchar_t* text) const { return text_ == ZQ_WideToUtf8(text); }

void ZQ_TString::ZQ_Pack(ZQ_IPacking& packer) const { packer.PackText(text_); }

void ZQ_TString::ZQ_Unpack(ZQ_IUnpacking& unpacker) { text_ = unpacker.UnpackText("string"); }

bool ZQ_TString::ZQ_IsIdent(const ZQ_IPackable& other) const {
  const auto* string = static_cast<const ZQ_TString*>(other.ZQ_DynamicInfo("ZQ_TString"));
  return string != nullptr && string->text_ == text_;
}

void ZQ_TString::PrintOn(std::ostream& out) const { out << text_; }

namespace {

[[noreturn]] void FormatFault(const char* format, const char* what) {
  ZQ_EException fault(ZQ_TString("Format(\"") + format + "\"): " + what);
  ZQ_THROW_AT(fault, __FILE__, __LINE__);
}

void AppendArg(std::string& out, const char* format, char conversion, const ZQ_TFormatArg& arg) {
  using Kind = ZQ_TFormatArg::Kind;
  if (conversion == 's') {
    if (arg.kind() != Kind::kText) FormatFault(format, "%s given a number");
    out += arg.text();
  } else {
    if (arg.kind() == Kind::kText) FormatFault(format, "%d given a text");
    out += arg.kind() == Kind::kSigned ? std::to_string(arg.signedValue())
                                       : std::to_string(arg.unsignedValue());
  }
}

}  // namespace

ZQ_TString ZQ_TString::FormatArgs(const char* format, const ZQ_TFormatArg* args,
                                  std::size_t count) {
  if (format == nullptr) FormatFault("(null)", "no format");
  std::string out;
  std::size_t used = 0;
  for (const char* p = format; *p != 0; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    const char conversion = *++p;
    if (conversion == '%') {
      out += '%';
    } else if (conversion == 's' || conversion == 'd' || conversion == 'u') {
      if (used == count) FormatFault(format, "too few arguments");
      AppendArg(out, format, conversion, args[used++]);
    } else {
      FormatFault(format, conversion == 0 ? "ends in %" : "unknown conversion");
    }
  }
  if (used != count) FormatFault(format, "too many arguments");
  return ZQ_TString(std::move(out));
}
