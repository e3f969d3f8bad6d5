#include "typelib/zq_packing.h"

#include <array>
#include <cstring>
#include <iterator>

#include "typelib/zq_boxes.h"
#include "typelib/zq_dict.h"
#include "typelib/zq_exception.h"
#include "typelib/zq_list.h"
#include "typelib/zq_string.h"
#include "typelib/zq_tree.h"

namespace {

constexpr std::uint8_t kEmptyTag = 0;
constexpr std::uint8_t kNamedTag = 0xFF;
constexpr std::uint8_t kBeginSection = 0xB5;
constexpr std::uint8_t kEndSection = 0xE5;

// The classes that travel most get a one-byte tag instead of their name.
// Tags are part of the wire format: append, never reorder.
const char* const kBuiltinClasses[] = {
    nullptr,    "ZQ_TString", "ZQ_TBool", "ZQ_TUInt16",    "ZQ_TUInt32",
    "ZQ_TList", "ZQ_TDict",   "ZQ_TTree", "ZQ_EException",
};
constexpr std::size_t kBuiltinCount = std::size(kBuiltinClasses);

std::uint8_t BuiltinTag(const char* className) {
  for (std::size_t tag = 1; tag < kBuiltinCount; ++tag) {
    if (std::strcmp(kBuiltinClasses[tag], className) == 0) return static_cast<std::uint8_t>(tag);
  }
  return kNamedTag;
}

// The class objects of the builtin tags, looked up once the library's classes
// are registered: a value with a tag then costs no look-up by name.
const ZQ_TClass* BuiltinClass(std::uint8_t tag) {
  static const auto classes = [] {
    std::array<const ZQ_TClass*, kBuiltinCount> found{};
    for (std::size_t t = 1; t < kBuiltinCount; ++t)
      found[t] = ZQ_TClass::Find(kBuiltinClasses[t]);
    return found;
  }();
  return classes[tag];
}

const ZQ_TAny* AsAny(const ZQ_IPackable& value) {
  return static_cast<const ZQ_TAny*>(value.ZQ_DynamicInfo("ZQ_TAny"));
}

}  // namespace

void ZQ_RegisterLibraryClasses() {
  static const bool registered = [] {
    ZQ_TString::ZQ_ClassObject();
    ZQ_TBool::ZQ_ClassObject();
    ZQ_TUInt16::ZQ_ClassObject();
    ZQ_TUInt32::ZQ_ClassObject();
    ZQ_TList::ZQ_ClassObject();
    ZQ_TDict::ZQ_ClassObject();
    ZQ_TTree::ZQ_ClassObject();
    ZQ_TAny::ZQ_ClassObject();
    ZQ_EException::ZQ_ClassObject();
    ZQ_EBadCast::ZQ_ClassObject();
    ZQ_EMalformed::ZQ_ClassObject();
    return true;
  }();
  (void)registered;
}

// ---- packer ----

void ZQ_TBinaryPacker::BeginClass(const char* className) {
  out_ += static_cast<char>(kBeginSection);
  PackText(className);
}

void ZQ_TBinaryPacker::EndClass(const char*) {
  out_ += static_cast<char>(kEndSection);
}

void ZQ_TBinaryPacker::PackBool(bool value) {
  out_ += static_cast<char>(value ? 1 : 0);
}

void ZQ_TBinaryPacker::PackUInt(std::uint64_t value) {
  while (value >= 0x80) {
    out_ += static_cast<char>((value & 0x7F) | 0x80);
    value >>= 7;
  }
  out_ += static_cast<char>(value);
}

void ZQ_TBinaryPacker::PackText(std::string_view text) {
  PackUInt(text.size());
  out_.append(text);
}

void ZQ_TBinaryPacker::PackValue(const ZQ_IPackable* value) {
  if (value != nullptr) {
    if (const ZQ_TAny* any = AsAny(*value)) value = any->Value();
  }
  if (value == nullptr) {
    out_ += static_cast<char>(kEmptyTag);
    return;
  }
  const char* className = value->ZQ_PackTypeID();
  const std::uint8_t tag = BuiltinTag(className);
  out_ += static_cast<char>(tag);
  if (tag == kNamedTag) PackText(className);
  value->ZQ_Pack(*this);
}

// ---- unpacker ----

void ZQ_TBinaryUnpacker::Fail(const std::string& what) const {
  failed_ = true;
  ZQ_EMalformed malformed(ZQ_TString::Format("malformed packed data: %s at byte %d of %d", what,
                                             offset_, data_.size()));
  ZQ_THROW_AT(malformed, __FILE__, __LINE__);
}

std::uint8_t ZQ_TBinaryUnpacker::ReadByte(const char* what) {
  if (offset_ >= data_.size()) Fail(std::string("truncated data, expected ") + what);
  return static_cast<std::uint8_t>(data_[offset_++]);
}

void ZQ_TBinaryUnpacker::BeginClass(const char* className) {
  if (ReadByte("a class section") != kBeginSection) {
    --offset_;
    Fail(std::string("expected the section of class ") + className);
  }
  const std::size_t at = offset_;
  const std::string name = UnpackText("section name");
  if (name != className) {
    offset_ = at;
    Fail("section of class \"" + name + "\" where class " + className + " was expected");
  }
}

void ZQ_TBinaryUnpacker::EndClass(const char* className) {
  if (ReadByte("the end of a class section") != kEndSection) {
    --offset_;
    Fail(std::string("expected the end of the section of class ") + className);
  }
}

bool ZQ_TBinaryUnpacker::UnpackBool(const char* what) {
  itemAt_ = offset_;
  const std::uint8_t byte = ReadByte(what);
  if (byte > 1) {
    --offset_;
    Fail(std::string("invalid ") + what + " byte " + std::to_string(byte));
  }
  return byte == 1;
}

