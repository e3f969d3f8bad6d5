// The almanac program against a stand-in middleware: command line, exit
// status, the order of loading and registering, and SIGHUP.
#include "Almanac/Server/program.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Almanac/Server/config_store.h"
#include "almanac_test_support.h"

namespace {

class FakeMiddleware : public almanac::Middleware {
 public:
  struct Binding {
    std::string name;
    unsigned short instance;
    unsigned short port;
  };

  bool StartedAs(ZQ_TString& name, unsigned short& instance) override {
    if (!startedAs) return false;
    name = ZQ_TString(startedAs->name);
    instance = startedAs->instance;
    return true;
  }
  void Trace(int level, const std::string& text) override { traces.push_back(text); }
  void OnSignal(int signal, std::function<void()> handler) override {
    handlers[signal] = std::move(handler);
  }
  void Bind(const ZQ_TString& name, unsigned short instance, unsigned short port) override {
    events.push_back("Bind");
    if (bindFailure) {
      ZQM_EConnectionFailed failure{ZQ_TString(*bindFailure)};
      ZQ_THROW_AT(failure, __FILE__, __LINE__);
    }
    bound = Binding{name.Text(), instance, port};
  }
  unsigned short Port() const override { return bound ? bound->port : 0; }
  // Nothing here posts from another thread: only etcd's watch does.
  void Post(std::function<void()> work) override { work(); }
  void Serve(almanac::ConfigStore& store) override {
    events.push_back("Serve");
    if (whileServing) whileServing(store);
  }

  std::optional<Binding> startedAs;
  std::optional<std::string> bindFailure;
  std::function<void(almanac::ConfigStore&)> whileServing;

  std::vector<std::string> events;
  std::vector<std::string> traces;
  std::map<int, std::function<void()>> handlers;
  std::optional<Binding> bound;
};

class AlmanacProgram : public testing::Test {
 protected:
  int Run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "almanac");
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
      argv.push_back(argument.c_str());
    return almanac::RunAlmanac(static_cast<int>(argv.size()), argv.data(), middleware_, out_, err_);
  }

  almanac_test::TempDir dir_;
  const std::string config_ = dir_.Write("cfg.json", R"({"Port": 8088})");
  FakeMiddleware middleware_;
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(AlmanacProgram, HelpSucceedsWithoutTouchingTheMiddleware) {
  EXPECT_EQ(Run({"--help"}), almanac::kExitOk);
  EXPECT_NE(out_.str().find("CONFIG"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("--instance"), std::string::npos);
  EXPECT_TRUE(middleware_.events.empty());
}

TEST_F(AlmanacProgram, WrongCommandLinesAreUsageErrors) {
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"--bogus", config_},
      {"--instance", "65536", config_},
      {"--instance", "-1", config_},
      {"--port", "http", config_},
      {"--name", "", config_},
      {config_, config_},
  };
  for (const auto& arguments : wrong) {
    err_.str("");
    EXPECT_EQ(Run(arguments), almanac::kExitUsage) << testing::PrintToString(arguments);
    EXPECT_FALSE(err_.str().empty()) << testing::PrintToString(arguments);
  }
  EXPECT_TRUE(middleware_.events.empty());
}

TEST_F(AlmanacProgram, AnInvalidConfigurationFailsBeforeRegistering) {
  const std::string bad = dir_.Write("bad.json", R"({"Port": null})");
  EXPECT_EQ(Run({bad}), almanac::kExitFailure);
  EXPECT_EQ(err_.str().rfind("almanac: " + bad + ":1:10: null is not a configuration value", 0), 0u)
      << err_.str();
  EXPECT_EQ(Run({dir_.PathOf("absent.json")}), almanac::kExitFailure);
  EXPECT_TRUE(middleware_.events.empty());
  EXPECT_TRUE(middleware_.handlers.empty());
}

TEST_F(AlmanacProgram, AnUnreachableDaemonIsAFailure) {
  middleware_.bindFailure = "no daemon on port 8088";
  EXPECT_EQ(Run({config_}), almanac::kExitFailure);
  EXPECT_EQ(err_.str(), "almanac: cannot register as Almanac instance 0: no daemon on port 8088\n");
  EXPECT_EQ(middleware_.events, std::vector<std::string>{"Bind"});
}

