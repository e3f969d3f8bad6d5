// The daemon's metrics as Prometheus sees them: well-formed for promtool,
// and a restart of an instance counted in a real Prometheus's scrape.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include "middleware/middleware_helpers.h"
#include "support/http_client.h"
#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using zq_test::Contains;
using zq_test::Installation;
using zq_test::InstallationOptions;

constexpr unsigned short kMetricsPort = 9464;  // the test's own network namespace
constexpr unsigned short kPrometheusPort = 9090;

const char* const kConfiguration = R"({
  "Servers": {"ZQMD": {"Servers": {"Sample": {"Program": "@BIN@/sample_server"}}}}
})";

std::string ProgramOnPath(const std::string& name) {
  const zq_test::ProgramRun found = zq_test::RunToEnd({"/bin/sh", "-c", "command -v " + name});
  return found.status == 0 ? found.output.substr(0, found.output.find('\n')) : "";
}

std::string UrlEncoded(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const unsigned char c : text) {
    if (std::isalnum(c) != 0 || c == '_') {
      encoded += static_cast<char>(c);
    } else {
      encoded += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return encoded;
}

// Starts Sample instance 1, kills it and starts it again through the daemon.
pid_t StartKillAndRestartSample(Installation& installation) {
  ZQM_TClient first;
  first.Connect("", "Sample", 1, ZQM_TClient::kLocateOrStart);
  const pid_t killed = installation.PidOf("Sample", 1).value_or(0);
  EXPECT_NE(0, killed);
  kill(killed, SIGKILL);
  EXPECT_TRUE(installation.Daemon().WaitForLine("Sample instance 1 \\(pid " +
                                                std::to_string(killed) + "\\) killed by signal 9"));
  ZQM_TClient again;
  again.Connect("", "Sample", 1, ZQM_TClient::kLocateOrStart);
  return installation.PidOf("Sample", 1).value_or(0);
}

TEST(DaemonMetricsTest, PromtoolAcceptsThemAndPrometheusSeesARestart) {
  InstallationOptions options;
  options.daemonArgs = {"--metrics-listen", std::to_string(kMetricsPort)};
  Installation installation(kConfiguration, options);
  ASSERT_TRUE(installation.Daemon().WaitForLine(
      "Metrics for Prometheus on http://127.0.0.1:" + std::to_string(kMetricsPort) + "/metrics",
      5s));
  ASSERT_NE(0, StartKillAndRestartSample(installation));

  const zq_test::HttpReply scraped = zq_test::Get(kMetricsPort, "/metrics");
  ASSERT_EQ(200, scraped.status) << scraped.head;
  EXPECT_TRUE(Contains(scraped.head, "Content-Type: text/plain; version=0.0.4"));
  const std::string sample = "{server=\"Sample\",instance=\"1\"} ";
  for (const std::string& line :
       {"zqm_instance_up" + sample + "1", "zqm_instance_restarts_total" + sample + "1",
        "zqm_instance_starts_total" + sample + "2", "zqm_instance_last_exit_signal" + sample + "9",
        std::string("zqm_start_duration_seconds_count 2")}) {  // both starts of Sample
    EXPECT_TRUE(Contains(scraped.body, "\n" + line + "\n")) << line << "\n" << scraped.body;
  }
  EXPECT_EQ(404, zq_test::Get(kMetricsPort, "/").status);
  EXPECT_EQ(421, zq_test::Get(kMetricsPort, "/metrics", "rebound.example").status);
  EXPECT_EQ(405, zq_test::Http(kMetricsPort, "POST /metrics HTTP/1.1\r\nHost: x\r\n\r\n").status);

  const std::string promtool = ProgramOnPath("promtool");
  const std::string prometheus = ProgramOnPath("prometheus");
  if (promtool.empty() || prometheus.empty())
    GTEST_SKIP() << "Prometheus is not installed (scripts/deps installs it)";
  const zq_test::TempDir dir;
  dir.Write("metrics.txt", scraped.body);
  const zq_test::ProgramRun checked = zq_test::RunToEnd(
      {"/bin/sh", "-c", promtool + " check metrics < " + dir.File("metrics.txt")});
  EXPECT_EQ(0, checked.status) << checked.output;

  dir.Write("prometheus.yml",
            "global:\n  scrape_interval: 200ms\nscrape_configs:\n"
            "  - job_name: zqmd\n    static_configs:\n"
            "      - targets: ['127.0.0.1:" +
                std::to_string(kMetricsPort) + "']\n");
  zq_test::ChildProcess server(
      {prometheus, "--config.file=" + dir.File("prometheus.yml"),
       "--storage.tsdb.path=" + dir.File("data"),
       "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort)});
  ASSERT_TRUE(server.WaitForLine("Server is ready to receive web requests", 30s))
      << server.Output();
  // Prometheus tells nobody when it has scraped: its API is asked again,
  // at a pace, until it answers or the deadline passes.
  const std::string query =
      "/api/v1/query?query=" + UrlEncoded("zqm_instance_restarts_total{server=\"Sample\"}");
  std::string value;
  std::string answer;
  for (const auto deadline = zq_test::Clock::now() + 15s;
       value.empty() && zq_test::Clock::now() < deadline; poll(nullptr, 0, 100)) {
    answer = zq_test::Get(kPrometheusPort, query).body;
    const auto result = nlohmann::json::parse(answer, nullptr, false);
    const auto found = result.is_object() ? result.value("data", nlohmann::json::object())
                                                .value("result", nlohmann::json::array())
                                          : nlohmann::json::array();
    if (found.size() == 1) value = found[0]["value"][1].get<std::string>();
  }
  EXPECT_EQ("1", value) << answer << server.Output();
  server.Signal(SIGTERM);
  EXPECT_TRUE(server.WaitForExit(20s));
}

}  // namespace