std::uint64_t ZQ_TBinaryUnpacker::UnpackUInt(std::uint64_t max, const char* what) {
  const std::size_t at = offset_;
  itemAt_ = at;
  std::uint64_t value = 0;
  for (unsigned shift = 0;; shift += 7) {
    const std::uint8_t byte = ReadByte(what);
    if (shift == 63 && byte > 1) {
      offset_ = at;
      Fail(std::string(what) + " longer than 64 bits");
    }
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) break;
  }
  if (value > max) {
    offset_ = at;
    Fail(std::string(what) + " " + std::to_string(value) + " exceeds " + std::to_string(max));
  }
  return value;
}

std::string ZQ_TBinaryUnpacker::UnpackText(const char* what) {
  const std::size_t at = offset_;
  const std::uint64_t length = UnpackUInt(UINT64_MAX, what);
  const std::size_t left = data_.size() - offset_;
  if (length > left) {
    offset_ = at;
    Fail(std::string(what) + " of " + std::to_string(length) + " bytes, only " +
         std::to_string(left) + " left");
  }
  std::string text(data_.substr(offset_, length));
  offset_ += length;
  return text;
}

std::size_t ZQ_TBinaryUnpacker::UnpackCount(const char* what) {
  const std::size_t at = offset_;
  const std::uint64_t count = UnpackUInt(UINT64_MAX, what);
  // Every element takes at least one byte, so a count beyond the bytes left
  // is a lie; refusing it here keeps allocations bounded by the input.
  const std::size_t left = data_.size() - offset_;
  if (count > left) {
    offset_ = at;
    Fail(std::string(what) + " " + std::to_string(count) + " exceeds the " + std::to_string(left) +
         " bytes left");
  }
  return static_cast<std::size_t>(count);
}

std::unique_ptr<ZQ_IPackable> ZQ_TBinaryUnpacker::UnpackValue() {
  ZQ_RegisterLibraryClasses();
  const std::size_t at = offset_;
  const std::uint8_t tag = ReadByte("a value");
  // Empty values count too: one byte of input each, but a ZQ_TAny in memory.
  if (++values_ > kMaxValues) {
    offset_ = at;
    Fail("more than " + std::to_string(kMaxValues) + " values");
  }
  if (tag == kEmptyTag) return nullptr;
  std::string className;
  if (tag == kNamedTag) {
    className = UnpackText("class name");
    // The registry is asked by C string: "ZQ_TString\0junk" must not pass
    // for a ZQ_TString.
    if (className.find('\0') != std::string::npos) {
      offset_ = at;
      Fail("class name with a NUL byte");
    }
  } else if (tag >= kBuiltinCount) {
    offset_ = at;
    Fail("unknown value tag " + std::to_string(tag));
  }
  if (depth_ >= kMaxDepth) {
    offset_ = at;
    Fail("values nested deeper than " + std::to_string(kMaxDepth) + " levels");
  }
  const char* const name = tag == kNamedTag ? className.c_str() : kBuiltinClasses[tag];
  const ZQ_TClass* classObject = tag == kNamedTag ? ZQ_TClass::Find(name) : BuiltinClass(tag);
  std::unique_ptr<ZQ_TObject> object(classObject ? classObject->CreateObject() : nullptr);
  auto* packable = object ? PackablePart(classObject, object.get()) : nullptr;
  if (packable == nullptr) {
    offset_ = at;
    Fail(std::string("unknown or unpackable class \"") + name + "\"");
  }
  object.release();
  std::unique_ptr<ZQ_IPackable> value(packable);
  ++depth_;
  try {
    value->ZQ_Unpack(*this);
  } catch (const ZQ_EException& fault) {
    --depth_;
    // A class that finds its data inconsistent (a repeated key, say) cannot
    // tell where in the data it is; the item it read last is the culprit.
    if (!failed_) {
      offset_ = itemAt_;
      Fail(fault.ZQ_Message().Text());
    }
    throw;
  } catch (...) {
    --depth_;
    throw;
  }
  --depth_;
  // A packed ZQ_TAny stands for the value it holds.
  if (auto* any = const_cast<ZQ_TAny*>(AsAny(*value))) return any->Release();
  return value;
}

ZQ_IPackable* ZQ_TBinaryUnpacker::PackablePart(const ZQ_TClass* classObject, ZQ_TObject* object) {
  // A class object makes objects of one type, so the part lies at the same
  // distance in each of them.
  auto* base = reinterpret_cast<char*>(object);
  for (std::size_t i = 0; i < knownPartCount_; ++i) {
    if (knownParts_[i].classObject == classObject)
      return reinterpret_cast<ZQ_IPackable*>(base + knownParts_[i].offset);
  }
  auto* packable = dynamic_cast<ZQ_IPackable*>(object);
  if (packable != nullptr && knownPartCount_ < knownParts_.size())
    knownParts_[knownPartCount_++] = {classObject, reinterpret_cast<char*>(packable) - base};
  return packable;
}

void ZQ_TBinaryUnpacker::ExpectEnd() const {
  if (offset_ != data_.size()) {
    Fail(std::to_string(data_.size() - offset_) + " trailing bytes after the value");
  }
}

std::string ZQ_PackValue(const ZQ_IPackable* value) {
  std::string out;
  ZQ_TBinaryPacker packer(out);
  packer.PackValue(value);
  return out;
}

ZQ_TAny ZQ_UnpackValue(std::string_view data) {
  ZQ_TBinaryUnpacker unpacker(data);
  ZQ_TAny value(unpacker.UnpackValue());
  unpacker.ExpectEnd();
  return value;
}
