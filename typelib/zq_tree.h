// ZQ_TTree: a tree of named entries, kept in insertion order. An entry's
// value is any packable value; a ZQ_TTree value is a subtree. The
// configuration server serves its configuration as one.
//
// Paths name an entry below the tree: keys joined by a separator, '/' unless
// told otherwise. Empty segments are skipped, so "a//b/" names "a/b".
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "typelib/zq_any.h"
#include "typelib/zq_list.h"
#include "typelib/zq_string.h"

class ZQ_TTree : public ZQ_TObject,
                 public virtual ZQ_IPackable,
                 public virtual ZQ_IPrintable,
                 public virtual ZQ_IIteratable {
  ZQ_DECLARE_VALUE_CLASS(ZQ_TTree)

 public:
  using ZQ_CastType = ZQ_TTree;
  using Entry = std::pair<ZQ_TString, ZQ_TAny>;

  ZQ_TTree() = default;
  ZQ_TTree(const ZQ_TTree& other);
  // A copy down to `depth` levels of subtrees; 0 copies the whole tree.
  // Subtrees below the depth are copied as empty trees.
  ZQ_TTree(const ZQ_TTree& other, unsigned depth);
  ZQ_TTree(ZQ_TTree&& other) noexcept;
  ZQ_TTree& operator=(const ZQ_TTree& other);
  ZQ_TTree& operator=(ZQ_TTree&& other) noexcept;

  std::size_t Count() const { return entries_.size(); }
  const std::vector<Entry>& Entries() const { return entries_; }

  // The value at `path`, or null when there is none. Never throws for an
  // absent path.
  const ZQ_TAny* Find(const ZQ_TString& path, wchar_t separator = L'/') const;
  const ZQ_TAny* Find(const char* path, wchar_t separator = L'/') const;
  const ZQ_TAny* Find(const wchar_t* path, wchar_t separator = L'/') const;
  // The subtree at `path` (the tree itself for an empty path), or null when
  // the path is absent or names something else.
  const ZQ_TTree* FindTree(const ZQ_TString& path, wchar_t separator = L'/') const;

  // The direct entry under `key`, or null.
  const ZQ_TAny* Child(std::string_view key) const;
  // Sets `key` directly below this tree, replacing an entry of that name
  // in place (its position is kept) or appending a new one.
  void SetChild(const ZQ_TString& key, ZQ_TAny value);
  // Sets the value at `path`, creating the subtrees on the way. A non-tree
  // value on the way is replaced by a subtree. An empty path throws.
  void Set(const ZQ_TString& path, ZQ_TAny value, wchar_t separator = L'/');
  // The keys directly below this tree, in order, as ZQ_TString values.
  ZQ_TList Keys() const;

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
  void CopyFrom(const ZQ_TTree& other, unsigned depth);
  void RebuildIndex();
  const ZQ_TAny* FindSegments(std::string_view path, char separator) const;

  // The index's hash: keyed with a random key per process (SipHash), so
  // that a peer cannot choose keys that all land in one bucket and make
  // building the index quadratic. Takes std::string_view for lookups
  // without a copy.
  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const;
  };

  std::vector<Entry> entries_;
  // key -> position in entries_
  std::unordered_map<std::string, std::size_t, KeyHash, std::equal_to<>> index_;
};
