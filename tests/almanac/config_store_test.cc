// The configuration store as clients see it: requests as ZQ_TDict in, values
// or exceptions out, and reloads that never lose a working configuration.
#include "Almanac/Server/config_store.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "almanac_test_support.h"

namespace {

using almanac_test::FailureOf;

constexpr const char* kConfig = R"({
  "Servers": {
    "ZQMD": {"Port": 8088, "Servers": {"Almanac": {"Instances": 1}}},
    "Custodel": {"Enabled": true}
  },
  "Devices": {"Instances": {"D1": {"Name": "first"}}},
  "Hosts": ["alpha", "beta"]
})";

// A request as the server receives it: "M", then "P1", "P2", ...
template <class... Parameters>
ZQ_TDict Request(const char* method, Parameters... parameters) {
  ZQ_TDict request;
  request.Set("M", ZQ_TAny(method));
  int index = 0;
  (request.Set(ZQ_TString("P" + std::to_string(++index)), ZQ_TAny(parameters)), ...);
  return request;
}

std::vector<std::string> Texts(const ZQ_TAny& list) {
  std::vector<std::string> texts;
  for (const ZQ_TAny& element : list.DynamicCast<ZQ_TList>(__FILE__, __LINE__)) {
    texts.push_back(element.DynamicCast<ZQ_TString>(__FILE__, __LINE__).Text());
  }
  return texts;
}

class AlmanacConfigStore : public testing::Test {
 protected:
  AlmanacConfigStore()
      : path_(dir_.Write("cfg.json", kConfig)),
        store_(path_,
               [this](int level, const std::string& text) { traces_.emplace_back(level, text); }) {
    store_.Load();
  }

  ZQ_TAny Call(const ZQ_TDict& request) { return store_.Call(request); }
  std::string CallFailure(const ZQ_TDict& request) {
    return FailureOf([&] { store_.Call(request); });
  }

  almanac_test::TempDir dir_;
  std::string path_;
  std::vector<std::pair<int, std::string>> traces_;
  almanac::ConfigStore store_;
};

TEST_F(AlmanacConfigStore, ExpandGivesSubtreesLeavesAndTheWholeTree) {
  const ZQ_TAny subtree = Call(Request("Expand", "Servers/ZQMD/Servers/"));
  EXPECT_TRUE(subtree.ZQ_IsIdent(*store_.Tree().Find("Servers/ZQMD/Servers"))) << subtree;
  EXPECT_TRUE(Call(Request("Expand", "Servers/ZQMD/Servers")).ZQ_IsIdent(subtree));

  EXPECT_EQ(
      Call(Request("Expand", "Servers/ZQMD/Port")).DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__),
      8088u);
  EXPECT_EQ(Texts(Call(Request("Expand", "Hosts"))), (std::vector<std::string>{"alpha", "beta"}));
  for (const char* root : {"", "/"}) {
    EXPECT_TRUE(Call(Request("Expand", root)).ZQ_IsIdent(store_.Tree())) << "path: " << root;
  }
}

TEST_F(AlmanacConfigStore, AMissingPathNamesThePathAndWhereItLeavesTheTree) {
  EXPECT_EQ(CallFailure(Request("Expand", "Servers/Nope/Port")),
            "no entry \"Servers/Nope/Port\": \"Servers\" has no key \"Nope\"");
  EXPECT_EQ(CallFailure(Request("Expand", "Nope")),
            "no entry \"Nope\": the configuration has no key \"Nope\"");
  EXPECT_EQ(CallFailure(Request("Expand", "Servers/ZQMD/Port/x")),
            "no entry \"Servers/ZQMD/Port/x\": \"Servers/ZQMD/Port\" is a value, not a subtree");
  // Failed calls are traced for the operator; the caller has the exception.
  ASSERT_FALSE(traces_.empty());
  EXPECT_EQ(traces_.back().first, 1);
  EXPECT_EQ(traces_.back().second.rfind("Expand failed: no entry", 0), 0u);
}