TEST_F(AlmanacProgram, RegistersAsToldOrAsStartedAndServesUntilTheLoopEnds) {
  EXPECT_EQ(Run({config_}), almanac::kExitOk);
  EXPECT_EQ(middleware_.events, (std::vector<std::string>{"Bind", "Serve"}));
  EXPECT_EQ(middleware_.bound->name, "Almanac");
  EXPECT_EQ(middleware_.bound->instance, 0);
  EXPECT_EQ(middleware_.bound->port, 0);

  // Started by the daemon: its name and instance, unless given explicitly.
  middleware_.startedAs = FakeMiddleware::Binding{"Almanac2", 4, 0};
  EXPECT_EQ(Run({"--port", "9000", config_}), almanac::kExitOk);
  EXPECT_EQ(middleware_.bound->name, "Almanac2");
  EXPECT_EQ(middleware_.bound->instance, 4);
  EXPECT_EQ(middleware_.bound->port, 9000);
  EXPECT_EQ(Run({"--name", "Other", "--instance", "7", config_}), almanac::kExitOk);
  EXPECT_EQ(middleware_.bound->name, "Other");
  EXPECT_EQ(middleware_.bound->instance, 7);
}

TEST_F(AlmanacProgram, SighupReloadsTheFileWhileServing) {
  middleware_.whileServing = [&](almanac::ConfigStore& store) {
    ASSERT_EQ(middleware_.handlers.count(SIGHUP), 1u);
    dir_.Write("cfg.json", R"({"Port": 9999})");
    middleware_.handlers[SIGHUP]();
    EXPECT_EQ(store.Tree().Find("Port")->DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__), 9999u);
    // A broken file on SIGHUP is traced, and serving goes on.
    dir_.Write("cfg.json", "{");
    middleware_.handlers[SIGHUP]();
    EXPECT_EQ(store.Tree().Find("Port")->DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__), 9999u);
  };
  EXPECT_EQ(Run({config_}), almanac::kExitOk);
  ASSERT_FALSE(middleware_.traces.empty());
  EXPECT_EQ(middleware_.traces.back().rfind("Reload of " + config_ + " failed", 0), 0u);
}

TEST_F(AlmanacProgram, CheckReportsEachFindingWithItsPlaceAndNeverServes) {
  struct Case {
    const char* text;
    int status;
    std::vector<std::string> findings;  // what follows "<file>:" on each line
  };
  const std::vector<Case> cases = {
      {R"({"Servers": {"ZQMD": {"Servers": {"Web": {"Program": "web", "Arguments": ["-v"],
          "NrOfInstances": 2, "AlwaysRunning": true, "User": 33, "LogFilesKept": 3}}}},
          "Devices": {"Instances": {}}, "Other": {"Anything": [1,]}})",
       almanac::kExitFailure,
       {"3:66: error: syntax error while parsing value - unexpected ']'; expected '[', '{', or a "
        "literal"}},
      {R"({"Servers": {"ZQMD": {"Servers": {"Web": {"Program": "web", "Arguments": ["-v"],
          "NrOfInstances": 2, "AlwaysRunning": true, "User": 33, "LogFilesKept": 3}}}},
          "Other": {"Anything": [1]}})",
       almanac::kExitOk,
       {" valid"}},
      {"{\"Servers\": {\"ZQMD\": {\"Servers\": {\"Web\": {\n"
       "  \"NrOfInstances\": \"2\", \"StartupOrdr\": 1,\n"
       "  \"Configurations\": [\"A\", 1], \"Plain\": 0}, \"Db\": []}}}}",
       almanac::kExitFailure,
       {"2:3: error: Servers/ZQMD/Servers/Web/NrOfInstances is a text (\"2\"), but must be a "
        "number "
        "(read by the service)",
        "2:25: warning: unknown key \"StartupOrdr\" (Servers/ZQMD/Servers/Web/StartupOrdr): "
        "neither the daemon nor the service reads it",
        "3:3: error: Servers/ZQMD/Servers/Web/Configurations is a list, but must be a list of "
        "texts "
        "(read by the service)",
        "3:31: error: Servers/ZQMD/Servers/Web/Plain is a number, but must be true or false (read "
        "by the daemon)",
        "3:44: error: Servers/ZQMD/Servers/Db is a list, but must be an object (read by the daemon "
        "and the service)",
        " 4 errors, 1 warning"}},
  };
  for (const Case& check : cases) {
    const std::string file = dir_.Write("check.json", check.text);
    out_.str("");
    EXPECT_EQ(Run({"--check", file}), check.status) << check.text;
    std::vector<std::string> expected;
    for (const std::string& finding : check.findings)
      expected.push_back(file + ":" + finding);
    if (check.findings.size() == 1 && check.findings[0].front() != ' ')
      expected.push_back(file + ": 1 error");
    std::vector<std::string> lines;
    std::istringstream printed(out_.str());
    for (std::string line; std::getline(printed, line);)
      lines.push_back(line);
    EXPECT_EQ(expected, lines) << check.text;
  }
  EXPECT_TRUE(middleware_.events.empty());
}

}  // namespace
