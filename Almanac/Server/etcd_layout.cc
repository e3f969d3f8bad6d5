#include "Almanac/Server/etcd_layout.h"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>

#include "Almanac/Server/almanac_errors.h"
#include "Almanac/Server/config_file.h"
#include "Almanac/Server/config_store.h"

namespace almanac::etcd {
namespace {

std::vector<std::string_view> Keys(std::string_view path) {
  std::vector<std::string_view> keys;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find('/', start);
    keys.push_back(path.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return keys;
    start = end + 1;
  }
}

std::uint32_t After(std::size_t count) {
  return static_cast<std::uint32_t>(
      std::min<std::size_t>(count, std::numeric_limits<std::uint32_t>::max()));
}

// Why `leaf` cannot be placed at `keys` in `tree`, or "" after placing it.
std::string Place(ZQ_TTree& tree, const std::vector<std::string_view>& keys, const Leaf& leaf,
                  const std::string& path) {
  const ZQ_TTree* parent = &tree;
  for (std::size_t i = 0; i + 1 < keys.size() && parent != nullptr; ++i) {
    const ZQ_TAny* child = parent->Child(keys[i]);
    if (child == nullptr) break;
    parent = child->As<ZQ_TTree>();
    if (parent == nullptr) return "a value is on the way";
  }
  if (parent != nullptr && parent->Child(keys.back()) != nullptr)
    return "another entry holds its place";
  tree.Set(ZQ_TString(path), leaf.value);
  return {};
}

nlohmann::ordered_json ToJson(const ZQ_TAny& value, const std::string& at) {
  if (const auto* tree = value.As<ZQ_TTree>()) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const auto& [key, child] : tree->Entries())
      object[key.Text()] = ToJson(child, at.empty() ? key.Text() : at + '/' + key.Text());
    return object;
  }
  if (const auto* list = value.As<ZQ_TList>()) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < list->Count(); ++i)
      array.push_back(ToJson((*list)[i], at + '[' + std::to_string(i) + ']'));
    return array;
  }
  if (const auto* text = value.As<ZQ_TString>()) return text->Text();
  if (const auto* flag = value.As<ZQ_TBool>()) return flag->Value();
  if (const auto* number = value.As<ZQ_TUInt32>()) return number->Value();
  ALMANAC_THROW(ZQM_EException, "\"" + at + "\" holds a " + value.HeldClassName() +
                                    ", which a configuration file cannot hold");
}

}  // namespace

void AddLeaves(Leaves& leaves, const std::string& path, std::vector<std::uint32_t> positions,
               const ZQ_TAny& value) {
  const ZQ_TTree* tree = value.As<ZQ_TTree>();
  if (tree == nullptr || (tree->Count() == 0 && !path.empty())) {
    leaves[path] = Leaf{std::move(positions), value};
    return;
  }
  std::uint32_t position = 0;
  for (const auto& [key, child] : tree->Entries()) {
    std::vector<std::uint32_t> childPositions = positions;
    childPositions.push_back(position++);
    AddLeaves(leaves, path.empty() ? key.Text() : path + '/' + key.Text(),
              std::move(childPositions), child);
  }
}

std::string EncodeLeaf(const Leaf& leaf) {
  ZQ_TList positions;
  for (const std::uint32_t position : leaf.positions)
    positions.Append(ZQ_TAny(ZQ_TUInt32(position)));
  ZQ_TList stored;
  stored.Append(ZQ_TAny(std::move(positions)));
  stored.Append(leaf.value);
  return ZQ_PackValue(&stored);
}

Leaf DecodeLeaf(const std::string& path, std::string_view bytes) {
  const ZQ_TAny stored = ZQ_UnpackValue(bytes);
  const auto* pair = stored.As<ZQ_TList>();
  const auto* positions =
      pair != nullptr && pair->Count() == 2 ? (*pair)[0].As<ZQ_TList>() : nullptr;
  if (positions == nullptr) {
    ALMANAC_THROW(ZQM_EException, "not a list of the positions and the value");
  }
  const std::vector<std::string_view> keys = Keys(path);
  if (std::find(keys.begin(), keys.end(), std::string_view()) != keys.end()) {
    ALMANAC_THROW(ZQM_EException, "an empty key, which no path can reach");
  }
  if (keys.size() > kMaxConfigDepth) {
    ALMANAC_THROW(ZQM_EException,
                  "nested deeper than " + std::to_string(kMaxConfigDepth) + " levels");
  }
  if (positions->Count() != keys.size()) {
    ALMANAC_THROW(ZQM_EException, std::to_string(positions->Count()) + " positions for " +
                                      std::to_string(keys.size()) + " keys");
  }
  Leaf leaf;
  for (std::size_t i = 0; i < positions->Count(); ++i) {
    const auto* position = (*positions)[i].As<ZQ_TUInt32>();
    if (position == nullptr) ALMANAC_THROW(ZQM_EException, "a position that is not a ZQ_TUInt32");
    leaf.positions.push_back(position->Value());
  }
  leaf.value = (*pair)[1];
  const std::string problem =
      ValueProblem(leaf.value, static_cast<unsigned>(keys.size()) + 1, path);
  if (!problem.empty()) ALMANAC_THROW(ZQM_EException, problem);
  return leaf;
}

ZQ_TTree BuildTree(const Leaves& leaves,
                   const std::function<void(const std::string&, const std::string&)>& skipped) {
  std::vector<const Leaves::value_type*> ordered;
  ordered.reserve(leaves.size());
  for (const auto& entry : leaves)
    ordered.push_back(&entry);
  // Ties (writers that appended at once) keep the order of the paths.
  std::stable_sort(ordered.begin(), ordered.end(), [](const auto* a, const auto* b) {
    return a->second.positions < b->second.positions;
  });
  ZQ_TTree tree;
  for (const auto* entry : ordered) {
    const std::string why = Place(tree, Keys(entry->first), entry->second, entry->first);
    if (!why.empty()) skipped(entry->first, why);
  }
  return tree;
}

std::vector<std::uint32_t> PositionsIn(const ZQ_TTree& tree,
                                       const std::vector<std::string_view>& segments) {
  std::vector<std::uint32_t> positions;
  const ZQ_TTree* level = &tree;
  for (const std::string_view key : segments) {
    if (level == nullptr) {  // below a new key: the first of a new subtree
      positions.push_back(0);
      continue;
    }
    const auto& entries = level->Entries();
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [key](const auto& entry) { return entry.first.Text() == key; });
    positions.push_back(After(static_cast<std::size_t>(found - entries.begin())));
    level = found == entries.end() ? nullptr : found->second.As<ZQ_TTree>();
  }
  return positions;
}

std::string ConfigFileText(const ZQ_TTree& tree) {
  const nlohmann::ordered_json document = ToJson(ZQ_TAny(tree), "");
  try {
    return document.dump(2) + "\n";
  } catch (const nlohmann::json::exception& failure) {
    ALMANAC_THROW(ZQM_EException,
                  std::string("the configuration cannot be written as JSON: ") + failure.what());
  }
}

}  // namespace almanac::etcd
