// The fleet view against a real installation whose tree names two hosts:
// this one, and one whose port 8088 accepts connections but never greets
// (the test's own listener in a host namespace of its own).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include <fcntl.h>
#include <sched.h>

#include <thread>

#include "middleware/middleware_helpers.h"
#include "support/hosts.h"
#include "support/http_client.h"
#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using zq_test::Contains;
using zq_test::Installation;
using zq_test::InstallationOptions;

// The server whose name holds markup shows that the page escapes names.
const char* const kFleet = R"({
  "Hosts": {"here": {"Address": "127.0.0.1", "ServerConfiguration": "Lab-7"},
            "silent": {"Address": "10.77.0.1", "ServerConfiguration": "Lab-9"}},
  "Servers": {"ZQMD": {"Servers": {
    "Sample": {"Program": "@BIN@/sample_server", "AlwaysRunning": true, "Configurations": ["Lab-7"]},
    "Other<b>": {"Program": "@BIN@/sample_server", "AlwaysRunning": true,
                 "Configurations": ["Lab-9"]}}}}
})";

// A daemon port on another host that takes connections into its backlog and
// never answers.
class SilentHost {
 public:
  SilentHost() : host_(network_.AddHost()) {
    // Made on a thread that has entered the host's network namespace: the
    // socket stays there when the thread ends.
    std::thread([this] {
      const int ns = open(host_.NamespacePath().c_str(), O_RDONLY | O_CLOEXEC);
      EXPECT_EQ(0, setns(ns, CLONE_NEWNET)) << strerror(errno);
      close(ns);
      fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(ZQM_TClient::kDaemonPort);
      EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address))
          << strerror(errno);
      EXPECT_EQ(0, listen(fd_, 128)) << strerror(errno);
    }).join();
    EXPECT_EQ("10.77.0.1", host_.Address());
  }
  ~SilentHost() { close(fd_); }
  SilentHost(const SilentHost&) = delete;
  SilentHost& operator=(const SilentHost&) = delete;

 private:
  zq_test::Network network_;
  zq_test::Host& host_;
  int fd_ = -1;
};

using zq_test::Get;
using zq_test::Http;
using zq_test::HttpReply;

// How many of `fds` the peer closes (or has closed) within 10 s, waiting
// for no more than `wanted`.
std::size_t ClosedByPeer(const std::vector<int>& fds, std::size_t wanted) {
  std::vector<pollfd> entries;
  for (const int fd : fds)
    entries.push_back({fd, POLLIN, 0});
  std::size_t closed = 0;
  const auto deadline = zq_test::Clock::now() + 10s;
  while (closed < wanted && zq_test::Clock::now() < deadline) {
    if (poll(entries.data(), entries.size(), 100) <= 0) continue;
    for (pollfd& entry : entries) {
      if (entry.revents == 0) continue;
      ++closed;
      entry.fd = -1;  // poll passes over it from now on
    }
  }
  return closed;
}

std::string Chromium() {
  for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
    if (access(path, X_OK) == 0) return path;
  return "";
}

class ZqmFleetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Sample runs here, so that it has a pid, an uptime and a start to show.
    ZQM_TClient client;
    client.Connect("", "Sample", 1, ZQM_TClient::kLocateOrStart);
  }

  zq_test::ProgramRun Zqm(std::vector<std::string> args) const {
    return installation_.Run("zqm", std::move(args), 30s);
  }

  SilentHost silent_;
  Installation installation_{kFleet, [] {
                               InstallationOptions options;
                               options.serverConfiguration = "Lab-7";
                               return options;
                             }()};
};

