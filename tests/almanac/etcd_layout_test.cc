// The tree's layout in etcd: what comes back from etcd is checked like any
// peer's input, and leaves that cannot be placed are left out, not obeyed.
#include "Almanac/Server/etcd_layout.h"

#include <gtest/gtest.h>

#include "Almanac/Server/config_file.h"
#include "almanac_test_support.h"

namespace {

using almanac::etcd::BuildTree;
using almanac::etcd::DecodeLeaf;
using almanac::etcd::EncodeLeaf;
using almanac::etcd::Leaf;
using almanac::etcd::Leaves;
using almanac_test::FailureOf;

TEST(EtcdLayout, RefusesStoredValuesThatTheFileLoaderWouldRefuse) {
  const std::string one = EncodeLeaf(Leaf{{0}, ZQ_TAny(1u)});
  EXPECT_TRUE(ZQ_TAny(1u).ZQ_IsIdent(DecodeLeaf("a", one).value));
  EXPECT_NE("", FailureOf<ZQ_EException>([&] { DecodeLeaf("a", one.substr(1)); }));
  EXPECT_EQ("1 positions for 2 keys", FailureOf([&] { DecodeLeaf("a/b", one); }));
  EXPECT_EQ("an empty key, which no path can reach", FailureOf([&] { DecodeLeaf("a//b", one); }));
  std::string deep = "k";
  for (unsigned i = 1; i < almanac::kMaxConfigDepth; ++i)
    deep += "/k";
  const std::vector<std::uint32_t> positions(almanac::kMaxConfigDepth, 0);
  EXPECT_NO_THROW(DecodeLeaf(deep, EncodeLeaf(Leaf{positions, ZQ_TAny(1u)})));
  EXPECT_NE(std::string::npos, FailureOf([&] {
                                 DecodeLeaf(deep, EncodeLeaf(Leaf{positions, ZQ_TAny(ZQ_TList())}));
                               }).find("nested deeper than 64 levels"));
}

TEST(EtcdLayout, BuildsTheTreeInOrderAndLeavesOutWhatCannotBePlaced) {
  const ZQ_TTree file =
      almanac::ParseConfigText(R"({"z": {"b": 1, "a": {}}, "y": [true], "x": "t"})", "test");
  Leaves leaves;
  almanac::etcd::AddLeaves(leaves, "", {}, ZQ_TAny(file));
  leaves["x/below"] = Leaf{{2, 0}, ZQ_TAny(2u)};  // a value is on the way
  leaves["z"] = Leaf{{0, 9}, ZQ_TAny(3u)};        // comes after z's subtree, which holds the place
  std::vector<std::string> skipped;
  const ZQ_TTree tree = BuildTree(
      leaves, [&](const std::string& path, const std::string&) { skipped.push_back(path); });
  EXPECT_TRUE(tree.ZQ_IsIdent(file)) << tree;
  EXPECT_EQ((std::vector<std::string>{"z", "x/below"}), skipped);
}

}  // namespace
