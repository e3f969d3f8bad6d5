#include "typelib/zq_boxes.h"

#include <cstring>
#include <limits>
#include <ostream>

#include "typelib/zq_packing.h"

ZQ_IMPLEMENT_VALUE_CLASS(ZQ_TBool)
ZQ_IMPLEMENT_VALUE_CLASS(ZQ_TUInt16)
ZQ_IMPLEMENT_VALUE_CLASS(ZQ_TUInt32)

template <class Self, class T>
void* ZQ_TBox<Self, T>::ZQ_Cast(const char* className) const {
  // A checked cast to the box's own class yields the plain value.
  if (className != nullptr && std::strcmp(className, Self::ZQ_ClassName()) == 0) {
    return const_cast<T*>(&value_);
  }
  return this->ZQ_DynamicInfo(className);
}

template <class Self, class T>
bool ZQ_TBox<Self, T>::ZQ_IsIdent(const ZQ_IPackable& other) const {
  const auto* box = static_cast<const Self*>(other.ZQ_DynamicInfo(Self::ZQ_ClassName()));
  return box != nullptr && box->value_ == value_;
}

template <class Self, class T>
void ZQ_TBox<Self, T>::ZQ_Pack(ZQ_IPacking& packer) const {
  if constexpr (std::is_same_v<T, bool>) {
    packer.PackBool(value_);
  } else {
    packer.PackUInt(value_);
  }
}

template <class Self, class T>
void ZQ_TBox<Self, T>::ZQ_Unpack(ZQ_IUnpacking& unpacker) {
  if constexpr (std::is_same_v<T, bool>) {
    value_ = unpacker.UnpackBool(Self::ZQ_ClassName());
  } else {
    value_ = static_cast<T>(unpacker.UnpackUInt(std::numeric_limits<T>::max(), Self::ZQ_ClassName()));
  }
}

template <class Self, class T>
void ZQ_TBox<Self, T>::PrintOn(std::ostream& out) const {
  if constexpr (std::is_same_v<T, bool>) {
    out << (value_ ? "true" : "false");
  } else {
    out << static_cast<unsigned long>(value_);
  }
}

template class ZQ_TBox<ZQ_TBool, bool>;
template class ZQ_TBox<ZQ_TUInt16, std::uint16_t>;
template class ZQ_TBox<ZQ_TUInt32, std::uint32_t>;
