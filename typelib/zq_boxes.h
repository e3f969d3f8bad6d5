// The boxes: packable wrappers of a plain bool, 16-bit or 32-bit unsigned
// value. A checked cast of a box (or of a ZQ_TAny holding one) yields the
// plain value, so callers write
//   uint16_t instance = value.DynamicCast<ZQ_TUInt16>(file, line);
#pragma once

#include <cstdint>

#include "typelib/zq_object.h"

template <class Self, class T>
class ZQ_TBox : public ZQ_TObject, public virtual ZQ_IPackable, public virtual ZQ_IPrintable {
 public:
  using ZQ_CastType = T;

  ZQ_TBox() = default;
  ZQ_TBox(T value) : value_(value) {}

  T Value() const { return value_; }
  operator T() const { return value_; }
  Self& operator=(T value) {
    value_ = value;
    return static_cast<Self&>(*this);
  }

  void* ZQ_Cast(const char* className) const override;
  bool ZQ_IsIdent(const ZQ_IPackable& other) const override;
  void ZQ_Pack(ZQ_IPacking& packer) const override;
  void ZQ_Unpack(ZQ_IUnpacking& unpacker) override;
  void PrintOn(std::ostream& out) const override;

 protected:
  T value_{};
};

class ZQ_TBool : public ZQ_TBox<ZQ_TBool, bool> {
  ZQ_DECLARE_VALUE_CLASS(ZQ_TBool)
 public:
  using ZQ_TBox::ZQ_TBox;
  using ZQ_TBox::operator=;
};

class ZQ_TUInt16 : public ZQ_TBox<ZQ_TUInt16, std::uint16_t> {
  ZQ_DECLARE_VALUE_CLASS(ZQ_TUInt16)
 public:
  using ZQ_TBox::ZQ_TBox;
  using ZQ_TBox::operator=;
};

class ZQ_TUInt32 : public ZQ_TBox<ZQ_TUInt32, std::uint32_t> {
  ZQ_DECLARE_VALUE_CLASS(ZQ_TUInt32)
 public:
  using ZQ_TBox::ZQ_TBox;
  using ZQ_TBox::operator=;
};
