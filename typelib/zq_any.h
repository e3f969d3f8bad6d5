// ZQ_TAny: holds one packable value, or nothing. Every RPC argument and
// result is one. A ZQ_TAny is transparent to class questions: HasSuperclass
// and checked casts answer for the value it holds (a cast to "ZQ_TAny"
// yields the ZQ_TAny itself).
#pragma once

#include <memory>

#include "typelib/zq_object.h"

class ZQ_TAny : public ZQ_TObject, public virtual ZQ_IPackable, public virtual ZQ_IPrintable {
  ZQ_DECLARE_VALUE_CLASS(ZQ_TAny)

 public:
  using ZQ_CastType = ZQ_TAny;

  ZQ_TAny() = default;
  // A copy of `value` (a ZQ_TAny given here is copied, not nested).
  ZQ_TAny(const ZQ_IPackable& value);
  // Takes over `value`'s content.
  ZQ_TAny(ZQ_IPackable&& value);
  // Takes ownership; null gives an empty ZQ_TAny.
  explicit ZQ_TAny(std::unique_ptr<ZQ_IPackable> value);
  ZQ_TAny(bool value);               // a ZQ_TBool
  ZQ_TAny(unsigned int value);       // a ZQ_TUInt32
  ZQ_TAny(int value);                // a ZQ_TUInt32; a negative value throws ZQ_EException
  ZQ_TAny(const char* text);         // a ZQ_TString
  ZQ_TAny(const void*) = delete;     // no pointer may turn into a bool
  ZQ_TAny(const ZQ_TAny& other);
  ZQ_TAny(ZQ_TAny&& other) noexcept;
  ZQ_TAny& operator=(const ZQ_TAny& other);
  ZQ_TAny& operator=(ZQ_TAny&& other) noexcept;

  bool IsEmpty() const { return value_ == nullptr; }
  const ZQ_IPackable* Value() const { return value_.get(); }
  ZQ_IPackable* Value() { return value_.get(); }
  std::unique_ptr<ZQ_IPackable> Release() { return std::move(value_); }

  // The held value as T, or null when empty or of another class.
  template <class T>
  const T* As() const {
    return value_ ? static_cast<const T*>(value_->ZQ_DynamicInfo(T::ZQ_ClassName())) : nullptr;
  }

  bool HasSuperclass(const char* className) const override;
  void* ZQ_Cast(const char* className) const override;
  void ZQ_Pack(ZQ_IPacking& packer) const override;
  void ZQ_Unpack(ZQ_IUnpacking& unpacker) override;
  bool ZQ_IsIdent(const ZQ_IPackable& other) const override;
  // The held value as it prints, or "<empty>".
  void PrintOn(std::ostream& out) const override;

  // The class name of the held value, or "<empty>"; used in error messages.
  const char* HeldClassName() const;

 private:
  std::unique_ptr<ZQ_IPackable> value_;
};

// Prints `value` the way containers show their elements: texts quoted.
void ZQ_PrintElement(std::ostream& out, const ZQ_TAny& value);