TEST_F(AlmanacConfigStore, IndexOperatorGivesEmptyForMissingPathsOnlyWhenAskedTo) {
  EXPECT_TRUE(Call(Request("[]", "Devices/Instances/D2", true)).IsEmpty());
  EXPECT_TRUE(Call(Request("[]", "Hosts/0", true)).IsEmpty());
  EXPECT_EQ(CallFailure(Request("[]", "Devices/Instances/D2", false)),
            "no entry \"Devices/Instances/D2\": \"Devices/Instances\" has no key \"D2\"");
  EXPECT_EQ(CallFailure(Request("[]", "Devices/Instances/D2")),
            "no entry \"Devices/Instances/D2\": \"Devices/Instances\" has no key \"D2\"");

  const ZQ_TAny name = Call(Request("[]", "Devices/Instances/D1/Name", true));
  EXPECT_EQ(name.DynamicCast<ZQ_TString>(__FILE__, __LINE__), "first");
}

TEST_F(AlmanacConfigStore, KeysAtListsDirectKeysInFileOrder) {
  EXPECT_EQ(Texts(Call(Request("KeysAt", ""))),
            (std::vector<std::string>{"Servers", "Devices", "Hosts"}));
  EXPECT_EQ(Texts(Call(Request("KeysAt", "/"))), Texts(Call(Request("KeysAt", ""))));
  EXPECT_EQ(Texts(Call(Request("KeysAt", "Servers/"))),
            (std::vector<std::string>{"ZQMD", "Custodel"}));
  EXPECT_EQ(CallFailure(Request("KeysAt", "Servers/ZQMD/Port")),
            "\"Servers/ZQMD/Port\" is a value (ZQ_TUInt32), not a subtree with keys");
  EXPECT_EQ(CallFailure(Request("KeysAt", "Servers/X")),
            "no entry \"Servers/X\": \"Servers\" has no key \"X\"");
}

TEST_F(AlmanacConfigStore, SetCreatesSubtreesAndReplacesInPlace) {
  const char* flag = "Devices/Instances/D1/Rip/Config/TavrixControl/IsDispatcherChecked";
  EXPECT_TRUE(Call(Request("Set", flag, true)).DynamicCast<ZQ_TBool>(__FILE__, __LINE__));
  EXPECT_TRUE(Call(Request("Expand", flag)).DynamicCast<ZQ_TBool>(__FILE__, __LINE__));
  EXPECT_EQ(traces_.back(), std::make_pair(1, std::string("Set ") + flag + " = true"));

  // Replacing keeps the entry where it was.
  Call(Request("Set", "Servers/ZQMD", "replaced"));
  EXPECT_EQ(Texts(Call(Request("KeysAt", "Servers"))),
            (std::vector<std::string>{"ZQMD", "Custodel"}));
  EXPECT_EQ(Call(Request("Expand", "Servers/ZQMD")).DynamicCast<ZQ_TString>(__FILE__, __LINE__),
            "replaced");
}

TEST_F(AlmanacConfigStore, SetRefusesPathsThatWouldDestroyOrNameNothing) {
  const ZQ_TTree before = store_.Tree();
  EXPECT_EQ(CallFailure(Request("Set", "Servers/ZQMD/Port/Extra", true)),
            "cannot set \"Servers/ZQMD/Port/Extra\": \"Servers/ZQMD/Port\" is a value, not a "
            "subtree");
  EXPECT_EQ(CallFailure(Request("Set", "/", ZQ_TAny(ZQ_TTree()))),
            "cannot set \"/\": the path names the whole configuration, not an entry");
  EXPECT_EQ(CallFailure(Request("Set", "Servers/New")), "Set: parameter P2 (the value) is missing");
  EXPECT_TRUE(store_.Tree().ZQ_IsIdent(before));
}

// A tree `levels` deep: each level one subtree under "k".
ZQ_TTree Nested(unsigned levels) {
  ZQ_TTree tree;
  for (unsigned i = 1; i < levels; ++i) {
    ZQ_TTree outer;
    outer.SetChild("k", ZQ_TAny(std::move(tree)));
    tree = std::move(outer);
  }
  return tree;
}

