// Readiness and health checks with real programs: a Python web server that
// is ready only after a while holds back the next server in the service's
// start-up order; a program whose helper sends READY=1 completes its start
// then, and notifications from other processes change nothing; a server
// that stops answering its health check is ended and started again.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <regex>

#include "DEVUror/zqm_notify.h"
#include "middleware/middleware_helpers.h"
#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using zq_test::CatchFrom;
using zq_test::Contains;
using zq_test::Field;
using zq_test::Installation;

// The daemon's entry for instance 1 of `name`; empty when it lists none.
ZQ_TDict EntryOf(const Installation& installation, const std::string& name) {
  const ZQ_TList list = installation.Servers(name);
  return list.Count() == 0 ? ZQ_TDict() : list[0].DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
}

std::string TextOf(const ZQ_TDict& entry, const char* key) {
  return entry.Contains(key) ? Field<ZQ_TString>(entry, key).Text() : "";
}

// The time of day of a trace line ("YYYY-MM-DD HH:MM:SS.uuuuuu ..."), in
// seconds.
double TraceSeconds(const std::string& line) {
  int hours = 0, minutes = 0;
  double seconds = 0;
  EXPECT_EQ(3, std::sscanf(line.c_str(), "%*d-%*d-%*d %d:%d:%lf", &hours, &minutes, &seconds))
      << line;
  return hours * 3600.0 + minutes * 60.0 + seconds;
}

// Answers 503 for its first 1.5 s, and refuses connections for the first
// half second of these.
const char* const kSlowWebServer = R"(
import http.server, time
start = time.monotonic()
time.sleep(0.5)
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200 if time.monotonic() - start > 1.5 else 503)
        self.end_headers()
    def log_message(self, *args):
        pass
http.server.HTTPServer(('127.0.0.1', 18080), Handler).serve_forever()
)";

TEST(ReadinessTest, HttpReadinessHoldsBackTheNextServerInStartUpOrder) {
  Installation installation(std::string(R"({"Servers": {"ZQMD": {"Servers": {
    "Web": {"Program": "python3", "Arguments": ["-c", ")") +
                            std::regex_replace(kSlowWebServer, std::regex("\n"), "\\n") +
                            R"("], "Plain": true,
            "Readiness": "http://127.0.0.1:18080/", "AlwaysRunning": true, "StartupOrder": 10},
    "Next": {"Program": "sleep", "Arguments": ["1000"], "Plain": true, "AlwaysRunning": true,
             "StartupOrder": 20}
  }}}})");
  auto custodel = installation.StartCustodel();
  ASSERT_TRUE(custodel->WaitForLine("Server \"Next\" instance 1 is running", 20s))
      << custodel->Output();
  auto& daemon = installation.Daemon();
  const auto started = daemon.WaitForLine("Started Web instance 1", 5s);
  const auto ready = daemon.WaitForLine("Web instance 1 \\(pid [0-9]+\\) is ready: it answers", 5s);
  const auto next = daemon.WaitForLine("Starting Next instance 1", 5s);
  ASSERT_TRUE(started && ready && next) << daemon.Output();
  // Neither the refused connects nor the 503 answers made it ready.
  const auto lines = daemon.Lines();
  EXPECT_GE(TraceSeconds(lines[*ready]) - TraceSeconds(lines[*started]), 1.4);
  EXPECT_LT(*ready, *next) << "the next server started before the first was ready\n"
                           << daemon.Output();
  EXPECT_EQ("ready", TextOf(EntryOf(installation, "Web"), "Readiness"));
  EXPECT_EQ("", TextOf(EntryOf(installation, "Next"), "Readiness"));
}

// The instance's process is the shell; the notifications come from its
// child, Python, which says it is ready once the test writes to its FIFO.
const char* const kNotifier = R"(
import os, signal, socket
notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
notify.connect(os.environ['NOTIFY_SOCKET'])
notify.send(b'STATUS=waiting for go')
open(os.environ['GO_FIFO']).read()
notify.send(b'STATUS=serving\\nREADY=1')
signal.pause()
)";

