#include "typelib/zq_tree.h"

#include <sodium.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "typelib/zq_exception.h"
#include "typelib/zq_packing.h"

ZQ_IMPLEMENT_VALUE_CLASS(ZQ_TTree)

namespace {

// The non-empty segments of `path` between separators.
std::vector<std::string_view> Segments(std::string_view path, char separator) {
  std::vector<std::string_view> segments;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(separator, start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) segments.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return segments;
}

char NarrowSeparator(wchar_t separator) {
  if (separator <= 0 || separator > 0x7F) {
    ZQ_EException bad(ZQ_TString("ZQ_TTree: path separators must be ASCII characters"));
    ZQ_THROW_AT(bad, __FILE__, __LINE__);
  }
  return static_cast<char>(separator);
}

}  // namespace

ZQ_TTree::ZQ_TTree(const ZQ_TTree& other) : ZQ_TObject() {
  CopyFrom(other, 0);
}

ZQ_TTree::ZQ_TTree(const ZQ_TTree& other, unsigned depth) : ZQ_TObject() {
  CopyFrom(other, depth);
}

ZQ_TTree::ZQ_TTree(ZQ_TTree&& other) noexcept
    : ZQ_TObject(), entries_(std::move(other.entries_)), index_(std::move(other.index_)) {}

ZQ_TTree& ZQ_TTree::operator=(const ZQ_TTree& other) {
  if (this != &other) CopyFrom(other, 0);
  return *this;
}

ZQ_TTree& ZQ_TTree::operator=(ZQ_TTree&& other) noexcept {
  entries_ = std::move(other.entries_);
  index_ = std::move(other.index_);
  return *this;
}

void ZQ_TTree::CopyFrom(const ZQ_TTree& other, unsigned depth) {
  if (depth == 0) {
    // `other` may be one of our own subtrees: copy it whole before any of
    // our entries is overwritten.
    std::vector<Entry> copy(other.entries_);
    entries_ = std::move(copy);
  } else {
    std::vector<Entry> copy;
    copy.reserve(other.entries_.size());
    for (const Entry& entry : other.entries_) {
      if (const ZQ_TTree* subtree = entry.second.As<ZQ_TTree>()) {
        copy.emplace_back(entry.first,
                          depth > 1 ? ZQ_TAny(ZQ_TTree(*subtree, depth - 1)) : ZQ_TAny(ZQ_TTree()));
      } else {
        copy.push_back(entry);
      }
    }
    entries_ = std::move(copy);
  }
  RebuildIndex();
}

std::size_t ZQ_TTree::KeyHash::operator()(std::string_view key) const {
  static const std::array<unsigned char, crypto_shorthash_KEYBYTES> secret = [] {
    if (sodium_init() < 0) std::abort();  // no randomness: nothing safe to go on with
    std::array<unsigned char, crypto_shorthash_KEYBYTES> fresh;
    randombytes_buf(fresh.data(), fresh.size());
    return fresh;
  }();
  std::array<unsigned char, crypto_shorthash_BYTES> hash;
  crypto_shorthash(hash.data(), reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                   secret.data());
  std::size_t value;
  static_assert(sizeof value <= crypto_shorthash_BYTES);
  std::memcpy(&value, hash.data(), sizeof value);
  return value;
}

void ZQ_TTree::RebuildIndex() {
  index_.clear();
  index_.reserve(entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i)
    index_.emplace(entries_[i].first.Text(), i);
}

const ZQ_TAny* ZQ_TTree::Child(std::string_view key) const {
  auto found = index_.find(key);
  return found != index_.end() ? &entries_[found->second].second : nullptr;
}

const ZQ_TAny* ZQ_TTree::FindSegments(std::string_view path, char separator) const {
  const ZQ_TTree* tree = this;
  const ZQ_TAny* value = nullptr;
  for (std::string_view key : Segments(path, separator)) {
    value = tree != nullptr ? tree->Child(key) : nullptr;
    if (value == nullptr) return nullptr;
    tree = value->As<ZQ_TTree>();
  }
  return value;
}

const ZQ_TAny* ZQ_TTree::Find(const ZQ_TString& path, wchar_t separator) const {
  return FindSegments(path.Text(), NarrowSeparator(separator));
}

