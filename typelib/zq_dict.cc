#include "typelib/zq_dict.h"

#include <algorithm>
#include <ostream>

#include "typelib/zq_exception.h"
#include "typelib/zq_packing.h"

ZQ_IMPLEMENT_VALUE_CLASS(ZQ_TDict)

ZQ_TDict& ZQ_TDict::operator=(const ZQ_TDict& other) {
  // `other` may be held by one of our own values: copy it whole first.
  std::vector<Entry> copy(other.entries_);
  entries_ = std::move(copy);
  return *this;
}

ZQ_TDict& ZQ_TDict::operator=(ZQ_TDict&& other) noexcept {
  entries_ = std::move(other.entries_);
  return *this;
}

std::vector<ZQ_TDict::Entry>::const_iterator ZQ_TDict::LowerBound(const std::string& key) const {
  return std::lower_bound(
      entries_.begin(), entries_.end(), key,
      [](const Entry& entry, const std::string& k) { return entry.first.Text() < k; });
}

const ZQ_TAny* ZQ_TDict::Find(const ZQ_TString& key) const {
  auto found = LowerBound(key.Text());
  return found != entries_.end() && found->first == key ? &found->second : nullptr;
}

ZQ_TAny* ZQ_TDict::Find(const ZQ_TString& key) {
  return const_cast<ZQ_TAny*>(static_cast<const ZQ_TDict*>(this)->Find(key));
}

const ZQ_TAny& ZQ_TDict::operator[](const ZQ_TString& key) const {
  if (const ZQ_TAny* value = Find(key)) return *value;
  ZQ_EException missing(ZQ_TString::Format("ZQ_TDict: no entry \"%s\"", key));
  ZQ_THROW_AT(missing, __FILE__, __LINE__);
}

void ZQ_TDict::Set(const ZQ_TString& key, ZQ_TAny value) {
  auto at = entries_.begin() + (LowerBound(key.Text()) - entries_.begin());
  if (at != entries_.end() && at->first == key) {
    at->second = std::move(value);
  } else {
    entries_.emplace(at, key, std::move(value));
  }
}

bool ZQ_TDict::Remove(const ZQ_TString& key) {
  auto at = entries_.begin() + (LowerBound(key.Text()) - entries_.begin());
  if (at == entries_.end() || !(at->first == key)) return false;
  entries_.erase(at);
  return true;
}

void ZQ_TDict::ZQ_Pack(ZQ_IPacking& packer) const {
  packer.PackCount(entries_.size());
  for (const Entry& entry : entries_) {
    packer.PackText(entry.first.Text());
    packer.PackValue(entry.second.Value());
  }
}

void ZQ_TDict::ZQ_Unpack(ZQ_IUnpacking& unpacker) {
  entries_.clear();
  const std::size_t count = unpacker.UnpackCount("dictionary size");
  for (std::size_t i = 0; i < count; ++i) {
    ZQ_TString key(unpacker.UnpackText("dictionary key"));
    // Packed dictionaries are in strictly ascending key order; anything else
    // is not what a packer writes, and would cost quadratic time to accept.
    if (!entries_.empty() && !(entries_.back().first < key)) {
      ZQ_EMalformed disorder(
          ZQ_TString::Format("dictionary key \"%s\" out of order or repeated", key));
      ZQ_THROW_AT(disorder, __FILE__, __LINE__);
    }
    entries_.emplace_back(std::move(key), ZQ_TAny(unpacker.UnpackValue()));
  }
}

bool ZQ_TDict::ZQ_IsIdent(const ZQ_IPackable& other) const {
  const auto* dict = static_cast<const ZQ_TDict*>(other.ZQ_DynamicInfo("ZQ_TDict"));
  if (dict == nullptr || dict->entries_.size() != entries_.size()) return false;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (!(entries_[i].first == dict->entries_[i].first) ||
        !entries_[i].second.ZQ_IsIdent(dict->entries_[i].second)) {
      return false;
    }
  }
  return true;
}

void ZQ_TDict::PrintOn(std::ostream& out) const {
  out << '{';
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (i > 0) out << ", ";
    out << '"' << entries_[i].first.Text() << "\": ";
    ZQ_PrintElement(out, entries_[i].second);
  }
  out << '}';
}
