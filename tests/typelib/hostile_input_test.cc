// The unpacker against data that no packer wrote: truncated, inconsistent or
// built to exhaust memory or stack. Each must be refused with ZQ_EMalformed
// saying what is wrong and at which byte. The data is always handed over in
// a heap block of exactly its size, so that a read past the end shows up
// under AddressSanitizer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "typelib/dodived.h"

namespace {

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;

constexpr char kString = 1, kBool = 2, kUInt16 = 3, kUInt32 = 4, kList = 5, kDict = 6, kTree = 7,
               kException = 8;
constexpr char kNamed = '\xFF';

std::string Varint(std::uint64_t value) {
  std::string out;
  for (; value >= 0x80; value >>= 7)
    out += static_cast<char>((value & 0x7F) | 0x80);
  return out + static_cast<char>(value);
}

std::string Text(std::string_view text) {
  return Varint(text.size()) + std::string(text);
}

std::string Tag(char tag) {
  return std::string(1, tag);
}

std::string Named(std::string_view className) {
  return Tag(kNamed) + Text(className);
}

ZQ_TAny UnpackExact(const std::string& bytes) {
  const auto block = std::make_unique<char[]>(bytes.size());
  if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
  return ZQ_UnpackValue(std::string_view(block.get(), bytes.size()));
}

// The message of the ZQ_EMalformed that unpacking `bytes` throws.
std::string Refusal(const std::string& bytes) {
  try {
    UnpackExact(bytes);
  } catch (const ZQ_EMalformed& e) {
    return e.ZQ_Message().Text();
  }
  ADD_FAILURE() << "accepted " << bytes.size() << " bytes";
  return "";
}

std::string At(std::size_t offset, std::size_t size) {
  return " at byte " + std::to_string(offset) + " of " + std::to_string(size);
}

TEST(HostileInput, EveryTruncationIsRefused) {
  ZQ_EBadCast failure(ZQ_TString("expected ZQ_TList"));
  failure.ZQ_Data() = ZQ_TUInt16(7);
  failure.__PREPARE_FOR_THROW__(300, "client.cc");
  failure.ZQ_AddTrace("Call");
  ZQ_TTree tree;
  tree.Set("servers/alpha/port", ZQ_TUInt16(4711));
  tree.Set("servers/alpha/up", true);
  tree.Set("servers/alpha/failure", failure);
  ZQ_TDict dict;
  dict.Set("M", 4294967295u);
  dict.Set("P1", tree);
  const std::string whole = ZQ_PackValue(&dict);

  const std::regex located(".* at byte ([0-9]+) of ([0-9]+)");
  for (std::size_t size = 0; size < whole.size(); ++size) {
    const std::string message = Refusal(whole.substr(0, size));
    std::smatch match;
    ASSERT_TRUE(std::regex_match(message, match, located)) << size << ": " << message;
    EXPECT_LE(std::stoul(match[1]), size) << message;
    EXPECT_EQ(std::stoul(match[2]), size) << message;
  }
  EXPECT_TRUE(UnpackExact(whole).ZQ_IsIdent(dict));
}

TEST(HostileInput, LengthsBeyondTheData) {
  EXPECT_EQ(Refusal(Tag(kString) + Varint(10) + "abc"),
            "malformed packed data: string of 10 bytes, only 3 left" + At(1, 5));
  EXPECT_THAT(Refusal(Tag(kNamed) + Varint(40) + "ZQ_TString"),
              AllOf(HasSubstr("class name of 40 bytes"), EndsWith(At(1, 12))));
  EXPECT_THAT(Refusal(Tag(kTree) + Varint(1) + Varint(5) + "ab"),
              AllOf(HasSubstr("tree key of 5 bytes"), EndsWith(At(2, 5))));
}

TEST(HostileInput, AbsurdCountsAreRefusedBeforeAllocating) {
  const std::uint64_t huge = std::uint64_t{1} << 60;
  EXPECT_THAT(Refusal(Tag(kList) + Varint(huge) + std::string(8, '\0')),
              AllOf(HasSubstr("list length 1152921504606846976 exceeds the 8 bytes left"),
                    EndsWith(At(1, 18))));
  EXPECT_THAT(Refusal(Tag(kTree) + Varint(UINT64_MAX)), HasSubstr("tree size"));
  EXPECT_THAT(Refusal(Tag(kException) + Text("") + Tag(0) + Text("") + Varint(0) + Varint(huge)),
              AllOf(HasSubstr("list length"), EndsWith(At(5, 14))));
  // One more element than bytes: counted, not read.
  EXPECT_THAT(Refusal(Tag(kList) + Varint(3) + Tag(0) + Tag(0)), HasSubstr("exceeds the 2 bytes"));
}

TEST(HostileInput, UnknownTagsAndClasses) {
  for (char tag : {'\x09', '\xB5', '\xFE'}) {
    EXPECT_THAT(Refusal(Tag(tag)), AllOf(HasSubstr("unknown value tag"), EndsWith(At(0, 1))));
  }
  EXPECT_THAT(Refusal(Tag(kList) + Varint(2) + Tag(0) + Tag('\x09')),
              AllOf(HasSubstr("unknown value tag 9"), EndsWith(At(3, 4))));

  for (const std::string& name : {std::string("ZQ_TNoSuchClass"), std::string("zq_tstring"),
                                  std::string(""), std::string("ZQ_TObject")}) {
    const std::string bytes = Named(name) + Text("x");
    EXPECT_THAT(Refusal(bytes),
                AllOf(HasSubstr("unknown or unpackable class"), EndsWith(At(0, bytes.size()))))
        << name;
  }
  // Class names are looked up as C strings; what follows a NUL must not be
  // ignored.
  const std::string bytes = Named(std::string("ZQ_TString\0junk", 15)) + Text("x");
  EXPECT_THAT(Refusal(bytes), AllOf(HasSubstr("NUL"), EndsWith(At(0, bytes.size()))));
}

TEST(HostileInput, DeepNestingFailsCleanly) {
  std::string lists;
  for (int i = 0; i < 100000; ++i)
    lists += Tag(kList) + Varint(1);
  lists += Tag(0);
  EXPECT_THAT(Refusal(lists),
              AllOf(HasSubstr("nested deeper than 64 levels"), EndsWith(At(2 * 64, lists.size()))));

  std::string anys;
  for (int i = 0; i < 100000; ++i)
    anys += Named("ZQ_TAny");
  anys += Tag(0);
  EXPECT_THAT(Refusal(anys), HasSubstr("nested deeper than 64 levels"));
}

TEST(HostileInput, NumberOfValuesIsBounded) {
  const std::size_t count = ZQ_TBinaryUnpacker::kMaxValues + 1;
  // An empty value is one byte of input but a whole ZQ_TAny in memory.
  const std::string empties = Tag(kList) + Varint(count) + std::string(count, '\0');
  EXPECT_THAT(Refusal(empties), HasSubstr("more than 1000000 values"));
}

TEST(HostileInput, TrailingBytes) {
  EXPECT_EQ(Refusal(Tag(kString) + Text("a") + "xy"),
            "malformed packed data: 2 trailing bytes after the value" + At(3, 5));
}

TEST(HostileInput, NumbersTooLongOrTooLarge) {
  EXPECT_THAT(Refusal(Tag(kList) + std::string(10, '\x80') + Varint(1)),
              AllOf(HasSubstr("list length longer than 64 bits"), EndsWith(At(1, 12))));
  EXPECT_THAT(Refusal(Tag(kUInt16) + Varint(65536)),
              AllOf(HasSubstr("ZQ_TUInt16 65536 exceeds 65535"), EndsWith(At(1, 4))));
  EXPECT_THAT(Refusal(Tag(kException) + Text("") + Tag(0) + Text("") + Varint(1ull << 32)),
              HasSubstr("exception line 4294967296 exceeds"));
  EXPECT_THAT(Refusal(Tag(kUInt32) + std::string(3, '\x80')),
              AllOf(HasSubstr("truncated data, expected ZQ_TUInt32"), EndsWith(At(4, 4))));
}

TEST(HostileInput, BoolBytesOtherThanZeroOrOne) {
  EXPECT_EQ(Refusal(Tag(kBool) + Tag(2)),
            "malformed packed data: invalid ZQ_TBool byte 2" + At(1, 2));
}

TEST(HostileInput, DictionaryKeysOutOfOrderAndRepeatedTreeKeys) {
  const std::string disordered = Tag(kDict) + Varint(2) + Text("b") + Tag(0) + Text("a") + Tag(0);
  EXPECT_EQ(Refusal(disordered),
            "malformed packed data: dictionary key \"a\" out of order or repeated" + At(5, 8));
  // Nested, the offset is still the key's.
  EXPECT_THAT(Refusal(Tag(kList) + Varint(1) + disordered), EndsWith(At(7, 10)));

  const std::string repeated =
      Tag(kTree) + Varint(3) + Text("k") + Tag(0) + Text("j") + Tag(0) + Text("k") + Tag(0);
  EXPECT_EQ(Refusal(repeated), "malformed packed data: tree key \"k\" repeated" + At(8, 11));
}

TEST(HostileInput, WrongSections) {
  const ZQ_EMalformed malformed;
  const std::string good = ZQ_PackValue(&malformed);
  const std::size_t section = good.find('\xB5');
  ASSERT_NE(section, std::string::npos);
  ASSERT_EQ(good.back(), '\xE5');

  std::string renamed = good;
  renamed.replace(section + 2, 13, "ZQ_EExceptioN");
  EXPECT_THAT(Refusal(renamed),
              AllOf(HasSubstr("section of class \"ZQ_EExceptioN\" where class ZQ_EException"),
                    EndsWith(At(section + 1, good.size()))));

  std::string unmarked = good;
  unmarked[section] = kString;
  EXPECT_THAT(Refusal(unmarked), AllOf(HasSubstr("expected the section of class ZQ_EException"),
                                       EndsWith(At(section, good.size()))));

  std::string unterminated = good;
  unterminated.back() = '\0';
  EXPECT_THAT(Refusal(unterminated),
              AllOf(HasSubstr("expected the end of the section of class ZQ_EException"),
                    EndsWith(At(good.size() - 1, good.size()))));
}

// 16-byte keys that all hash alike under libstdc++'s std::hash (its 64-bit
// multiply-and-mix over 8-byte blocks, which is invertible): the first block
// counts, the second cancels what the first did to the state.
std::vector<std::string> KeysCollidingUnderStdHash(std::size_t count) {
  constexpr std::uint64_t kMul = (std::uint64_t{0xc6a4a793} << 32) + 0x5bd1e995;
  constexpr std::uint64_t kSeed = 0xc70f6907;
  std::uint64_t inverse = kMul;  // Newton's iteration, modulo 2^64
  for (int i = 0; i < 5; ++i)
    inverse *= 2 - kMul * inverse;
  const auto mix = [](std::uint64_t v) { return v ^ (v >> 47); };  // its own inverse
  std::vector<std::string> keys;
  for (std::uint64_t first = 0; first < count; ++first) {
    const std::uint64_t state = ((kSeed ^ (16 * kMul)) ^ (mix(first * kMul) * kMul)) * kMul;
    const std::uint64_t second = mix(state * inverse) * inverse;  // its block data equals `state`
    std::string key(16, '\0');
    std::memcpy(key.data(), &first, 8);
    std::memcpy(key.data() + 8, &second, 8);
    keys.push_back(std::move(key));
  }
  return keys;
}

std::chrono::steady_clock::duration UnpackTime(const std::vector<std::string>& keys) {
  std::string packed = Tag(kTree) + Varint(keys.size());
  for (const std::string& key : keys)
    packed += Text(key) + Tag(0);
  const auto start = std::chrono::steady_clock::now();
  const ZQ_TAny tree = UnpackExact(packed);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(keys.size(), tree.DynamicCast<ZQ_TTree>(__FILE__, __LINE__).Count());
  return took;
}

TEST(HostileInput, TreeKeysCraftedToCollideCostNoMoreThanOthers) {
  constexpr std::size_t kCount = 50'000;
  const std::vector<std::string> colliding = KeysCollidingUnderStdHash(kCount);
  const std::hash<std::string> hash;
  if (hash(colliding[0]) != hash(colliding[1]) || hash(colliding[0]) != hash(colliding.back()))
    GTEST_SKIP() << "this standard library hashes strings differently";
  std::vector<std::string> ordinary;
  for (std::size_t i = 0; i < kCount; ++i)
    ordinary.push_back("key-" + std::to_string(i));
  // Time against time on the same machine: an index that the keys can steer
  // into one bucket takes thousands of times longer.
  const auto usual = UnpackTime(ordinary);
  const auto crafted = UnpackTime(colliding);
  EXPECT_LT(crafted, 10 * usual + std::chrono::milliseconds(200))
      << std::chrono::duration_cast<std::chrono::milliseconds>(crafted).count() << " ms against "
      << std::chrono::duration_cast<std::chrono::milliseconds>(usual).count() << " ms";
}

}  // namespace