const ZQ_TAny* ZQ_TTree::Find(const char* path, wchar_t separator) const {
  return FindSegments(path != nullptr ? path : "", NarrowSeparator(separator));
}

const ZQ_TAny* ZQ_TTree::Find(const wchar_t* path, wchar_t separator) const {
  return FindSegments(ZQ_WideToUtf8(path), NarrowSeparator(separator));
}

const ZQ_TTree* ZQ_TTree::FindTree(const ZQ_TString& path, wchar_t separator) const {
  if (Segments(path.Text(), NarrowSeparator(separator)).empty()) return this;
  const ZQ_TAny* value = Find(path, separator);
  return value != nullptr ? value->As<ZQ_TTree>() : nullptr;
}

void ZQ_TTree::SetChild(const ZQ_TString& key, ZQ_TAny value) {
  auto found = index_.find(key.Text());
  if (found != index_.end()) {
    entries_[found->second].second = std::move(value);
    return;
  }
  entries_.emplace_back(key, std::move(value));
  index_.emplace(key.Text(), entries_.size() - 1);
}

void ZQ_TTree::Set(const ZQ_TString& path, ZQ_TAny value, wchar_t separator) {
  const std::vector<std::string_view> segments = Segments(path.Text(), NarrowSeparator(separator));
  if (segments.empty()) {
    ZQ_EException empty(ZQ_TString("ZQ_TTree: cannot set a value at an empty path"));
    ZQ_THROW_AT(empty, __FILE__, __LINE__);
  }
  ZQ_TTree* tree = this;
  for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
    const std::string key(segments[i]);
    auto found = tree->index_.find(key);
    if (found == tree->index_.end() ||
        tree->entries_[found->second].second.As<ZQ_TTree>() == nullptr) {
      tree->SetChild(ZQ_TString(key), ZQ_TAny(ZQ_TTree()));
      found = tree->index_.find(key);
    }
    ZQ_TAny& child = tree->entries_[found->second].second;
    tree = static_cast<ZQ_TTree*>(child.Value()->ZQ_DynamicInfo("ZQ_TTree"));
  }
  tree->SetChild(ZQ_TString(segments.back()), std::move(value));
}

ZQ_TList ZQ_TTree::Keys() const {
  ZQ_TList keys;
  for (const Entry& entry : entries_)
    keys.Append(ZQ_TAny(entry.first));
  return keys;
}

void ZQ_TTree::ZQ_Pack(ZQ_IPacking& packer) const {
  packer.PackCount(entries_.size());
  for (const Entry& entry : entries_) {
    packer.PackText(entry.first.Text());
    packer.PackValue(entry.second.Value());
  }
}

void ZQ_TTree::ZQ_Unpack(ZQ_IUnpacking& unpacker) {
  entries_.clear();
  index_.clear();
  const std::size_t count = unpacker.UnpackCount("tree size");
  for (std::size_t i = 0; i < count; ++i) {
    ZQ_TString key(unpacker.UnpackText("tree key"));
    if (index_.count(key.Text()) != 0) {
      ZQ_EMalformed repeated(ZQ_TString::Format("tree key \"%s\" repeated", key));
      ZQ_THROW_AT(repeated, __FILE__, __LINE__);
    }
    index_.emplace(key.Text(), entries_.size());
    entries_.emplace_back(std::move(key), ZQ_TAny(unpacker.UnpackValue()));
  }
}

bool ZQ_TTree::ZQ_IsIdent(const ZQ_IPackable& other) const {
  const auto* tree = static_cast<const ZQ_TTree*>(other.ZQ_DynamicInfo("ZQ_TTree"));
  if (tree == nullptr || tree->entries_.size() != entries_.size()) return false;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (!(entries_[i].first == tree->entries_[i].first) ||
        !entries_[i].second.ZQ_IsIdent(tree->entries_[i].second)) {
      return false;
    }
  }
  return true;
}

void ZQ_TTree::PrintOn(std::ostream& out) const {
  out << '{';
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (i > 0) out << ", ";
    out << entries_[i].first.Text() << ": ";
    ZQ_PrintElement(out, entries_[i].second);
  }
  out << '}';
}
