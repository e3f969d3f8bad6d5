#include "tools/zqm_web.h"

#include <condition_variable>
#include <csignal>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "DEVUror/zqm_trace.h"
#include "tools/zqm_fleet.h"
#include "tools/zqm_web_http.h"
#include "tools/zqm_web_page.h"

namespace {

using Json = nlohmann::ordered_json;

// An instance's last starts and ends, as its daemon keeps them, for the
// page: at most kTimelineLength, oldest first.
Json TimelineJson(const std::vector<InstanceStatus::Event>& recent) {
  Json events = Json::array();
  const std::size_t skipped = recent.size() > kTimelineLength ? recent.size() - kTimelineLength : 0;
  for (auto at = recent.begin() + static_cast<std::ptrdiff_t>(skipped); at != recent.end(); ++at) {
    Json entry = {{"Time", at->at}, {"Kind", at->start ? "start" : "end"}};
    if (!at->start) entry["Exit"] = at->exit;
    events.push_back(std::move(entry));
  }
  return events;
}

// `host` (HostJson of `report`) with a "Timeline" per instance; its
// "Servers" and their "Instances" are in the order of the report's.
Json WithTimelines(Json host, const HostReport& report) {
  if (!report.reachable) return host;
  Json& servers = host["Servers"];
  for (std::size_t i = 0; i < report.status.servers.size(); ++i) {
    const std::vector<InstanceStatus>& instances = report.status.servers[i].instances;
    for (std::size_t j = 0; j < instances.size(); ++j)
      servers[i]["Instances"][j]["Timeline"] = TimelineJson(instances[j].recent);
  }
  return host;
}

// Gathers the fleet every refresh interval in a thread of its own, and
// keeps the last answer as the JSON document the page reads.
class FleetWatch {
 public:
  explicit FleetWatch(const WebOptions& options) : options_(options), thread_([this] { Run(); }) {}
  ~FleetWatch() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  FleetWatch(const FleetWatch&) = delete;
  FleetWatch& operator=(const FleetWatch&) = delete;

  std::string Document() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return document_;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      std::vector<HostReport> fleet;
      std::string document = Gather(fleet);
      {
        std::lock_guard<std::mutex> store(mutex_);
        document_ = std::move(document);
      }
      // Said once the page shows it, so that what is said can be seen there.
      TraceChanges(fleet);
      lock.lock();
      wake_.wait_for(lock, std::chrono::seconds(options_.refreshSeconds),
                     [this] { return stopping_; });
    }
  }

  // The document of the fleet as it is now; `fleet` receives the hosts'
  // reports (none when the configuration server cannot be asked).
  std::string Gather(std::vector<HostReport>& fleet) {
    const std::time_t now = std::time(nullptr);
    Json document = {{"Now", static_cast<long long>(now)},
                     {"RefreshSeconds", options_.refreshSeconds},
                     {"Hosts", Json::array()}};
    try {
      fleet = GatherFleet(ReadFleetTree(options_.host), options_.hostLimit);
      for (const HostReport& report : fleet)
        document["Hosts"].push_back(WithTimelines(HostJson(report, now), report));
    } catch (const ZQ_EException& failure) {
      document["Problem"] = failure.ZQ_Message().Text();
    } catch (const std::exception& failure) {
      document["Problem"] = std::string("the fleet could not be gathered: ") + failure.what();
    }
    return document.dump(-1, ' ', false, Json::error_handler_t::replace);
  }

  // Says on standard error when a host is first seen and when it becomes
  // reachable or unreachable.
  void TraceChanges(const std::vector<HostReport>& fleet) {
    std::map<std::string, bool> reachable;
    for (const HostReport& report : fleet) {
      reachable[report.host.name] = report.reachable;
      const auto before = reachable_.find(report.host.name);
      if (before != reachable_.end() && before->second == report.reachable) continue;
      std::cerr << "zqm: web: " << zqm_trace::Escaped(report.host.name) << " ("
                << zqm_trace::Escaped(report.host.address) << "): "
                << (report.reachable
                        ? "reachable, " + std::to_string(report.status.servers.size()) + " servers"
                        : "unreachable: " + zqm_trace::Escaped(report.reason))
                << std::endl;
    }
    reachable_ = std::move(reachable);
  }

  const WebOptions options_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::string document_ = R"({"Hosts":[],"Pending":true})";
  std::map<std::string, bool> reachable_;  // by host, as last said; the gathering thread's alone
  std::thread thread_;                     // last: starts once the rest is built
};

zqm_web::HttpResponse Answer(const zqm_web::HttpRequest& request, const FleetWatch& watch) {
  if (request.path == "/") return {200, "text/html; charset=utf-8", kWebPage};
  if (request.path == "/status.json")
    return {200, "application/json; charset=utf-8", watch.Document()};
  return {404, "text/plain; charset=utf-8", "no such page\n"};
}

int Serve(const WebOptions& options) {
  asio::io_context io;
  asio::signal_set signals(io, SIGINT, SIGTERM);
  const std::string token = zqm_web::NewToken();
  std::optional<FleetWatch> watch;  // requests come only once io runs
  std::optional<zqm_web::HttpServer> server;
  try {
    server.emplace(
        io, static_cast<unsigned short>(options.port), token,
        [&watch](const zqm_web::HttpRequest& request) { return Answer(request, *watch); });
  } catch (const std::system_error& failure) {
    std::cerr << "zqm: web: cannot listen on 127.0.0.1:" << options.port << ": "
              << failure.code().message() << "\n";
    return 1;
  }
  watch.emplace(options);
  signals.async_wait([&io](const std::error_code&, int) { io.stop(); });
  std::cout << "Open http://127.0.0.1:" << server->Port() << "/?token=" << token << std::endl;
  std::cerr << "zqm: web: serving the fleet view on 127.0.0.1 only; Ctrl-C ends it" << std::endl;
  io.run();
  std::cerr << "zqm: web: stopped" << std::endl;
  return 0;
}

}  // namespace

int RunWeb(const WebOptions& options) {
  try {
    return Serve(options);
  } catch (const std::exception& failure) {
    std::cerr << "zqm: web: " << failure.what() << "\n";
    return 1;
  }
}
