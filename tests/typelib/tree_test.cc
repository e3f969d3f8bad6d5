// ZQ_TTree: paths, order, copies. The configuration server hands out its
// configuration as a tree and clients look entries up by path.
#include <gtest/gtest.h>

#include <string>

#include "typelib/dodived.h"

namespace {

ZQ_TTree Config() {
  ZQ_TTree tree;
  tree.Set("servers/alpha/port", ZQ_TUInt16(4711));
  tree.Set("servers/alpha/command", "alpha -v");
  tree.Set("servers/beta/port", ZQ_TUInt16(4712));
  tree.Set("log", "debug");
  return tree;
}

std::string KeysOf(const ZQ_TTree& tree) {
  std::string keys;
  for (ZQ_TConstIterator it(tree); !it.IsDone(); it++) {
    keys += it.Key().DynamicCast<ZQ_TString>(__FILE__, __LINE__).Text() + ' ';
  }
  return keys;
}

TEST(Tree, FindsByNarrowAndWidePaths) {
  const ZQ_TTree tree = Config();
  const ZQ_TAny* port = tree.Find("servers/alpha/port");
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->DynamicCast<ZQ_TUInt16>(__FILE__, __LINE__), 4711);
  EXPECT_EQ(tree.Find(L"servers/alpha/port"), port);
  EXPECT_EQ(tree.Find("servers/alpha/port/"), port);
  EXPECT_EQ(tree.Find("/servers//alpha/port"), port);
  EXPECT_EQ(tree.Find("servers.alpha.port", L'.'), port);
  ASSERT_NE(tree.FindTree("servers/beta/"), nullptr);
  EXPECT_EQ(tree.FindTree("servers/beta")->Count(), 1u);

  ZQ_TTree wide;
  wide.Set(L"\u00e4/\u00f6", 1);
  EXPECT_NE(wide.Find("\u00e4/\u00f6"), nullptr);
}

TEST(Tree, AbsentPathsGiveNull) {
  const ZQ_TTree tree = Config();
  for (const char* absent :
       {"servers/gamma/port", "servers/alpha/Port", "log/level", "servers/alpha/port/x", "", "/"}) {
    EXPECT_EQ(tree.Find(absent), nullptr) << absent;
  }
  EXPECT_EQ(tree.Find(static_cast<const wchar_t*>(nullptr)), nullptr);
  EXPECT_EQ(tree.FindTree("log"), nullptr);
}

TEST(Tree, IteratesInInsertionOrder) {
  ZQ_TTree tree;
  tree.Set("zeta", 1);
  tree.Set("alpha", 2);
  tree.Set("mid", 3);
  EXPECT_EQ(KeysOf(tree), "zeta alpha mid ");
  ZQ_TConstIterator it(tree);
  const ZQ_TConstIterator before = it++;
  EXPECT_EQ(before.Value().DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__), 1u);
  EXPECT_EQ(it.Value().DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__), 2u);
  it++;
  it++;
  EXPECT_TRUE(it.IsDone());
  EXPECT_THROW(it.Value(), ZQ_EException);
  EXPECT_EQ(tree.Keys()[1].DynamicCast<ZQ_TString>(__FILE__, __LINE__), "alpha");
}

TEST(Tree, SetKeepsThePositionOfAReplacedKey) {
  ZQ_TTree tree = Config();
  tree.Set("servers", "flattened");
  EXPECT_EQ(KeysOf(tree), "servers log ");
  // A text on the way becomes a subtree, in the text's place.
  tree.Set("servers/alpha/port", ZQ_TUInt16(1));
  EXPECT_EQ(KeysOf(tree), "servers log ");
  EXPECT_NE(tree.Find("servers/alpha/port"), nullptr);
  EXPECT_THROW(tree.Set("///", 1), ZQ_EException);
}

TEST(Tree, CopiesAreDeepAndIndependent) {
  const ZQ_TTree original = Config();
  ZQ_TTree copy(original, 0);
  copy.Set("servers/alpha/port", ZQ_TUInt16(1));
  copy.Set("servers/gamma/port", ZQ_TUInt16(2));
  EXPECT_EQ(original.Find("servers/alpha/port")->DynamicCast<ZQ_TUInt16>(__FILE__, __LINE__), 4711);
  EXPECT_EQ(original.Find("servers/gamma"), nullptr);
  EXPECT_NE(copy.Find("servers/beta/port"), nullptr);

  // Copies and moves must carry a working path index, not only the entries.
  ZQ_TTree assigned;
  assigned = original;
  const ZQ_TTree moved(std::move(assigned));
  EXPECT_NE(moved.Find("servers/beta/port"), nullptr);

  const ZQ_TTree shallow(original, 2);
  EXPECT_EQ(KeysOf(*shallow.FindTree("servers")), "alpha beta ");
  EXPECT_EQ(shallow.FindTree("servers/alpha")->Count(), 0u);
}

TEST(Tree, AssignFromASubtreeOfItself) {
  ZQ_TTree tree = Config();
  const ZQ_TTree expected = *tree.FindTree("servers");
  tree = *tree.FindTree("servers");
  EXPECT_TRUE(tree.ZQ_IsIdent(expected));
  EXPECT_NE(tree.Find("alpha/port"), nullptr);
}

}  // namespace
