// The daemon's reading of a server's launch configuration, without any
// process: what a well-formed entry yields, and how a malformed one is
// refused before anything is started.
#include <gtest/gtest.h>

#include <cctype>

#include "DEVUror/devuror.h"
#include "zqmd/launch_config.h"

namespace {

using zqmd::ReadLaunchConfig;

ZQ_TTree Server(std::initializer_list<std::pair<const char*, ZQ_TAny>> entries) {
  ZQ_TTree tree;
  for (const auto& [key, value] : entries)
    tree.Set(key, value);
  return tree;
}

ZQ_TList TextList(std::initializer_list<const char*> texts) {
  ZQ_TList list;
  for (const char* text : texts)
    list.Append(ZQ_TAny(text));
  return list;
}

TEST(LaunchConfigTest, ProgramAloneTakesTheDefaults) {
  const auto launch = ReadLaunchConfig(Server({{"Program", "sample_server"}}), "Sample", 1);
  EXPECT_EQ("sample_server", launch.program);
  EXPECT_TRUE(launch.arguments.empty());
  EXPECT_TRUE(launch.environment.empty());
  EXPECT_EQ("", launch.workingDirectory);
  EXPECT_FALSE(launch.plain);
  EXPECT_EQ(10000u, launch.startTimeoutMs);
  EXPECT_EQ("", launch.user);
  EXPECT_EQ("", launch.group);
  EXPECT_FALSE(launch.backoff.Enabled());
}

TEST(LaunchConfigTest, ReadsEveryKeyAndReplacesPlaceholders) {
  ZQ_TTree environment;
  environment.Set("LOG_NAME", ZQ_TAny("{name}-{instance}.out"));
  environment.Set("PLAIN_VALUE", ZQ_TAny("untouched {other}"));
  const ZQ_TTree server =
      Server({{"Program", "/opt/bin/{name}"},
              {"Arguments", TextList({"--id={name}{instance}{name}", "{instance}", "", "{nam}"})},
              {"Environment", environment},
              {"WorkingDirectory", "/srv/{name}/{instance}"},
              {"Plain", true},
              {"StartTimeout", 500u},
              {"User", "svc-{name}"},
              {"Group", 1200u},
              {"BackoffMinimumUptime", 2000u},
              {"BackoffInitialDelay", 50u},
              {"BackoffMaximumDelay", 800u},
              {"MemoryMax", "3G"},
              {"CPUWeight", 10000u},
              {"TasksMax", 1u}});
  const auto launch = ReadLaunchConfig(server, "Web", 12);

  // Placeholders belong to arguments, environment and folder only.
  EXPECT_EQ("/opt/bin/{name}", launch.program);
  EXPECT_EQ((std::vector<std::string>{"--id=Web12Web", "12", "", "{nam}"}), launch.arguments);
  EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{
                {"LOG_NAME", "Web-12.out"}, {"PLAIN_VALUE", "untouched {other}"}}),
            launch.environment);
  EXPECT_EQ("/srv/Web/12", launch.workingDirectory);
  EXPECT_TRUE(launch.plain);
  EXPECT_EQ(500u, launch.startTimeoutMs);
  // Accounts are taken as written; a number becomes its digits.
  EXPECT_EQ("svc-{name}", launch.user);
  EXPECT_EQ("1200", launch.group);
  EXPECT_EQ(2000u, launch.backoff.minimumUptimeMs);
  EXPECT_EQ(50u, launch.backoff.initialDelayMs);
  EXPECT_EQ(800u, launch.backoff.maximumDelayMs);
  // Beyond what a number of the configuration holds.
  EXPECT_EQ(3ull << 30, launch.limits.memoryMax);
  EXPECT_EQ(10000u, launch.limits.cpuWeight);
  EXPECT_EQ(1u, launch.limits.tasksMax);
  EXPECT_EQ(
      4096u,
      ReadLaunchConfig(Server({{"Program", "p"}, {"MemoryMax", 4096u}}), "W", 1).limits.memoryMax);
}

ZQ_TTree Check(std::initializer_list<std::pair<const char*, ZQ_TAny>> entries) {
  return Server(entries);
}