TEST(ReadinessTest, NotifyCompletesTheStartOnlyForTheInstancesOwnSession) {
  zq_test::TempDir fifos;
  const std::string fifo = fifos.File("go");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  Installation installation(std::string(R"({"Servers": {"ZQMD": {"Servers": {
    "Notifier": {"Program": "sh", "Arguments": ["-c", "python3 -c \"$0\"; exit", ")") +
                            std::regex_replace(kNotifier, std::regex("\n"), "\\n") +
                            R"("], "Plain": true, "Readiness": "notify", "StartTimeout": 20000,
                 "Environment": {"GO_FIFO": ")" +
                            fifo + R"("}}
  }}}})");
  auto located = std::async(std::launch::async, [] {
    return CatchFrom([] {
      ZQM_TClient client;
      client.Connect("", "Notifier", 1, ZQM_TClient::kLocateOrStart);
    });
  });
  ASSERT_TRUE(zq_test::Eventually(
      [&] { return TextOf(EntryOf(installation, "Notifier"), "StatusText") == "waiting for go"; },
      10s));
  const ZQ_TDict waiting = EntryOf(installation, "Notifier");
  EXPECT_EQ("waiting", TextOf(waiting, "Readiness"));
  const pid_t pid = static_cast<pid_t>(Field<ZQ_TUInt32>(waiting, "PID"));
  std::smatch socket;
  const std::string environment = zq_test::EnvironmentOf(pid);
  ASSERT_TRUE(std::regex_search(environment, socket, std::regex("\nNOTIFY_SOCKET=([^\n]+)")));

  // Not a process of the instance's session: dropped.
  EXPECT_EQ("", zqm_notify::Send(socket[1], "READY=1\nSTATUS=forged"));
  EXPECT_TRUE(installation.Daemon().WaitForLine(
      "Ignored 1 notification\\(s\\): process " + std::to_string(getpid()) + " ", 10s))
      << installation.Daemon().Output();
  EXPECT_EQ(std::future_status::timeout, located.wait_for(0s));
  EXPECT_EQ("waiting for go", TextOf(EntryOf(installation, "Notifier"), "StatusText"));

  std::ofstream(fifo) << "go";
  const zq_test::Caught caught = located.get();
  EXPECT_EQ("ZQM_ENotAnRpcServer", caught.type) << caught.message;
  const ZQ_TDict ready = EntryOf(installation, "Notifier");
  EXPECT_EQ("ready", TextOf(ready, "Readiness"));
  EXPECT_EQ("serving", TextOf(ready, "StatusText"));
  EXPECT_TRUE(installation.Daemon().WaitForLine(
      "Notifier instance 1 \\(pid " + std::to_string(pid) + "\\) is ready: it sent READY=1", 10s))
      << installation.Daemon().Output();
}

// Answers its first three requests, then accepts no more.
const char* const kTiringServer = R"(
import signal, socket
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(('127.0.0.1', 18081))
server.listen(16)
for _ in range(3):
    connection, _ = server.accept()
    connection.recv(1024)
    connection.sendall(b'HTTP/1.0 200 OK\\r\\n\\r\\n')
    connection.close()
signal.pause()
)";

TEST(HealthCheckTest, ServerThatStopsAnsweringIsEndedAndStartedAgain) {
  constexpr auto kInterval = 500ms;
  constexpr int kFailures = 3;
  constexpr auto kGrace = 5000ms;
  Installation installation(std::string(R"({"Servers": {"ZQMD": {"Servers": {
    "Tiring": {"Program": "python3", "Arguments": ["-c", ")") +
                            std::regex_replace(kTiringServer, std::regex("\n"), "\\n") +
                            R"json("], "Plain": true, "AlwaysRunning": true,
               "HealthCheck": {"Command": ["python3", "-c",
                   "import urllib.request; urllib.request.urlopen('http://127.0.0.1:18081/')"],
                 "IntervalMs": 500, "TimeoutMs": 500, "FailuresBeforeRestart": 3}}
  }}}})json");
  auto custodel = installation.StartCustodel();
  const auto running = custodel->WaitForLine("Server \"Tiring\" instance 1 is running", 20s);
  ASSERT_TRUE(running) << custodel->Output();
  const pid_t first = installation.PidOf("Tiring", 1).value_or(0);
  auto& daemon = installation.Daemon();
  const auto failed = daemon.WaitForLine("Tiring instance 1 \\(pid " + std::to_string(first) +
                                             "\\) failed its health check \\(1 of 3\\)",
                                         20s);
  ASSERT_TRUE(failed) << daemon.Output();
  const auto failedAt = zq_test::Clock::now();
  const ZQ_TDict unhealthy = EntryOf(installation, "Tiring");
  EXPECT_EQ("unhealthy", TextOf(unhealthy, "Health"));
  EXPECT_GE(Field<ZQ_TUInt32>(unhealthy, "HealthFailures"), 1u);

  const auto again = custodel->WaitForLine("Server \"Tiring\" instance 1 is running",
                                           kInterval * kFailures + kGrace + 1s, *running + 1);
  const auto took = zq_test::Clock::now() - failedAt;
  ASSERT_TRUE(again) << daemon.Output() << custodel->Output();
  EXPECT_LT(took, kInterval * kFailures + kGrace);
  EXPECT_TRUE(custodel->WaitForLine("Server \"Tiring\" instance 1 has died", 0s));
  EXPECT_NE(first, installation.PidOf("Tiring", 1).value_or(first));
  // One line says why, and the log keeps it beside the instance's output.
  const std::string why = "Tiring instance 1 \\(pid " + std::to_string(first) +
                          "\\) failed its health check 3 times in a row \\(last: did not end "
                          "within 500 ms; killed\\): ending it";
  EXPECT_TRUE(daemon.WaitForLine(why + ": SIGTERM, then SIGKILL after 5000 ms", 0s, *failed))
      << daemon.Output();
  EXPECT_TRUE(zq_test::WaitForFileMatches(installation.LogDir() + "/Tiring-1.log",
                                          "\n==== [^\n]*" + why + "\n", 1, 0ms))
      << zq_test::ReadFile(installation.LogDir() + "/Tiring-1.log");
}

}  // namespace
