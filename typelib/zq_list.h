// ZQ_TList: an ordered sequence of ZQ_TAny values.
#pragma once

#include <vector>

#include "typelib/zq_any.h"

class ZQ_TList : public ZQ_TObject,
                 public virtual ZQ_IPackable,
                 public virtual ZQ_IPrintable,
                 public virtual ZQ_IIteratable {
  ZQ_DECLARE_VALUE_CLASS(ZQ_TList)

 public:
  using ZQ_CastType = ZQ_TList;

  ZQ_TList() = default;
  ZQ_TList(const ZQ_TList& other) : ZQ_TObject(), elements_(other.elements_) {}
  ZQ_TList(ZQ_TList&& other) noexcept : ZQ_TObject(), elements_(std::move(other.elements_)) {}
  ZQ_TList& operator=(const ZQ_TList& other);
  ZQ_TList& operator=(ZQ_TList&& other) noexcept;

  std::size_t Count() const { return elements_.size(); }
  bool IsEmpty() const { return elements_.empty(); }
  // Element `index`; an index past the end throws ZQ_EException.
  const ZQ_TAny& operator[](std::size_t index) const;
  ZQ_TAny& operator[](std::size_t index);
  void Append(ZQ_TAny value) { elements_.push_back(std::move(value)); }
  // Whether an element is identical (same class, equal value) to `value`.
  bool Contains(const ZQ_TAny& value) const;
  void Clear() { elements_.clear(); }

  std::vector<ZQ_TAny>::const_iterator begin() const { return elements_.begin(); }
  std::vector<ZQ_TAny>::const_iterator end() const { return elements_.end(); }

  void ZQ_Pack(ZQ_IPacking& packer) const override;
  void ZQ_Unpack(ZQ_IUnpacking& unpacker) override;
  bool ZQ_IsIdent(const ZQ_IPackable& other) const override;
  void PrintOn(std::ostream& out) const override;
  std::size_t ZQ_IterCount() const override { return elements_.size(); }
  const ZQ_IPackable& ZQ_IterKey(std::size_t index, ZQ_TAny& scratch) const override;
  const ZQ_TAny& ZQ_IterValue(std::size_t index) const override { return elements_[index]; }

 private:
  std::vector<ZQ_TAny> elements_;
};