TEST_F(ZqmFleetTest, StatusAllShowsEveryHostAndASilentOneWithinItsTimeLimit) {
  const auto start = zq_test::Clock::now();
  zq_test::ProgramRun json = Zqm({"status", "--all", "--json", "--host-timeout", "1500"});
  const auto took = zq_test::Clock::now() - start;
  EXPECT_EQ(1, json.status) << json.output;  // a host cannot be reached
  // The client's own greeting wait is 5 s: the host's limit cut it short.
  EXPECT_LT(took, 4500ms) << json.output;
  const auto fleet = nlohmann::json::parse(json.output);
  ASSERT_EQ(2u, fleet.size()) << json.output;
  EXPECT_EQ("here", fleet[0]["Host"]);
  EXPECT_EQ("127.0.0.1", fleet[0]["Address"]);
  EXPECT_EQ(true, fleet[0]["Reachable"]);
  EXPECT_EQ("Lab-7", fleet[0]["ServerConfiguration"]);
  ASSERT_EQ(2u, fleet[0]["Servers"].size()) << json.output;
  const auto& sample =
      fleet[0]["Servers"][0]["Name"] == "Sample" ? fleet[0]["Servers"][0] : fleet[0]["Servers"][1];
  EXPECT_EQ("Sample", sample["Name"]);
  EXPECT_EQ(true, sample["RunsHere"]);
  EXPECT_EQ(true, sample["Instances"][0]["Running"]) << json.output;
  EXPECT_EQ("silent", fleet[1]["Host"]);
  EXPECT_EQ("10.77.0.1", fleet[1]["Address"]);
  EXPECT_EQ(false, fleet[1]["Reachable"]);
  EXPECT_TRUE(Contains(fleet[1]["Reason"].get<std::string>(), "cannot be reached")) << json.output;
  EXPECT_EQ("Lab-9", fleet[1]["ServerConfiguration"]);
  EXPECT_EQ(nlohmann::json::array({"Other<b>"}), fleet[1]["ConfiguredServers"]);

  zq_test::ProgramRun table = Zqm({"status", "--all", "--host-timeout", "1500"});
  EXPECT_EQ(1, table.status) << table.output;
  EXPECT_TRUE(std::regex_search(
      table.output, std::regex("== here \\(127\\.0\\.0\\.1\\) ==\nServer configuration: "
                               "\"Lab-7\"\n(.|\n)*Sample +yes")))
      << table.output;
  EXPECT_TRUE(std::regex_search(
      table.output, std::regex("\n== silent \\(10\\.77\\.0\\.1\\) == unreachable: [^\n]*cannot be "
                               "reached[^\n]*; configured to run there: Other<b>\n")))
      << table.output;
}

