// Packing: values survive the trip to bytes and back with class and value
// intact, and the bytes stay what other processes (and the seed corpus of
// the unpacker's fuzzer) expect.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "typelib/dodived.h"

namespace {

// An exception class of another library, two levels below ZQ_EException:
// travels by name, with a section per base.
class ZQ_ETestRefused : public ZQ_EBadCast {
  ZQ_DECLARE_EXCEPTION_CLASS(ZQ_ETestRefused, ZQ_EBadCast)
};

ZQ_IMPLEMENT_EXCEPTION_CLASS(ZQ_ETestRefused, ZQ_EBadCast)

// Records what a class hands to its packer, one line per call.
class RecordingPacker : public ZQ_IPacking {
 public:
  std::vector<std::string> calls;

  void BeginClass(const char* name) override { calls.push_back(std::string("begin ") + name); }
  void EndClass(const char* name) override { calls.push_back(std::string("end ") + name); }
  void PackBool(bool value) override { calls.push_back("bool " + std::to_string(value)); }
  void PackUInt(std::uint64_t value) override { calls.push_back("uint " + std::to_string(value)); }
  void PackText(std::string_view text) override { calls.push_back("text " + std::string(text)); }
  void PackCount(std::size_t count) override { calls.push_back("count " + std::to_string(count)); }
  void PackValue(const ZQ_IPackable* value) override {
    calls.push_back(std::string("value ") + (value ? value->ClassName() : "<empty>"));
  }
};

std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes)
    out += static_cast<char>(b);
  return out;
}

std::string Packed(const ZQ_IPackable& value) {
  return ZQ_PackValue(&value);
}

// Unpacks the packing of `value`, checks that the result is identical and
// packs to the same bytes, and returns it.
ZQ_TAny RoundTrip(const ZQ_IPackable& value) {
  const std::string bytes = Packed(value);
  ZQ_TAny back = ZQ_UnpackValue(bytes);
  EXPECT_TRUE(back.ZQ_IsIdent(value)) << value.ClassName() << " from " << bytes.size() << " bytes";
  EXPECT_EQ(Packed(back), bytes);
  return back;
}

// Lists, dictionaries and trees inside each other, `levels` lists deep.
ZQ_TList Nested(int levels) {
  ZQ_TList list;
  list.Append(levels);
  if (levels > 1) {
    ZQ_TTree tree;
    tree.Set("deeper/still", Nested(levels - 1));
    ZQ_TDict dict;
    dict.Set("tree", tree);
    dict.Set("empty", ZQ_TAny());
    list.Append(dict);
  }
  return list;
}

