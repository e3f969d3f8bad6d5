// The value classes other than trees: strings and their formatting, ZQ_TAny,
// lists and dictionaries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>

#include "typelib/dodived.h"

namespace {

using ::testing::HasSubstr;

TEST(String, ConstructionFromNarrowAndWideText) {
  const ZQ_TString narrow("gr\u00fc\u00dfe \u2603 \U0001F600");
  EXPECT_EQ(ZQ_TString(L"gr\u00fc\u00dfe \u2603 \U0001F600"), narrow);
  EXPECT_EQ(ZQ_TString(u"gr\u00fc\u00dfe \u2603 \U0001F600"), narrow);
  EXPECT_EQ(narrow.Length(), 16u);                 // UTF-8 bytes
  EXPECT_EQ(ZQ_TString(u"a\xD800z"), "a\uFFFDz");  // a lone surrogate is no character

  EXPECT_EQ(ZQ_TString("abcdef", 3), "abc");
  EXPECT_EQ(ZQ_TString(L"abcdef", 2), "ab");
  EXPECT_EQ(ZQ_TString("a\0b", 3).Length(), 3u);
  EXPECT_TRUE(ZQ_TString(static_cast<const char*>(nullptr), 5).IsEmpty());
  EXPECT_TRUE(ZQ_TString(static_cast<const wchar_t*>(nullptr)).IsEmpty());
  EXPECT_TRUE(ZQ_TString(static_cast<const char16_t*>(nullptr), 3).IsEmpty());
  EXPECT_EQ(ZQ_TString::sEmpty, "");
}

TEST(String, EqualityIsCaseSensitiveAndConcatenation) {
  const ZQ_TString name("Alpha");
  EXPECT_TRUE(name == "Alpha");
  EXPECT_FALSE(name == "alpha");
  EXPECT_TRUE(name == L"Alpha");
  EXPECT_FALSE(name == L"ALPHA");
  EXPECT_FALSE(name == ZQ_TString("Alpha "));
  EXPECT_TRUE(ZQ_TString() == static_cast<const char*>(nullptr));

  EXPECT_EQ(name + "-b", "Alpha-b");
  EXPECT_EQ("my-" + name, "my-Alpha");
  EXPECT_EQ(name + ZQ_TString(L"\u00e4"), "Alpha\u00e4");
  std::ostringstream out;
  out << name << '|' << ZQ_TString::sEmpty << '|';
  EXPECT_EQ(out.str(), "Alpha||");
}

TEST(String, FormatPrintsEachArgumentAsItsOwnType) {
  EXPECT_EQ(ZQ_TString::Format("%d", 4294967295u), "4294967295");
  EXPECT_EQ(ZQ_TString::Format("%d", -5), "-5");
  EXPECT_EQ(ZQ_TString::Format("%u %d", std::uint16_t{65535}, std::int8_t{-128}), "65535 -128");
  EXPECT_EQ(ZQ_TString::Format("%d %d", INT64_MIN, UINT64_MAX),
            "-9223372036854775808 18446744073709551615");
  const ZQ_TString server("alpha");
  EXPECT_EQ(ZQ_TString::Format("%s on %s: 100%%", server, "host-b"), "alpha on host-b: 100%");
  EXPECT_EQ(ZQ_TString::Format("%s", "%d%s%"), "%d%s%");  // an argument is never a format
}

TEST(String, FormatFaultsThrow) {
  EXPECT_THROW(ZQ_TString::Format("%s and %s", "one"), ZQ_EException);
  EXPECT_THROW(ZQ_TString::Format("%d", 1, 2), ZQ_EException);
  EXPECT_THROW(ZQ_TString::Format("%s", 5), ZQ_EException);
  EXPECT_THROW(ZQ_TString::Format("%d", "five"), ZQ_EException);
  EXPECT_THROW(ZQ_TString::Format("%x", 5), ZQ_EException);
  EXPECT_THROW(ZQ_TString::Format("50%"), ZQ_EException);
}

TEST(Any, ConstructionAndAssignmentPickTheBox) {
  EXPECT_STREQ(ZQ_TAny(true).HeldClassName(), "ZQ_TBool");
  EXPECT_STREQ(ZQ_TAny(7u).HeldClassName(), "ZQ_TUInt32");
  EXPECT_STREQ(ZQ_TAny(0).HeldClassName(), "ZQ_TUInt32");
  // A text must never end up as a bool, which a pointer converts to.
  EXPECT_STREQ(ZQ_TAny("yes").HeldClassName(), "ZQ_TString");
  char buffer[] = "mutable";
  EXPECT_STREQ(ZQ_TAny(buffer).HeldClassName(), "ZQ_TString");
  try {
    ZQ_TAny negative(-5);
    FAIL() << "a negative number was accepted";
  } catch (const ZQ_EException& e) {
    EXPECT_THAT(e.ZQ_Message().Text(), HasSubstr("-5"));
  }

  ZQ_TAny any;
  any = 3000000000u;
  EXPECT_EQ(any.DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__), 3000000000u);
  any = 42;
  EXPECT_EQ(any.DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__), 42u);
  any = "text";
  EXPECT_EQ(any.DynamicCast<ZQ_TString>(__FILE__, __LINE__), "text");
  EXPECT_THROW(any = -1, ZQ_EException);
}