TEST(LaunchConfigTest, ReadsReadinessAndHealthCheckWithTheirDefaults) {
  const auto plain = ReadLaunchConfig(Server({{"Program", "p"}}), "Web", 1);
  EXPECT_EQ(zqmd::Readiness::Kind::kNone, plain.readiness.kind);
  EXPECT_FALSE(plain.health.Enabled());

  const auto notify = ReadLaunchConfig(
      Server({{"Program", "p"}, {"Readiness", "notify"}, {"HealthCheck", Check({{"Tcp", 8080u}})}}),
      "Web", 1);
  EXPECT_EQ(zqmd::Readiness::Kind::kNotify, notify.readiness.kind);
  EXPECT_EQ(8080, notify.health.probe.port);
  EXPECT_EQ("", notify.health.probe.httpPath);
  EXPECT_EQ(10000u, notify.health.intervalMs);
  EXPECT_EQ(2000u, notify.health.timeoutMs);
  EXPECT_EQ(3u, notify.health.failuresBeforeRestart);

  const auto tcp = ReadLaunchConfig(
      Server({{"Program", "p"},
              {"Readiness", "tcp:65535"},
              {"HealthCheck", Check({{"Command", TextList({"check-{name}", "{instance}"})},
                                     {"IntervalMs", 500u},
                                     {"TimeoutMs", 500u},
                                     {"FailuresBeforeRestart", 1u}})}}),
      "Web", 4);
  EXPECT_EQ(zqmd::Readiness::Kind::kProbe, tcp.readiness.kind);
  EXPECT_EQ(65535, tcp.readiness.probe.port);
  EXPECT_EQ((std::vector<std::string>{"check-Web", "4"}), tcp.health.command);
  EXPECT_EQ(500u, tcp.health.timeoutMs);
  EXPECT_EQ(1u, tcp.health.failuresBeforeRestart);

  const auto http = ReadLaunchConfig(
      Server({{"Program", "p"},
              {"Readiness", "http://127.0.0.1:8080"},
              {"HealthCheck", Check({{"Http", "http://127.0.0.1:81/healthz?full=1"}})}}),
      "Web", 1);
  EXPECT_EQ("/", http.readiness.probe.httpPath);  // no path: the root
  EXPECT_EQ(81, http.health.probe.port);
  EXPECT_EQ("/healthz?full=1", http.health.probe.httpPath);
}

TEST(LaunchConfigTest, CommandLineQuotesArgumentsThatWouldSplit) {
  zqmd::LaunchConfig launch;
  launch.program = "sh";
  launch.arguments = {"-c", "echo hi", ""};
  EXPECT_EQ("sh -c 'echo hi' ''", zqmd::CommandLine(launch));
}

struct Refusal {
  const char* what;
  ZQ_TTree server;
  const char* named;  // what the message must name
};

// Names the case in test output by its description, not by its bytes.
void PrintTo(const Refusal& refusal, std::ostream* out) {
  *out << refusal.what;
}

class LaunchConfigRefusalTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(LaunchConfigRefusalTest, NamesTheServerAndTheKey) {
  try {
    ReadLaunchConfig(GetParam().server, "Broken", 0);
    FAIL() << GetParam().what << " was accepted";
  } catch (const ZQM_ENoSuchServer& refused) {
    const std::string message = refused.ZQ_Message().Text();
    EXPECT_NE(std::string::npos, message.find("\"Broken\"")) << message;
    EXPECT_NE(std::string::npos, message.find(GetParam().named)) << message;
  }
}

ZQ_TTree EnvironmentWithNumber() {
  ZQ_TTree environment;
  environment.Set("GOOD", ZQ_TAny("text"));
  environment.Set("COUNT", ZQ_TAny(4u));
  return Server({{"Program", "p"}, {"Environment", environment}});
}

