// The configuration server as a real process behind the daemon, called the
// way programs of the installation call it: through its proxy.
#include <gtest/gtest.h>
#include <signal.h>

#include "Almanac/Server/almanac_tproxy.h"
#include "middleware/middleware_helpers.h"
#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using zq_test::CatchFrom;
using zq_test::Contains;
using zq_test::Installation;

// Keys deliberately out of alphabetical order: clients rely on file order.
const char* const kConfiguration = R"({
  "Settings": {
    "zeta": {"b": 2, "a": "one"},
    "alpha": true,
    "mid": ["x", "y"]
  }
})";

// The same file with one value changed.
const char* const kChangedConfiguration = R"({
  "Settings": {
    "zeta": {"b": 3, "a": "one"},
    "alpha": false,
    "mid": ["x", "y"]
  }
})";

// Refused at line 3, column 13 (where null begins): a configuration holds
// no nulls.
const char* const kInvalidConfiguration = "{\n  \"Settings\": {\n    \"zeta\": null\n  }\n}\n";

std::vector<std::string> Texts(const ZQ_TList& list) {
  std::vector<std::string> texts;
  for (const ZQ_TAny& element : list)
    texts.push_back(element.DynamicCast<ZQ_TString>(__FILE__, __LINE__).Text());
  return texts;
}

std::vector<std::string> KeysOf(const ZQ_TAny& value) {
  return Texts(value.DynamicCast<ZQ_TTree>(__FILE__, __LINE__).Keys());
}

std::uint32_t NumberAt(Almanac_TProxy& almanac, const char* path) {
  return almanac.Element(path, false).DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__);
}

class AlmanacTest : public ::testing::Test {
 protected:
  Installation installation_{kConfiguration};
  Almanac_TProxy almanac_{""};
};

TEST_F(AlmanacTest, ExpandGivesSubtreesInFileOrderAndLeavesAsValues) {
  const ZQ_TAny settings = almanac_.Expand("Settings");
  EXPECT_EQ((std::vector<std::string>{"zeta", "alpha", "mid"}), KeysOf(settings));
  EXPECT_EQ((std::vector<std::string>{"b", "a"}),
            KeysOf(*settings.DynamicCast<ZQ_TTree>(__FILE__, __LINE__).Child("zeta")));
  EXPECT_TRUE(almanac_.Expand("Settings/").ZQ_IsIdent(settings));

  EXPECT_EQ(2u, almanac_.Expand("Settings/zeta/b").DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__));
  EXPECT_TRUE(almanac_.Expand("Settings/alpha").DynamicCast<ZQ_TBool>(__FILE__, __LINE__));
  EXPECT_EQ((std::vector<std::string>{"x", "y"}),
            Texts(almanac_.Expand("Settings/mid").DynamicCast<ZQ_TList>(__FILE__, __LINE__)));
}

TEST_F(AlmanacTest, ElementReportsAMissingPathUnlessItIsOptional) {
  const auto missing = CatchFrom([&] { almanac_.Element("Settings/zeta/nothing", false); });
  EXPECT_EQ("ZQM_EException", missing.type);
  EXPECT_TRUE(Contains(missing.message, "Settings/zeta/nothing")) << missing.message;

  EXPECT_TRUE(almanac_.Element("Settings/zeta/nothing", true).IsEmpty());
  EXPECT_EQ(ZQ_TString("one"),
            almanac_.Element("Settings/zeta/a", true).DynamicCast<ZQ_TString>(__FILE__, __LINE__));
}

TEST_F(AlmanacTest, KeysAtListsTextsInFileOrder) {
  EXPECT_EQ((std::vector<std::string>{"zeta", "alpha", "mid"}), Texts(almanac_.KeysAt("Settings")));
  EXPECT_EQ((std::vector<std::string>{"Settings"}), Texts(almanac_.KeysAt("")));
}

TEST_F(AlmanacTest, SetIsSeenUntilAReloadTakesTheRewrittenFile) {
  almanac_.RPC("Set", ZQ_TAny("Settings/added/deep"), ZQ_TAny("value"));
  EXPECT_EQ(
      ZQ_TString("value"),
      almanac_.Element("Settings/added/deep", false).DynamicCast<ZQ_TString>(__FILE__, __LINE__));
  EXPECT_EQ((std::vector<std::string>{"zeta", "alpha", "mid", "added"}),
            Texts(almanac_.KeysAt("Settings")));

  installation_.Reconfigure(kChangedConfiguration);
  EXPECT_EQ(3u, NumberAt(almanac_, "Settings/zeta/b"));
  // Set changes only the served copy; the file wins at the next reload.
  EXPECT_TRUE(almanac_.Element("Settings/added", true).IsEmpty());
}

TEST_F(AlmanacTest, SighupReloadsTheFile) {
  installation_.Dir().Write("config.json", kChangedConfiguration);
  const std::size_t mark = installation_.Almanac().LineCount();
  installation_.Almanac().Signal(SIGHUP);
  ASSERT_TRUE(installation_.Almanac().WaitForLine("Reloaded configuration", 5s, mark))
      << installation_.Almanac().Output();
  EXPECT_EQ(3u, NumberAt(almanac_, "Settings/zeta/b"));
}

TEST_F(AlmanacTest, InvalidFileOnReloadKeepsTheServedConfiguration) {
  const auto refused = CatchFrom([&] { installation_.Reconfigure(kInvalidConfiguration); });
  EXPECT_EQ("ZQM_EException", refused.type);
  EXPECT_TRUE(Contains(refused.message, installation_.Dir().File("config.json") + ":3:13"))
      << refused.message;
  EXPECT_EQ(2u, NumberAt(almanac_, "Settings/zeta/b"));

  const std::size_t mark = installation_.Almanac().LineCount();
  installation_.Almanac().Signal(SIGHUP);
  EXPECT_TRUE(installation_.Almanac().WaitForLine("Reload of .* failed.*:3:13", 5s, mark))
      << installation_.Almanac().Output();
  EXPECT_EQ(2u, NumberAt(almanac_, "Settings/zeta/b"));
}

TEST(AlmanacProgramTest, InvalidFileAtStartEndsWithStatusOneAndThePosition) {
  zq_test::TempDir dir;
  dir.Write("broken.json", "{\n  \"list\": [1, 2,]\n}\n");
  zq_test::ChildProcess almanac({zq_test::Program("almanac"), dir.File("broken.json")});
  EXPECT_EQ(1, almanac.WaitForExit(10s));
  zq_test::WaitForOutputEnd(almanac);
  // Where the parser gave up: the ']' after the trailing comma.
  EXPECT_TRUE(Contains(almanac.Output(), dir.File("broken.json") + ":2:17:")) << almanac.Output();
}

}  // namespace
