// Loading the configuration file: the mapping of JSON onto the type library,
// what is refused, and the exact line and column every refusal points at.
#include "Almanac/Server/config_file.h"

#include <gtest/gtest.h>

#include <string>

#include "almanac_test_support.h"

namespace {

using almanac::ParseConfigText;
using almanac_test::FailureOf;

std::string ParseFailure(const std::string& text) {
  return FailureOf([&] { ParseConfigText(text, "cfg.json"); });
}

TEST(AlmanacConfigFile, MapsEveryKindOfValueAndKeepsKeysInFileOrder) {
  const ZQ_TTree tree = ParseConfigText(R"({
    "zeta": "text \u00e9\n",
    "alpha": {"on": true, "off": false, "empty": {}},
    "limits": [0, 4294967295, [], ["nested"]]
  })",
                                        "cfg.json");

  ZQ_TTree alpha;
  alpha.SetChild("on", ZQ_TAny(true));
  alpha.SetChild("off", ZQ_TAny(false));
  alpha.SetChild("empty", ZQ_TAny(ZQ_TTree()));
  ZQ_TList nested;
  nested.Append(ZQ_TAny("nested"));
  ZQ_TList limits;
  limits.Append(ZQ_TAny(ZQ_TUInt32(0)));
  limits.Append(ZQ_TAny(ZQ_TUInt32(4294967295u)));
  limits.Append(ZQ_TAny(ZQ_TList()));
  limits.Append(ZQ_TAny(nested));
  ZQ_TTree expected;
  expected.SetChild("zeta", ZQ_TAny("text \xC3\xA9\n"));
  expected.SetChild("alpha", ZQ_TAny(alpha));
  expected.SetChild("limits", ZQ_TAny(limits));

  EXPECT_TRUE(tree.ZQ_IsIdent(expected)) << tree;
  // Order is the file's, not sorted.
  EXPECT_EQ(tree.Entries().front().first, "zeta");
}

TEST(AlmanacConfigFile, NestingUpToTheLimitIsAcceptedOneLevelMoreIsNot) {
  auto nested = [](unsigned depth) {
    std::string text = "{";
    for (unsigned level = 1; level < depth; ++level)
      text += "\"a\":{";
    return text + std::string(depth, '}');
  };
  const ZQ_TTree deepest = ParseConfigText(nested(almanac::kMaxConfigDepth), "cfg.json");
  std::string path;
  for (unsigned level = 1; level < almanac::kMaxConfigDepth; ++level)
    path += "a/";
  EXPECT_NE(deepest.FindTree(ZQ_TString(path)), nullptr);

  const std::string tooDeep = nested(almanac::kMaxConfigDepth + 1);
  EXPECT_EQ(ParseFailure(tooDeep), "cfg.json:1:" + std::to_string(tooDeep.rfind('{') + 1) +
                                       ": nested deeper than 64 levels");

  // Arrays count as levels as well.
  std::string arrays = "{\"a\":" + std::string(almanac::kMaxConfigDepth, '[') +
                       std::string(almanac::kMaxConfigDepth, ']') + "}";
  EXPECT_EQ(ParseFailure(arrays), "cfg.json:1:" + std::to_string(5 + almanac::kMaxConfigDepth) +
                                      ": nested deeper than 64 levels");
}

struct Refusal {
  const char* name;
  const char* text;
  const char* where;   // "line:column"
  const char* reason;  // how the message goes on after the position
};

// Names the cases in test names and output by their name, not by their bytes.
void PrintTo(const Refusal& refusal, std::ostream* out) {
  *out << refusal.name;
}

class AlmanacConfigFileRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(AlmanacConfigFileRefusal, PointsAtTheOffendingValue) {
  const std::string expected =
      std::string("cfg.json:") + GetParam().where + ": " + GetParam().reason;
  const std::string message = ParseFailure(GetParam().text);
  EXPECT_EQ(message.substr(0, expected.size()), expected) << "input: " << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Values, AlmanacConfigFileRefusal,
    testing::Values(
        Refusal{"Null", R"({"a": null})", "1:7",
                "null is not a configuration value; use a string, true/false, a number from 0 to "
                "4294967295, an array or an object"},
        Refusal{"NegativeLaterLine", "{\n  \"a\": 1,\n  \"b\": -5\n}", "3:8",
                "-5 is not a configuration value; numbers go from 0 to 4294967295"},
        // A number at the very end of the input has no character after it.
        Refusal{"NegativeAtEnd", R"({"a": -12)", "1:7", "-12 is not"},
        Refusal{"FractionAfterTabs", "{\n\t\"a\":\t1.5\n}", "2:7",
                "1.5 is not a configuration value; numbers are whole, without fraction or "
                "exponent, from 0 to 4294967295"},
        Refusal{"ExponentInArray", R"({"a": [1e3]})", "1:8", "1e3 is not"},
        Refusal{"FloatOverflow", R"({"a": 1e999})", "1:7", "1e999 is not"},
        Refusal{"NullInArray", R"({"list": [1, 2, null, 4]})", "1:17", "null is not"},
        Refusal{"TooLargeNested", "{\n  \"outer\": {\n    \"inner\": {\"x\": 4294967296}\n  }\n}",
                "3:20", "4294967296 is too large; numbers go from 0 to 4294967295"},
        Refusal{"Beyond64Bits", R"({"a": 18446744073709551616})", "1:7",
                "18446744073709551616 is too large"},
        // Escaped quotes and backslashes inside strings before the value.
        Refusal{"AfterEscapedQuote", R"({"x\"y\\": null})", "1:12", "null is not"},
        // Characters, not bytes: "ö" and "ß" take two bytes each.
        Refusal{"Multibyte",
                "{\"gr\xC3\xB6\xC3\x9F"
                "e\": null}",
                "1:11", "null is not"},
        Refusal{"ByteOrderMark", "\xEF\xBB\xBF{\"a\": 1.0}", "1:7", "1.0 is not"}),
    testing::PrintToStringParamName());