// "a number in Environment" gives "ANumberInEnvironment".
std::string CaseName(const ::testing::TestParamInfo<Refusal>& info) {
  std::string name;
  for (const char* c = info.param.what; *c != 0; ++c) {
    const bool wordStart = c == info.param.what || c[-1] == ' ';
    if (std::isalnum(static_cast<unsigned char>(*c))) name += wordStart ? std::toupper(*c) : *c;
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(
    WrongKinds, LaunchConfigRefusalTest,
    ::testing::Values(
        Refusal{"no Program", Server({{"Arguments", TextList({"x"})}}), "\"Program\""},
        Refusal{"an empty Program", Server({{"Program", ""}}), "\"Program\""},
        Refusal{"a numeric Program", Server({{"Program", 7u}}), "\"Program\""},
        Refusal{"Arguments as one text", Server({{"Program", "p"}, {"Arguments", "-v"}}),
                "\"Arguments\""},
        Refusal{"a number among Arguments",
                Server({{"Program", "p"},
                        {"Arguments",
                         [] {
                           ZQ_TList list = TextList({"-v"});
                           list.Append(ZQ_TAny(3u));
                           return list;
                         }()}}),
                "\"Arguments\""},
        Refusal{"Environment as a list", Server({{"Program", "p"}, {"Environment", TextList({})}}),
                "\"Environment\""},
        Refusal{"a number in Environment", EnvironmentWithNumber(), "Environment/COUNT"},
        Refusal{"Plain as a text", Server({{"Program", "p"}, {"Plain", "yes"}}), "\"Plain\""},
        Refusal{"StartTimeout as a text", Server({{"Program", "p"}, {"StartTimeout", "500"}}),
                "\"StartTimeout\""},
        Refusal{"StartTimeout as a flag", Server({{"Program", "p"}, {"StartTimeout", true}}),
                "\"StartTimeout\""},
        Refusal{"WorkingDirectory as a number",
                Server({{"Program", "p"}, {"WorkingDirectory", 1u}}), "\"WorkingDirectory\""},
        Refusal{"an empty User", Server({{"Program", "p"}, {"User", ""}}), "\"User\""},
        Refusal{"Group as a flag", Server({{"Program", "p"}, {"Group", false}}), "\"Group\""},
        Refusal{"BackoffMinimumUptime as a text",
                Server({{"Program", "p"}, {"BackoffMinimumUptime", "1s"}}),
                "\"BackoffMinimumUptime\""},
        Refusal{"a BackoffInitialDelay above the maximum",
                Server({{"Program", "p"},
                        {"BackoffInitialDelay", 900u},
                        {"BackoffMaximumDelay", 800u}}),
                "\"BackoffMaximumDelay\""},
        Refusal{"MemoryMax with an unknown unit", Server({{"Program", "p"}, {"MemoryMax", "5MB"}}),
                "\"MemoryMax\""},
        Refusal{"MemoryMax without digits", Server({{"Program", "p"}, {"MemoryMax", "G"}}),
                "\"MemoryMax\""},
        Refusal{"MemoryMax of thirteen digits",
                Server({{"Program", "p"}, {"MemoryMax", "1234567890123"}}), "\"MemoryMax\""},
        Refusal{"a CPUWeight of 0", Server({{"Program", "p"}, {"CPUWeight", 0u}}), "\"CPUWeight\""},
        Refusal{"a CPUWeight above 10000", Server({{"Program", "p"}, {"CPUWeight", 10001u}}),
                "\"CPUWeight\""},
        Refusal{"a TasksMax of 0", Server({{"Program", "p"}, {"TasksMax", 0u}}), "\"TasksMax\""}),
    CaseName);

ZQ_TTree WithCheck(ZQ_TTree check) {
  return Server({{"Program", "p"}, {"HealthCheck", check}});
}

INSTANTIATE_TEST_SUITE_P(
    ReadinessAndHealth, LaunchConfigRefusalTest,
    ::testing::Values(
        Refusal{"an unknown Readiness", Server({{"Program", "p"}, {"Readiness", "ready"}}),
                "\"notify\""},
        Refusal{"a tcp Readiness without port", Server({{"Program", "p"}, {"Readiness", "tcp:"}}),
                "\"Readiness\""},
        Refusal{"a tcp Readiness port above 65535",
                Server({{"Program", "p"}, {"Readiness", "tcp:65536"}}), "65535"},
        Refusal{"an http Readiness elsewhere",
                Server({{"Program", "p"}, {"Readiness", "http://10.0.0.1:80/"}}),
                "http://127.0.0.1:"},
        Refusal{"an http Readiness with a space in its path",
                Server({{"Program", "p"}, {"Readiness", "http://127.0.0.1:80/a b"}}), "space"},
        Refusal{"HealthCheck as a text", Server({{"Program", "p"}, {"HealthCheck", "tcp:80"}}),
                "\"HealthCheck\""},
        Refusal{"a HealthCheck of no kind", WithCheck(Check({{"IntervalMs", 1000u}})),
                "exactly one"},
        Refusal{"a HealthCheck of two kinds",
                WithCheck(Check({{"Tcp", 80u}, {"Http", "http://127.0.0.1:80/"}})), "exactly one"},
        Refusal{"an empty Command", WithCheck(Check({{"Command", TextList({})}})),
                "\"HealthCheck/Command\""},
        Refusal{"a Tcp check as a text", WithCheck(Check({{"Tcp", "80"}})), "\"HealthCheck/Tcp\""},
        Refusal{"a TimeoutMs above IntervalMs",
                WithCheck(Check({{"Tcp", 80u}, {"IntervalMs", 1000u}, {"TimeoutMs", 1001u}})),
                "\"HealthCheck/TimeoutMs\""},
        Refusal{"an IntervalMs below the least",
                WithCheck(Check({{"Tcp", 80u}, {"IntervalMs", 10u}, {"TimeoutMs", 10u}})),
                "\"HealthCheck/IntervalMs\""},
        Refusal{"no FailuresBeforeRestart",
                WithCheck(Check({{"Tcp", 80u}, {"FailuresBeforeRestart", 0u}})),
                "\"HealthCheck/FailuresBeforeRestart\""}),
    CaseName);

}  // namespace
