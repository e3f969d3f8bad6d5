// Packing: how values become bytes and back.
//
// ZQ_IPacking and ZQ_IUnpacking are the two sides that a packable class
// talks to in ZQ_Pack / ZQ_Unpack. A class writes its fields in order and
// reads them back in the same order; BeginClass / EndClass bracket the part
// that belongs to one class of a hierarchy (a derived class wraps its base's
// part in a section named after the base).
//
// ZQ_TBinaryPacker / ZQ_TBinaryUnpacker implement them in a compact binary
// format:
//   unsigned   LEB128 varint (at most 10 bytes)
//   bool       one byte, 0 or 1
//   text       varint byte length, then the UTF-8 bytes
//   count      varint
//   value      one tag byte: 0 empty, 1..8 one of the library's classes
//              (see kBuiltinClasses in the .cc), 0xFF a class named by a
//              following text; then the class's own packing
//   section    0xB5 and the class name as text ... 0xE5
// Packed input is untrusted: the unpacker checks every length against the
// bytes left, bounds nesting depth and the number of values, and reports any
// fault as ZQ_EMalformed naming what was read and the byte offset.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "typelib/zq_any.h"
#include "typelib/zq_object.h"

class ZQ_IPacking {
 public:
  virtual ~ZQ_IPacking() = default;
  virtual void BeginClass(const char* className) = 0;
  virtual void EndClass(const char* className) = 0;
  virtual void PackBool(bool value) = 0;
  virtual void PackUInt(std::uint64_t value) = 0;
  virtual void PackText(std::string_view text) = 0;
  virtual void PackCount(std::size_t count) = 0;
  // A value with its class identity; null packs the empty value.
  virtual void PackValue(const ZQ_IPackable* value) = 0;
};

class ZQ_IUnpacking {
 public:
  virtual ~ZQ_IUnpacking() = default;
  // Both check that the data holds the section of `className` here.
  virtual void BeginClass(const char* className) = 0;
  virtual void EndClass(const char* className) = 0;
  virtual bool UnpackBool(const char* what) = 0;
  // Fails when the value exceeds `max`.
  virtual std::uint64_t UnpackUInt(std::uint64_t max, const char* what) = 0;
  virtual std::string UnpackText(const char* what) = 0;
  // A count of elements that follow; fails when the remaining data cannot
  // hold that many.
  virtual std::size_t UnpackCount(const char* what) = 0;
  // A value rebuilt through the class registry; null for the empty value.
  virtual std::unique_ptr<ZQ_IPackable> UnpackValue() = 0;
};

class ZQ_TBinaryPacker : public ZQ_IPacking {
 public:
  // Appends to `out`, which must outlive the packer.
  explicit ZQ_TBinaryPacker(std::string& out) : out_(out) {}

  void BeginClass(const char* className) override;
  void EndClass(const char* className) override;
  void PackBool(bool value) override;
  void PackUInt(std::uint64_t value) override;
  void PackText(std::string_view text) override;
  void PackCount(std::size_t count) override { PackUInt(count); }
  void PackValue(const ZQ_IPackable* value) override;

 private:
  std::string& out_;
};

class ZQ_TBinaryUnpacker : public ZQ_IUnpacking {
 public:
  static constexpr unsigned kMaxDepth = 64;
  static constexpr std::size_t kMaxValues = 1'000'000;

  // Reads from `data`, which must outlive the unpacker.
  explicit ZQ_TBinaryUnpacker(std::string_view data) : data_(data) {}

  void BeginClass(const char* className) override;
  void EndClass(const char* className) override;
  bool UnpackBool(const char* what) override;
  std::uint64_t UnpackUInt(std::uint64_t max, const char* what) override;
  std::string UnpackText(const char* what) override;
  std::size_t UnpackCount(const char* what) override;
  std::unique_ptr<ZQ_IPackable> UnpackValue() override;

  std::size_t Offset() const { return offset_; }
  // Throws ZQ_EMalformed unless every byte has been read.
  void ExpectEnd() const;

 private:
  [[noreturn]] void Fail(const std::string& what) const;
  std::uint8_t ReadByte(const char* what);
  // `object`, made by `classObject`, as a ZQ_IPackable; nullptr if it is none.
  ZQ_IPackable* PackablePart(const ZQ_TClass* classObject, ZQ_TObject* object);

  // Where the objects of the classes met so far keep their ZQ_IPackable part:
  // a message of thousands of values holds a handful of classes, and a
  // cross-cast costs a walk of the class's bases with a comparison of names.
  struct KnownPart {
    const ZQ_TClass* classObject = nullptr;
    std::ptrdiff_t offset = 0;
  };
  std::array<KnownPart, 8> knownParts_{};
  std::size_t knownPartCount_ = 0;

  std::string_view data_;
  std::size_t offset_ = 0;
  std::size_t itemAt_ = 0;  // where the last number or text read began
  unsigned depth_ = 0;
  std::size_t values_ = 0;
  mutable bool failed_ = false;  // a fault has been reported with its offset
};

// One value to bytes and back. ZQ_UnpackValue throws ZQ_EMalformed for any
// fault, including bytes left over after the value.
std::string ZQ_PackValue(const ZQ_IPackable* value);
ZQ_TAny ZQ_UnpackValue(std::string_view data);

// Makes sure the library's own classes are in the registry, so that
// unpacking can rebuild them. Cheap after the first call.
void ZQ_RegisterLibraryClasses();
