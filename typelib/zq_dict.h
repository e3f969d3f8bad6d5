// ZQ_TDict: ZQ_TAny values under text keys, kept sorted by key. A narrow and
// a wide spelling of a key find the same entry. RPC arguments ("M", "P1",
// ...) and daemon replies are dictionaries.
#pragma once

#include <utility>
#include <vector>

#include "typelib/zq_any.h"
#include "typelib/zq_string.h"

class ZQ_TDict : public ZQ_TObject,
                 public virtual ZQ_IPackable,
                 public virtual ZQ_IPrintable,
                 public virtual ZQ_IIteratable {
  ZQ_DECLARE_VALUE_CLASS(ZQ_TDict)

 public:
  using ZQ_CastType = ZQ_TDict;
  using Entry = std::pair<ZQ_TString, ZQ_TAny>;

  ZQ_TDict() = default;
  ZQ_TDict(const ZQ_TDict& other) : ZQ_TObject(), entries_(other.entries_) {}
  ZQ_TDict(ZQ_TDict&& other) noexcept : ZQ_TObject(), entries_(std::move(other.entries_)) {}
  ZQ_TDict& operator=(const ZQ_TDict& other);
  ZQ_TDict& operator=(ZQ_TDict&& other) noexcept;

  std::size_t Count() const { return entries_.size(); }
  bool Contains(const ZQ_TString& key) const { return Find(key) != nullptr; }
  bool Contains(const char* key) const { return Contains(ZQ_TString(key)); }
  bool Contains(const wchar_t* key) const { return Contains(ZQ_TString(key)); }
  // The value under `key`, or null.
  const ZQ_TAny* Find(const ZQ_TString& key) const;
  ZQ_TAny* Find(const ZQ_TString& key);
  // The value under `key`; a missing key throws ZQ_EException naming it.
  const ZQ_TAny& operator[](const ZQ_TString& key) const;
  const ZQ_TAny& operator[](const char* key) const { return (*this)[ZQ_TString(key)]; }
  const ZQ_TAny& operator[](const wchar_t* key) const { return (*this)[ZQ_TString(key)]; }
  // Sets (adds or replaces) the value under `key`.
  void Set(const ZQ_TString& key, ZQ_TAny value);
  bool Remove(const ZQ_TString& key);

  const std::vector<Entry>& Entries() const { return entries_; }

  void ZQ_Pack(ZQ_IPacking& packer) const override;
  void ZQ_Unpack(ZQ_IUnpacking& unpacker) override;
  bool ZQ_IsIdent(const ZQ_IPackable& other) const override;
  void PrintOn(std::ostream& out) const override;
  std::size_t ZQ_IterCount() const override { return entries_.size(); }
  const ZQ_IPackable& ZQ_IterKey(std::size_t index, ZQ_TAny&) const override {
    return entries_[index].first;
  }
  const ZQ_TAny& ZQ_IterValue(std::size_t index) const override { return entries_[index].second; }

 private:
  std::vector<Entry>::const_iterator LowerBound(const std::string& key) const;

  std::vector<Entry> entries_;  // sorted by key, keys unique
};
