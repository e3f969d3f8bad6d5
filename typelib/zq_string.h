// ZQ_TString: the library's text value.
//
// Text is held as UTF-8. Wide input (wchar_t, UTF-32 on Linux; char16_t,
// UTF-16) is converted on construction, so a narrow and a wide spelling of
// the same text give equal strings. Equality is case-sensitive and byte-wise:
// server names, paths and keys on this platform are case-sensitive, as file
// names are.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "typelib/zq_object.h"

class ZQ_TFormatArg;

class ZQ_TString : public ZQ_TObject, public virtual ZQ_IPackable, public virtual ZQ_IPrintable {
  ZQ_DECLARE_VALUE_CLASS(ZQ_TString)

 public:
  using ZQ_CastType = ZQ_TString;

  ZQ_TString() = default;
  // `length` -1: up to the terminator; otherwise that many characters. A null
  // pointer gives the empty string.
  ZQ_TString(const char* text, int length = -1);
  ZQ_TString(const wchar_t* text, int length = -1);
  ZQ_TString(const char16_t* text, int length = -1);
  ZQ_TString(std::string text) : text_(std::move(text)) {}
  ZQ_TString(std::string_view text) : text_(text) {}
  ZQ_TString(const ZQ_TString& other) : ZQ_TObject(), text_(other.text_) {}
  ZQ_TString(ZQ_TString&& other) noexcept : ZQ_TObject(), text_(std::move(other.text_)) {}

  ZQ_TString& operator=(const ZQ_TString& other);
  ZQ_TString& operator=(ZQ_TString&& other) noexcept;
  ZQ_TString& operator=(const char* text);

  ZQ_TString operator+(const ZQ_TString& other) const;
  ZQ_TString operator+(const char* text) const;

  bool operator==(const ZQ_TString& other) const { return text_ == other.text_; }
  bool operator==(const char* text) const;
  bool operator==(const wchar_t* text) const;
  bool operator<(const ZQ_TString& other) const { return text_ < other.text_; }

  const char* c_str() const { return text_.c_str(); }
  const std::string& Text() const { return text_; }
  std::size_t Length() const { return text_.size(); }
  bool IsEmpty() const { return text_.empty(); }

  // printf-like formatting of %s (any text) and %d (any integer, printed as
  // the value of its own type), %u as %d, and %% for a percent sign. A
  // conversion without a matching argument, an argument of the wrong kind,
  // an unknown conversion or a surplus argument throws ZQ_EException: a
  // format is a programming error, never silently wrong text.
  template <class... Args>
  static ZQ_TString Format(const char* format, const Args&... args);

  static const ZQ_TString sEmpty;

  void ZQ_Pack(ZQ_IPacking& packer) const override;
  void ZQ_Unpack(ZQ_IUnpacking& unpacker) override;
  bool ZQ_IsIdent(const ZQ_IPackable& other) const override;
  void PrintOn(std::ostream& out) const override;

 private:
  static ZQ_TString FormatArgs(const char* format, const ZQ_TFormatArg* args, std::size_t count);

  std::string text_;
};

ZQ_TString operator+(const char* text, const ZQ_TString& string);

// One argument of ZQ_TString::Format.
class ZQ_TFormatArg {
 public:
  enum class Kind { kText, kSigned, kUnsigned };

  ZQ_TFormatArg(const char* text) : kind_(Kind::kText), text_(text ? text : "(null)") {}
  ZQ_TFormatArg(const ZQ_TString& text) : kind_(Kind::kText), text_(text.Text()) {}
  ZQ_TFormatArg(const std::string& text) : kind_(Kind::kText), text_(text) {}
  ZQ_TFormatArg(std::string_view text) : kind_(Kind::kText), text_(text) {}
  template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
  ZQ_TFormatArg(T value)
      : kind_(std::is_signed_v<T> ? Kind::kSigned : Kind::kUnsigned),
        signed_(static_cast<std::int64_t>(value)),
        unsigned_(static_cast<std::uint64_t>(value)) {}

  Kind kind() const { return kind_; }
  std::string_view text() const { return text_; }
  std::int64_t signedValue() const { return signed_; }
  std::uint64_t unsignedValue() const { return unsigned_; }

 private:
  Kind kind_;
  std::string_view text_;
  std::int64_t signed_ = 0;
  std::uint64_t unsigned_ = 0;
};

template <class... Args>
ZQ_TString ZQ_TString::Format(const char* format, const Args&... args) {
  const std::array<ZQ_TFormatArg, sizeof...(Args)> list{ZQ_TFormatArg(args)...};
  return FormatArgs(format, list.data(), list.size());
}

// UTF conversions used by the string and by wide dictionary and tree keys.
std::string ZQ_WideToUtf8(const wchar_t* text, int length = -1);
std::string ZQ_Utf16ToUtf8(const char16_t* text, int length = -1);