INSTANTIATE_TEST_SUITE_P(
    Structure, AlmanacConfigFileRefusal,
    testing::Values(Refusal{"RootArray", "  [1]", "1:3",
                            "the configuration must be a JSON object, not an array"},
                    Refusal{"RootString", "\n\"x\"", "2:1",
                            "the configuration must be a JSON object, not a string"},
                    Refusal{"DuplicateKey", "{\"a\": 1,\n \"a\": 2}", "2:2",
                            "duplicate key \"a\" (first at line 1, column 2)"},
                    // The key ends in an escaped backslash, so its closing quote follows one.
                    Refusal{"DuplicateKeyWithEscapes", R"({"k": {"a\\": 1, "b": 2, "a\\": 3}})",
                            "1:26", R"(duplicate key "a\" (first at line 1, column 8))"},
                    // The same key in different objects is no duplicate.
                    Refusal{"EmptyKey", R"({"a": {"x": 1}, "b": {"x": 1, "": 2}})", "1:31",
                            "empty key; an entry without a name cannot be reached by a path"},
                    Refusal{"SlashInKey", R"({"a": {"b/c": 1}})", "1:8",
                            "key \"b/c\" contains '/', which separates the levels of a path"}),
    testing::PrintToStringParamName());

INSTANTIATE_TEST_SUITE_P(
    Syntax, AlmanacConfigFileRefusal,
    testing::Values(
        // An unexpected token: reported at its start.
        Refusal{"MissingComma", "{\"a\": 1\n \"b\": 2}", "2:2",
                "syntax error while parsing object - unexpected string literal; expected '}'"},
        Refusal{"TrailingComma", R"({"a": 1,})", "1:9",
                "syntax error while parsing object key - unexpected '}'"},
        Refusal{"UnexpectedLiteral", R"({"a": 1 true})", "1:9",
                "syntax error while parsing object - unexpected true literal"},
        Refusal{"ContentAfterRoot", "{} {}", "1:4",
                "syntax error while parsing value - unexpected '{'; expected end of input"},
        // A token the scanner cannot finish: reported at the character that broke it,
        // without the parser's "last read", which holds earlier tokens as well.
        Refusal{"InvalidLiteral", R"({"a": nul})", "1:10",
                "syntax error while parsing value - invalid literal"},
        Refusal{"InvalidKey", R"({nul: 1})", "1:5",
                "syntax error while parsing object key - invalid literal; expected string literal"},
        // The end of the input: just past the last character.
        Refusal{"UnexpectedEnd", "{\"a\": 1", "1:8",
                "syntax error while parsing object - unexpected end of input; expected '}'"},
        Refusal{"EmptyFile", "", "1:1", "syntax error while parsing value - unexpected end"}),
    testing::PrintToStringParamName());

class AlmanacConfigFileOnDisk : public testing::Test {
 protected:
  almanac_test::TempDir dir_;
};

TEST_F(AlmanacConfigFileOnDisk, ReadsTheFileAndNamesItInMessages) {
  const std::string good = dir_.Write("good.json", R"({"Port": 8088})");
  const ZQ_TTree tree = almanac::LoadConfigFile(good);
  ASSERT_NE(tree.Find("Port"), nullptr);
  EXPECT_EQ(tree.Find("Port")->DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__), 8088u);

  const std::string bad = dir_.Write("bad.json", "{\n  \"Port\": null\n}\n");
  EXPECT_EQ(FailureOf([&] { almanac::LoadConfigFile(bad); }).rfind(bad + ":2:11: null is", 0), 0u);
}

TEST_F(AlmanacConfigFileOnDisk, UnreadableFilesGiveTheSystemsReason) {
  const std::string missing = dir_.PathOf("missing.json");
  EXPECT_EQ(FailureOf([&] { almanac::LoadConfigFile(missing); }),
            missing + ": No such file or directory");
  const std::string directory = dir_.PathOf("");
  EXPECT_EQ(FailureOf([&] { almanac::LoadConfigFile(directory); }), directory + ": Is a directory");
}

}  // namespace