TEST(Packing, BytesOfTheBuiltinClasses) {
  // Tags and encodings are what every peer reads: they must never move.
  EXPECT_EQ(Packed(ZQ_TAny()), Bytes({0}));
  EXPECT_EQ(Packed(ZQ_TString("ab")), Bytes({1, 2, 'a', 'b'}));
  EXPECT_EQ(Packed(ZQ_TBool(true)), Bytes({2, 1}));
  EXPECT_EQ(Packed(ZQ_TUInt16(300)), Bytes({3, 0xAC, 0x02}));
  EXPECT_EQ(Packed(ZQ_TUInt32(4294967295u)), Bytes({4, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
  ZQ_TList list;
  list.Append(1);
  EXPECT_EQ(Packed(list), Bytes({5, 1, 4, 1}));
  ZQ_TDict dict;
  dict.Set("a", true);
  EXPECT_EQ(Packed(dict), Bytes({6, 1, 1, 'a', 2, 1}));
  ZQ_TTree tree;
  tree.Set("a", ZQ_TAny());
  EXPECT_EQ(Packed(tree), Bytes({7, 1, 1, 'a', 0}));
  EXPECT_EQ(Packed(ZQ_EException()), Bytes({8, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Packed(ZQ_EBadCast()), Bytes({0xFF, 11}) + "ZQ_EBadCast" + Bytes({0xB5, 13}) +
                                       "ZQ_EException" + Bytes({0, 0, 0, 0, 0, 0xE5}));
}

TEST(Packing, EveryValueClassRoundTrips) {
  std::string allBytes;
  for (int b = 0; b < 256; ++b)
    allBytes += static_cast<char>(b);
  const std::vector<ZQ_TAny> values = {
      ZQ_TString(""),    ZQ_TString(allBytes), ZQ_TString(std::string(1 << 20, 'x')),
      ZQ_TBool(false),   ZQ_TBool(true),       ZQ_TUInt16(0),
      ZQ_TUInt16(65535), ZQ_TUInt32(0),        ZQ_TUInt32(4294967295u),
      ZQ_TList(),        ZQ_TDict(),           ZQ_TTree(),
      Nested(12)};
  for (const ZQ_TAny& value : values) {
    EXPECT_STREQ(RoundTrip(value).HeldClassName(), value.HeldClassName());
  }
  EXPECT_TRUE(RoundTrip(ZQ_TAny()).IsEmpty());
  // All of them in one message, twice, with exceptions of three classes:
  // more classes than the unpacker keeps the layout of, each met again.
  ZQ_TList mixed;
  for (int round = 0; round < 2; ++round) {
    for (const ZQ_TAny& value : values)
      mixed.Append(value);
    mixed.Append(ZQ_EException());
    mixed.Append(ZQ_EBadCast());
    mixed.Append(ZQ_ETestRefused());
  }
  RoundTrip(mixed);
}

TEST(Packing, NestingRoundTripsDownToTheDepthLimit) {
  ZQ_TList chain;
  for (unsigned depth = 2; depth <= ZQ_TBinaryUnpacker::kMaxDepth + 1; ++depth) {
    ZQ_TList outer;
    outer.Append(chain);
    chain = std::move(outer);
    if (depth == ZQ_TBinaryUnpacker::kMaxDepth) RoundTrip(chain);
  }
  EXPECT_THROW(ZQ_UnpackValue(Packed(chain)), ZQ_EMalformed);
}

template <class E>
void CheckExceptionRoundTrip() {
  SCOPED_TRACE(E::ZQ_ClassName());
  E original(ZQ_TString("instance 3 of alpha did not start"));
  ZQ_TDict data;
  data.Set("instance", 3);
  data.Set("servers", Nested(3));
  original.ZQ_Data() = data;
  original.__PREPARE_FOR_THROW__(4294967295u, "service/starter.cc");
  original.ZQ_AddTrace("Run on host-a");
  original.ZQ_AddTrace("Start on host-b");

  const ZQ_TAny back = RoundTrip(original);
  ASSERT_STREQ(back.HeldClassName(), E::ZQ_ClassName());
  const E& e = back.DynamicCast<E>(__FILE__, __LINE__);
  EXPECT_EQ(e.ZQ_Message(), "instance 3 of alpha did not start");
  EXPECT_EQ(e.ZQ_ExceptionFile(), "service/starter.cc");
  EXPECT_EQ(e.ZQ_ExceptionLine(), 4294967295u);
  EXPECT_TRUE(e.ZQ_StackTrace().ZQ_IsIdent(original.ZQ_StackTrace()));
  EXPECT_TRUE(e.ZQ_Data().ZQ_IsIdent(data));
  // What arrives from another process is thrown on as its own class.
  EXPECT_THROW(back.DynamicCast<ZQ_EException>(__FILE__, __LINE__).ZQ_Throw(), E);
}

TEST(Packing, ExceptionsKeepClassMessageDataSiteAndTrace) {
  CheckExceptionRoundTrip<ZQ_EException>();
  CheckExceptionRoundTrip<ZQ_EBadCast>();
  CheckExceptionRoundTrip<ZQ_EMalformed>();
  CheckExceptionRoundTrip<ZQ_ETestRefused>();
}

TEST(Packing, DerivedExceptionsWrapEachBaseInASection) {
  ZQ_ETestRefused refused(ZQ_TString("no"));
  refused.__PREPARE_FOR_THROW__(5, "f.cc");
  refused.ZQ_AddTrace("t");
  RecordingPacker packer;
  refused.ZQ_Pack(packer);
  const std::vector<std::string> base = {"text no", "value <empty>", "text f.cc",
                                         "uint 5",  "count 1",       "value ZQ_TString"};
  std::vector<std::string> expected = {"begin ZQ_EBadCast", "begin ZQ_EException"};
  expected.insert(expected.end(), base.begin(), base.end());
  expected.insert(expected.end(), {"end ZQ_EException", "end ZQ_EBadCast"});
  EXPECT_EQ(packer.calls, expected);

  RecordingPacker plainPacker;
  ZQ_EException(refused).ZQ_Pack(plainPacker);
  EXPECT_EQ(plainPacker.calls, base);
}

TEST(Packing, AnAnyPacksAsTheValueItHolds) {
  EXPECT_EQ(Packed(ZQ_TAny("x")), Packed(ZQ_TString("x")));
  // A ZQ_TAny spelled out by name stands for its value, never nests.
  const std::string namedAny = Bytes({0xFF, 7}) + "ZQ_TAny";
  EXPECT_STREQ(ZQ_UnpackValue(namedAny + namedAny + Bytes({1, 1, 'x'})).HeldClassName(),
               "ZQ_TString");
  EXPECT_TRUE(ZQ_UnpackValue(namedAny + Bytes({0})).IsEmpty());
}

TEST(Packing, SeedCorpusOfTheFuzzerStillUnpacks) {
  int seeds = 0;
  for (const auto& seed : std::filesystem::directory_iterator(ZQ_FUZZ_CORPUS_DIR)) {
    SCOPED_TRACE(seed.path().string());
    std::ifstream in(seed.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(Packed(ZQ_UnpackValue(bytes)), bytes);
    ++seeds;
  }
  EXPECT_GE(seeds, 5);
}

}  // namespace
