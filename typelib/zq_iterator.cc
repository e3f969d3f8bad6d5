#include "typelib/zq_iterator.h"

#include "typelib/zq_exception.h"

void ZQ_TConstIterator::CheckNotDone() const {
  if (!IsDone()) return;
  ZQ_EException done(ZQ_TString("ZQ_TConstIterator: read past the end"));
  ZQ_THROW_AT(done, __FILE__, __LINE__);
}

const ZQ_IPackable& ZQ_TConstIterator::Key() const {
  CheckNotDone();
  return container_->ZQ_IterKey(index_, scratch_);
}

const ZQ_TAny& ZQ_TConstIterator::Value() const {
  CheckNotDone();
  return container_->ZQ_IterValue(index_);
}