TEST_F(AlmanacConfigStore, SetRefusesWhatTheFileLoaderRefuses) {
  const ZQ_TTree before = store_.Tree();
  // 64 levels, the root among them, are the most a file may hold.
  std::string path = "a";
  for (int i = 1; i < 64; ++i)
    path += "/a";
  EXPECT_EQ(CallFailure(Request("Set", ZQ_TString(path + "/a"), 1u)),
            "cannot set \"" + path + "/a\": the path is nested deeper than 64 levels");
  std::string deepest = "New/Deep";
  for (int i = 0; i < 62; ++i)
    deepest += "/k";
  EXPECT_EQ(CallFailure(Request("Set", "New/Deep", ZQ_TAny(Nested(63)))),
            "cannot set \"New/Deep\": \"" + deepest + "\" is nested deeper than 64 levels");
  ZQ_TTree badKey;
  badKey.SetChild("x/y", ZQ_TAny(1u));
  ZQ_TList holder;
  holder.Append(ZQ_TAny(badKey));
  EXPECT_EQ(CallFailure(Request("Set", "New", ZQ_TAny(holder))),
            "cannot set \"New\": \"New[0]\" holds the key \"x/y\", whose '/' separates the "
            "levels of a path");
  ZQ_TTree emptyKey;
  emptyKey.SetChild("", ZQ_TAny(1u));
  EXPECT_EQ(CallFailure(Request("Set", "New", ZQ_TAny(emptyKey))),
            "cannot set \"New\": \"New\" holds an empty key, which no path can reach");
  EXPECT_TRUE(store_.Tree().ZQ_IsIdent(before));

  // Right at the limit, both are taken.
  Call(Request("Set", ZQ_TString(path), 1u));
  Call(Request("Set", "New/Deep", ZQ_TAny(Nested(62))));
}

TEST_F(AlmanacConfigStore, ReloadTakesTheNewFileAndDropsSetValues) {
  Call(Request("Set", "Runtime/Flag", true));
  dir_.Write("cfg.json", R"({"Only": 1})");
  EXPECT_TRUE(Call(Request("Reload")).DynamicCast<ZQ_TBool>(__FILE__, __LINE__));
  EXPECT_EQ(Texts(Call(Request("KeysAt", ""))), (std::vector<std::string>{"Only"}));
  EXPECT_EQ(traces_.back(),
            std::make_pair(0, "Reloaded configuration " + path_ + " (1 top-level key)"));
}

TEST_F(AlmanacConfigStore, AFailedReloadKeepsTheWorkingConfiguration) {
  const ZQ_TTree before = store_.Tree();
  dir_.Write("cfg.json", "{\n  \"Servers\": null\n}");
  const std::string expected = "Reload of " + path_ +
                               " failed, keeping the previous configuration: " + path_ +
                               ":2:14: null is not a configuration value; use a string, "
                               "true/false, a number from 0 to 4294967295, an array or an object";
  EXPECT_EQ(CallFailure(Request("Reload")), expected);
  EXPECT_EQ(traces_.back(), std::make_pair(0, expected));
  EXPECT_TRUE(store_.Tree().ZQ_IsIdent(before));

  // On SIGHUP nobody waits for an answer: the failure is only traced.
  std::filesystem::remove(path_);
  traces_.clear();
  EXPECT_FALSE(store_.ReloadOnSignal());
  ASSERT_EQ(traces_.size(), 1u);
  EXPECT_EQ(traces_[0].second, "Reload of " + path_ +
                                   " failed, keeping the previous configuration: " + path_ +
                                   ": No such file or directory");
  EXPECT_TRUE(store_.Tree().ZQ_IsIdent(before));

  dir_.Write("cfg.json", R"({"Back": true})");
  EXPECT_TRUE(store_.ReloadOnSignal());
  EXPECT_NE(store_.Tree().Find("Back"), nullptr);
}

TEST_F(AlmanacConfigStore, TheFirstLoadIsTraced) {
  ASSERT_FALSE(traces_.empty());
  EXPECT_EQ(traces_.front(),
            std::make_pair(0, "Loaded configuration " + path_ + " (3 top-level keys)"));
}

TEST_F(AlmanacConfigStore, BadRequestsSayWhatIsWrong) {
  EXPECT_EQ(FailureOf<ZQM_ENoSuchServerMethod>([&] { Call(Request("expand", "Servers")); }),
            "expand");
  EXPECT_EQ(CallFailure(ZQ_TDict()), "the request names no method: \"M\" must hold a ZQ_TString");
  EXPECT_EQ(CallFailure(Request("Expand")), "Expand: parameter P1 (the path) is missing");
  EXPECT_EQ(CallFailure(Request("KeysAt", ZQ_TAny(ZQ_TUInt32(3)))),
            "KeysAt: parameter P1 (the path) must be a ZQ_TString, not a ZQ_TUInt32");
  EXPECT_EQ(CallFailure(Request("[]", "Hosts", "yes")),
            "[]: parameter P2 (missing is empty) must be a ZQ_TBool, not a ZQ_TString");
}

}  // namespace
