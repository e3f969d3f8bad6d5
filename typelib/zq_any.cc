#include "typelib/zq_any.h"

#include <cstring>
#include <ostream>

#include "typelib/zq_boxes.h"
#include "typelib/zq_exception.h"
#include "typelib/zq_packing.h"
#include "typelib/zq_string.h"

ZQ_IMPLEMENT_VALUE_CLASS(ZQ_TAny)

namespace {

const ZQ_TAny* AsAny(const ZQ_IPackable& value) {
  return static_cast<const ZQ_TAny*>(value.ZQ_DynamicInfo("ZQ_TAny"));
}

}  // namespace

ZQ_TAny::ZQ_TAny(const ZQ_IPackable& value) {
  if (const ZQ_TAny* any = AsAny(value)) {
    if (any->value_) value_.reset(any->value_->ZQ_Clone());
  } else {
    value_.reset(value.ZQ_Clone());
  }
}

ZQ_TAny::ZQ_TAny(ZQ_IPackable&& value) {
  if (auto* any = const_cast<ZQ_TAny*>(AsAny(value))) {
    value_ = std::move(any->value_);
  } else {
    value_.reset(value.ZQ_Move(nullptr));
  }
}

ZQ_TAny::ZQ_TAny(std::unique_ptr<ZQ_IPackable> value) : value_(std::move(value)) {
  // Never nest: an any given here hands over its own value.
  if (value_ != nullptr) {
    if (auto* any = const_cast<ZQ_TAny*>(AsAny(*value_))) value_ = std::move(any->value_);
  }
}

ZQ_TAny::ZQ_TAny(bool value) : value_(new ZQ_TBool(value)) {}

ZQ_TAny::ZQ_TAny(unsigned int value) : value_(new ZQ_TUInt32(value)) {}

ZQ_TAny::ZQ_TAny(int value) {
  if (value < 0) {
    ZQ_EException negative(ZQ_TString::Format("ZQ_TAny: %d is not an unsigned number", value));
    ZQ_THROW_AT(negative, __FILE__, __LINE__);
  }
  value_.reset(new ZQ_TUInt32(static_cast<unsigned>(value)));
}

ZQ_TAny::ZQ_TAny(const char* text) : value_(new ZQ_TString(text)) {}

ZQ_TAny::ZQ_TAny(const ZQ_TAny& other)
    : ZQ_TObject(), value_(other.value_ ? other.value_->ZQ_Clone() : nullptr) {}

ZQ_TAny::ZQ_TAny(ZQ_TAny&& other) noexcept : ZQ_TObject(), value_(std::move(other.value_)) {}

ZQ_TAny& ZQ_TAny::operator=(const ZQ_TAny& other) {
  if (this != &other) value_.reset(other.value_ ? other.value_->ZQ_Clone() : nullptr);
  return *this;
}

ZQ_TAny& ZQ_TAny::operator=(ZQ_TAny&& other) noexcept {
  value_ = std::move(other.value_);
  return *this;
}

bool ZQ_TAny::HasSuperclass(const char* className) const {
  if (className == nullptr) return false;
  if (std::strcmp(className, "ZQ_TAny") == 0 || std::strcmp(className, "ZQ_TObject") == 0) {
    return true;
  }
  return value_ != nullptr && value_->HasSuperclass(className);
}

void* ZQ_TAny::ZQ_Cast(const char* className) const {
  if (className != nullptr && std::strcmp(className, "ZQ_TAny") == 0) {
    return const_cast<ZQ_TAny*>(this);
  }
  return value_ != nullptr ? value_->ZQ_Cast(className) : nullptr;
}

void ZQ_TAny::ZQ_Pack(ZQ_IPacking& packer) const { packer.PackValue(value_.get()); }

void ZQ_TAny::ZQ_Unpack(ZQ_IUnpacking& unpacker) { value_ = unpacker.UnpackValue(); }

bool ZQ_TAny::ZQ_IsIdent(const ZQ_IPackable& other) const {
  const ZQ_IPackable* otherValue = &other;
  if (const ZQ_TAny* any = AsAny(other)) otherValue = any->value_.get();
  if (value_ == nullptr || otherValue == nullptr) return value_ == nullptr && otherValue == nullptr;
  return value_->ZQ_IsIdent(*otherValue);
}

void ZQ_TAny::PrintOn(std::ostream& out) const {
  const auto* printable =
      value_ ? static_cast<const ZQ_IPrintable*>(value_->ZQ_DynamicInfo("ZQ_IPrintable")) : nullptr;
  if (printable != nullptr) {
    printable->PrintOn(out);
  } else {
    out << (value_ ? value_->ClassName() : "<empty>");
  }
}

const char* ZQ_TAny::HeldClassName() const { return value_ ? value_->ClassName() : "<empty>"; }

void ZQ_PrintElement(std::ostream& out, const ZQ_TAny& value) {
  if (const ZQ_TString* text = value.As<ZQ_TString>()) {
    out << '"' << text->Text() << '"';
  } else {
    value.PrintOn(out);
  }
}
