#include "typelib/zq_list.h"

#include <ostream>

#include "typelib/zq_boxes.h"
#include "typelib/zq_exception.h"
#include "typelib/zq_packing.h"

ZQ_IMPLEMENT_VALUE_CLASS(ZQ_TList)

ZQ_TList& ZQ_TList::operator=(const ZQ_TList& other) {
  // `other` may be held by one of our own elements (list = list[0]...):
  // copy it whole before any element is overwritten.
  std::vector<ZQ_TAny> copy(other.elements_);
  elements_ = std::move(copy);
  return *this;
}

ZQ_TList& ZQ_TList::operator=(ZQ_TList&& other) noexcept {
  elements_ = std::move(other.elements_);
  return *this;
}

namespace {

[[noreturn]] void ThrowOutOfRange(std::size_t index, std::size_t count) {
  ZQ_EException outOfRange(
      ZQ_TString::Format("ZQ_TList: index %d out of range (%d elements)", index, count));
  ZQ_THROW_AT(outOfRange, __FILE__, __LINE__);
}

}  // namespace

const ZQ_TAny& ZQ_TList::operator[](std::size_t index) const {
  if (index >= elements_.size()) ThrowOutOfRange(index, elements_.size());
  return elements_[index];
}

ZQ_TAny& ZQ_TList::operator[](std::size_t index) {
  if (index >= elements_.size()) ThrowOutOfRange(index, elements_.size());
  return elements_[index];
}

bool ZQ_TList::Contains(const ZQ_TAny& value) const {
  for (const ZQ_TAny& element : elements_) {
    if (element.ZQ_IsIdent(value)) return true;
  }
  return false;
}

void ZQ_TList::ZQ_Pack(ZQ_IPacking& packer) const {
  packer.PackCount(elements_.size());
  for (const ZQ_TAny& element : elements_)
    packer.PackValue(element.Value());
}

void ZQ_TList::ZQ_Unpack(ZQ_IUnpacking& unpacker) {
  elements_.clear();
  const std::size_t count = unpacker.UnpackCount("list length");
  for (std::size_t i = 0; i < count; ++i)
    elements_.emplace_back(unpacker.UnpackValue());
}

bool ZQ_TList::ZQ_IsIdent(const ZQ_IPackable& other) const {
  const auto* list = static_cast<const ZQ_TList*>(other.ZQ_DynamicInfo("ZQ_TList"));
  if (list == nullptr || list->elements_.size() != elements_.size()) return false;
  for (std::size_t i = 0; i < elements_.size(); ++i) {
    if (!elements_[i].ZQ_IsIdent(list->elements_[i])) return false;
  }
  return true;
}

void ZQ_TList::PrintOn(std::ostream& out) const {
  out << '[';
  for (std::size_t i = 0; i < elements_.size(); ++i) {
    if (i > 0) out << ", ";
    ZQ_PrintElement(out, elements_[i]);
  }
  out << ']';
}

const ZQ_IPackable& ZQ_TList::ZQ_IterKey(std::size_t index, ZQ_TAny& scratch) const {
  scratch = ZQ_TAny(static_cast<unsigned>(index));
  return *scratch.Value();
}