TEST(Any, CopiesAreIndependentMovesEmptyTheSourceNothingNests) {
  ZQ_TList list;
  list.Append(1);
  ZQ_TAny original(list);
  ZQ_TAny copy(original);
  copy.DynamicCast<ZQ_TList>(__FILE__, __LINE__).Append(2);
  EXPECT_EQ(original.DynamicCast<ZQ_TList>(__FILE__, __LINE__).Count(), 1u);

  const ZQ_IPackable* held = original.Value();
  ZQ_TAny moved(std::move(original));
  EXPECT_EQ(moved.Value(), held);
  EXPECT_TRUE(original.IsEmpty());  // NOLINT: the moved-from state is promised

  const ZQ_TAny inner(ZQ_TUInt16(5));
  EXPECT_STREQ(ZQ_TAny(static_cast<const ZQ_IPackable&>(inner)).HeldClassName(), "ZQ_TUInt16");
  const ZQ_TAny fromPointer(std::make_unique<ZQ_TAny>(ZQ_TUInt16(7)));
  EXPECT_EQ(fromPointer.DynamicCast<ZQ_TUInt16>(__FILE__, __LINE__), 7);
}

TEST(Any, IdentityNeedsSameClassAndValue) {
  EXPECT_TRUE(ZQ_TAny(1).ZQ_IsIdent(ZQ_TAny(1u)));
  EXPECT_FALSE(ZQ_TAny(1).ZQ_IsIdent(ZQ_TAny(2)));
  EXPECT_FALSE(ZQ_TAny(1).ZQ_IsIdent(ZQ_TAny()));
  EXPECT_TRUE(ZQ_TAny().ZQ_IsIdent(ZQ_TAny()));
}

TEST(List, ContainsComparesClassAndValue) {
  ZQ_TList list;
  list.Append(ZQ_TUInt32(1));
  list.Append("two");
  EXPECT_TRUE(list.Contains(ZQ_TUInt32(1)));
  EXPECT_FALSE(list.Contains(ZQ_TUInt16(1)));
  EXPECT_FALSE(list.Contains(true));
  EXPECT_FALSE(list.Contains("1"));
  EXPECT_TRUE(list.Contains("two"));
  EXPECT_FALSE(list.Contains("Two"));
  EXPECT_FALSE(list.Contains(ZQ_TAny()));
}

TEST(List, IndexOutOfRangeThrows) {
  ZQ_TList list;
  EXPECT_THROW(list[0], ZQ_EException);
  list.Append(5);
  const ZQ_TList& constList = list;
  EXPECT_EQ(constList[0].DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__), 5u);
  EXPECT_THROW(constList[1], ZQ_EException);
  EXPECT_THROW(list[static_cast<std::size_t>(-1)], ZQ_EException);
}

TEST(List, AssignFromAnElementOfItself) {
  ZQ_TList inner;
  inner.Append("a");
  inner.Append("b");
  ZQ_TList list;
  list.Append(inner);
  list.Append(1);
  list.Append(2);
  list = list[0].DynamicCast<ZQ_TList>(__FILE__, __LINE__);
  EXPECT_TRUE(list.ZQ_IsIdent(inner));
}

TEST(Dict, NarrowAndWideKeysFindTheSameEntry) {
  ZQ_TDict dict;
  dict.Set(L"gr\u00f6\u00dfe", 3);
  dict.Set("M", "Run");
  EXPECT_EQ(dict["gr\u00f6\u00dfe"].DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__), 3u);
  EXPECT_EQ(dict[L"M"].DynamicCast<ZQ_TString>(__FILE__, __LINE__), "Run");
  EXPECT_TRUE(dict.Contains(L"gr\u00f6\u00dfe"));
  EXPECT_FALSE(dict.Contains("m"));
}

TEST(Dict, MissingKeyThrowsNamingItAndSetReplaces) {
  ZQ_TDict dict;
  dict.Set("b", 1);
  dict.Set("a", 2);
  try {
    dict["P2"];
    FAIL() << "a missing key was found";
  } catch (const ZQ_EException& e) {
    EXPECT_THAT(e.ZQ_Message().Text(), HasSubstr("\"P2\""));
  }
  EXPECT_THROW(dict[L"B"], ZQ_EException);

  dict.Set("b", "replaced");
  std::ostringstream out;
  out << dict;
  EXPECT_EQ(out.str(), "{\"a\": 2, \"b\": \"replaced\"}");
}

TEST(Dict, AssignFromAValueOfItself) {
  ZQ_TDict inner;
  inner.Set("x", 1);
  inner.Set("y", 2);
  ZQ_TDict dict;
  dict.Set("a", inner);
  dict.Set("b", 2);
  dict.Set("c", 3);
  dict = dict["a"].DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
  EXPECT_TRUE(dict.ZQ_IsIdent(inner));
}

}  // namespace