TEST_F(ZqmFleetTest, WebServesThePageAndTheFleetToItsOwnAddressAndTheTokenOnly) {
  // A restart before the page began: the daemon keeps it for the timeline.
  const zq_test::ProgramRun restart = Zqm({"restart", "Sample:1"});
  ASSERT_EQ(0, restart.status) << restart.output;
  auto web = installation_.Start(
      "zqm", {"web", "--port", "0", "--refresh-seconds", "1", "--host-timeout", "1500"});
  const auto opened =
      web->WaitForLine("^Open http://127\\.0\\.0\\.1:[0-9]+/\\?token=[0-9a-f]{32}$");
  ASSERT_TRUE(opened) << web->Output();
  std::smatch match;
  const std::string line = web->Lines()[*opened];
  std::regex_search(line, match, std::regex(":([0-9]+)/\\?token=([0-9a-f]+)"));
  const auto port = static_cast<unsigned short>(std::stoi(match[1]));
  const std::string token = match[2];
  ASSERT_TRUE(web->WaitForLine("^zqm: web: here \\(127\\.0\\.0\\.1\\): reachable"))
      << web->Output();
  ASSERT_TRUE(web->WaitForLine("^zqm: web: silent \\(10\\.77\\.0\\.1\\): unreachable"))
      << web->Output();

  std::string wrong = token;
  wrong[0] = wrong[0] == '0' ? '1' : '0';
  EXPECT_EQ(403, Get(port, "/status.json").status);
  EXPECT_EQ(403, Get(port, "/status.json?token=" + wrong).status);
  EXPECT_EQ(403, Get(port, "/?token=" + token.substr(1)).status);
  EXPECT_EQ(431, Http(port, "GET /?token=" + token +
                                " HTTP/1.1\r\nX-Long: " + std::string(9000, 'a') + "\r\n\r\n")
                     .status);
  EXPECT_EQ(405, Http(port, "POST /?token=" + token + " HTTP/1.1\r\n\r\n").status);
  // A page of another site whose name resolves to 127.0.0.1 learns nothing.
  const HttpReply rebound = Get(port, "/status.json?token=" + token, "rebound.example");
  EXPECT_EQ(421, rebound.status);
  EXPECT_FALSE(Contains(rebound.body, "Hosts")) << rebound.body;
  EXPECT_EQ(421, Http(port, "GET /?token=" + token + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                std::to_string(port + 1) + "\r\n\r\n")
                     .status);
  EXPECT_EQ(400, Http(port, "GET /?token=" + token + " HTTP/1.1\r\n\r\n").status);
  EXPECT_EQ(200, Get(port, "/?token=" + token, "localhost").status);

  const HttpReply status = Get(port, "/status.json?token=" + token);
  ASSERT_EQ(200, status.status) << status.head;
  const auto fleet = nlohmann::json::parse(status.body);
  ASSERT_EQ(2u, fleet["Hosts"].size()) << status.body;
  EXPECT_EQ(true, fleet["Hosts"][0]["Reachable"]);
  EXPECT_EQ(false, fleet["Hosts"][1]["Reachable"]);
  std::vector<std::string> sampleTimeline;
  for (const auto& server : fleet["Hosts"][0]["Servers"]) {
    if (server["Name"] != "Sample") continue;
    for (const auto& event : server["Instances"][0]["Timeline"])
      sampleTimeline.push_back(event["Kind"].get<std::string>() + " " + event.value("Exit", ""));
  }
  EXPECT_EQ((std::vector<std::string>{"start ", "end exit 0", "start "}), sampleTimeline)
      << status.body;

  const HttpReply page = Get(port, "/?token=" + token);
  ASSERT_EQ(200, page.status) << page.head;
  EXPECT_TRUE(Contains(page.head, "Content-Security-Policy: default-src 'none'")) << page.head;
  for (const char* elsewhere : {"src=", "@import", "url(", "href=\"http", "href=\"//"})
    EXPECT_FALSE(Contains(page.body, elsewhere)) << "the page loads " << elsewhere;

  // The page as a browser draws it, once its script has read status.json.
  const std::string chromium = Chromium();
  if (!chromium.empty()) {
    const zq_test::TempDir profile;
    const std::string artifacts = zq_test::Program("../artifacts");
    std::filesystem::create_directories(artifacts);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/?token=" + token;
    const auto render = [&](const std::string& what) {
      return zq_test::RunToEnd(
          {chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
           "--no-first-run", "--disable-background-networking", "--disable-component-update",
           "--disable-sync", "--user-data-dir=" + profile.Path(), "--window-size=1400,900",
           "--virtual-time-budget=5000", what, url},
          {{"HOME", profile.Path()}}, 60s);
    };
    const zq_test::ProgramRun dom = render("--dump-dom");
    EXPECT_EQ(0, dom.status) << dom.output;
    // Other<b> does not run here: folded into the host's one line of such servers.
    for (const char* text :
         {">here<", ">silent<", ">Sample<", ">running<", ">unreachable<",
          ">Not configured here (1): Other&lt;b&gt;<", "<svg class=\"timeline\""})
      EXPECT_TRUE(Contains(dom.output, text)) << text << "\n" << dom.output;
    EXPECT_FALSE(Contains(dom.output, "Other<b>")) << dom.output;
    const zq_test::ProgramRun shot = render("--screenshot=" + artifacts + "/zqm-web.png");
    EXPECT_EQ(0, shot.status) << shot.output;
    EXPECT_TRUE(std::filesystem::exists(artifacts + "/zqm-web.png")) << shot.output;
  }

  // Idle connections beyond the cap close the oldest: they neither hold
  // descriptors nor keep a proper request out, and it is said once.
  std::vector<int> idle;
  for (int i = 0; i < 300; ++i)
    idle.push_back(zqm_io::Connect(zqm_io::Resolve("", port), zqm_io::After(3000)));
  EXPECT_EQ(200, Get(port, "/status.json?token=" + token).status);
  EXPECT_GE(ClosedByPeer(idle, idle.size() - 64), idle.size() - 64);
  for (int& fd : idle)
    zqm_io::Close(fd);
  std::size_t crowded = 0;
  for (const std::string& said : web->Lines())
    crowded += Contains(said, "connections open, as many as it keeps");
  EXPECT_EQ(1u, crowded) << web->Output();

  web->Signal(SIGTERM);
  EXPECT_EQ(0, web->WaitForExit(10s)) << web->Output();
  if (chromium.empty()) GTEST_SKIP() << "chromium is not installed: the page was not rendered";
}

}  // namespace
