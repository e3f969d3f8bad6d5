// ZQ_TConstIterator: walks a list, dictionary or tree in its order.
//
//   for (ZQ_TConstIterator it(tree); !it.IsDone(); it++) { it.Key(); it.Value(); }
//
// The container must outlive the iterator and must not change meanwhile.
#pragma once

#include "typelib/zq_any.h"
#include "typelib/zq_object.h"

class ZQ_TConstIterator {
 public:
  explicit ZQ_TConstIterator(const ZQ_IIteratable& container) : container_(&container) {}

  bool IsDone() const { return index_ >= container_->ZQ_IterCount(); }
  // The current key: a ZQ_TString for dictionaries and trees, the index as a
  // ZQ_TUInt32 for lists. Past the end throws ZQ_EException.
  const ZQ_IPackable& Key() const;
  const ZQ_TAny& Value() const;
  ZQ_TConstIterator operator++(int) {
    ZQ_TConstIterator before = *this;
    ++index_;
    return before;
  }
  ZQ_TConstIterator& operator++() {
    ++index_;
    return *this;
  }

 private:
  void CheckNotDone() const;

  const ZQ_IIteratable* container_;
  std::size_t index_ = 0;
  mutable ZQ_TAny scratch_;
};
