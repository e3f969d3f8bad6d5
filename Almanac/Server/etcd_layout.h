// How the configuration tree is laid out in etcd.
//
// Every leaf of the tree is one key: <prefix>config/<path>, the path being
// the leaf's keys joined by '/'. A leaf is any value but a non-empty tree
// (a list, a text, a number, a boolean, an empty tree); subtrees are implied
// by the keys below them, so that a Set of one path writes one key. The
// stored value is the type library's packing (zq_packing.h) of a list of
// two: the leaf's positions (ZQ_TList of ZQ_TUInt32, the place of each key
// of its path among its siblings) and the value itself, which keeps the
// value's kind exactly. Sorting the leaves by their positions gives the
// tree back with its keys in their order.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "typelib/dodived.h"

namespace almanac::etcd {

struct Leaf {
  std::vector<std::uint32_t> positions;  // one per key of the path
  ZQ_TAny value;
};

// Leaves by path.
using Leaves = std::map<std::string, Leaf>;

// Adds the leaves of `value` placed at `path` ("" for the root, whose value
// must be a tree), whose keys stand at `positions`.
void AddLeaves(Leaves& leaves, const std::string& path, std::vector<std::uint32_t> positions,
               const ZQ_TAny& value);

std::string EncodeLeaf(const Leaf& leaf);

// The leaf stored for `path`; throws ZQ_EException saying why the bytes
// are not one (etcd's content is checked like any peer's input: the
// unpacking's bounds, one position per key, and what the file loader
// refuses).
Leaf DecodeLeaf(const std::string& path, std::string_view bytes);

// Builds the tree from `leaves`. A leaf that cannot be placed (a value is
// on the way, or another entry holds its place, which only writers racing
// each other leave behind) is left out and reported to `skipped` with the
// reason.
ZQ_TTree BuildTree(
    const Leaves& leaves,
    const std::function<void(const std::string& path, const std::string& why)>& skipped);

// The positions of the keys of `segments` in `tree`, a key that is not
// there taking the place after its last sibling.
std::vector<std::uint32_t> PositionsIn(const ZQ_TTree& tree,
                                       const std::vector<std::string_view>& segments);

// The tree as a configuration file (JSON, two spaces of indentation).
// Throws ZQM_EException naming the path of a value that no file can hold
// (a kind other than text, number from 0 to 4294967295, boolean, list or
// tree).
std::string ConfigFileText(const ZQ_TTree& tree);

}  // namespace almanac::etcd
