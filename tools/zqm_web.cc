#include "tools/zqm_web.h"

#include <condition_variable>
#include <csignal>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <tuple>

#include "DEVUror/zqm_trace.h"
#include "tools/zqm_fleet.h"
#include "tools/zqm_web_http.h"
#include "tools/zqm_web_page.h"

namespace {

using Json = nlohmann::ordered_json;

struct Event {
  long long time = 0;
  bool start = false;
  std::string text;  // the end, as LastExit says it
};

// The last starts and ends of every instance of the fleet: what each daemon
// keeps of them, or else what successive looks at its answers saw.
class Timelines {
 public:
  void Record(const std::vector<HostReport>& fleet) {
    for (const HostReport& report : fleet) {
      if (!report.reachable) continue;
      std::set<Key> seen;
      for (const ServerStatus& server : report.status.servers) {
        for (const InstanceStatus& instance : server.instances) {
          const Key key{report.host.name, server.name, instance.instance};
          seen.insert(key);
          Note(lines_[key], instance);
        }
      }
      // Instances that the host no longer lists are forgotten.
      for (auto at = lines_.lower_bound({report.host.name, "", 0});
           at != lines_.end() && std::get<0>(at->first) == report.host.name;) {
        at = seen.count(at->first) != 0 ? std::next(at) : lines_.erase(at);
      }
    }
  }

  Json For(const std::string& host, const std::string& server, unsigned instance) const {
    Json events = Json::array();
    const auto at = lines_.find({host, server, instance});
    if (at == lines_.end()) return events;
    for (const Event& event : at->second.events) {
      Json entry = {{"Time", event.time}, {"Kind", event.start ? "start" : "end"}};
      if (!event.start) entry["Exit"] = event.text;
      events.push_back(std::move(entry));
    }
    return events;
  }

 private:
  using Key = std::tuple<std::string, std::string, unsigned>;
  struct Line {
    long long lastStart = 0;
    long long lastEnd = 0;
    std::deque<Event> events;  // by time, at most kTimelineLength
  };

  static void Add(Line& line, Event event) {
    auto at = line.events.end();
    while (at != line.events.begin() && std::prev(at)->time > event.time)
      --at;
    line.events.insert(at, std::move(event));
    while (line.events.size() > kTimelineLength)
      line.events.pop_front();
  }

  static void Note(Line& line, const InstanceStatus& instance) {
    // The daemon's own record, when it keeps one, holds every start and end,
    // also those before this watch began and several within one interval.
    if (!instance.recent.empty()) {
      line.events.clear();
      for (const InstanceStatus::Event& event : instance.recent)
        Add(line, {event.at, event.start, event.exit});
      return;
    }
    if (instance.ended != 0 && instance.ended != line.lastEnd) {
      line.lastEnd = instance.ended;
      Add(line, {instance.ended, false, LastExit(instance)});
    }
    if (instance.running && instance.started != 0 && instance.started != line.lastStart) {
      line.lastStart = instance.started;
      Add(line, {instance.started, true, ""});
    }
  }

  std::map<Key, Line> lines_;
};

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
      std::string document = Gather();
      lock.lock();
      document_ = std::move(document);
      wake_.wait_for(lock, std::chrono::seconds(options_.refreshSeconds),
                     [this] { return stopping_; });
    }
  }

  std::string Gather() {
    const std::time_t now = std::time(nullptr);
    Json document = {{"Now", static_cast<long long>(now)},
                     {"RefreshSeconds", options_.refreshSeconds},
                     {"Hosts", Json::array()}};
    try {
      const std::vector<HostReport> fleet =
          GatherFleet(ReadFleetTree(options_.host), options_.hostLimit);
      timelines_.Record(fleet);
      TraceChanges(fleet);
      for (const HostReport& report : fleet)
        document["Hosts"].push_back(WithTimelines(HostJson(report, now), report.host.name));
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

  Json WithTimelines(Json host, const std::string& name) const {
    if (!host.contains("Servers")) return host;
    for (Json& server : host["Servers"]) {
      for (Json& instance : server["Instances"]) {
        instance["Timeline"] = timelines_.For(name, server["Name"].get<std::string>(),
                                              instance["Instance"].get<unsigned>());
      }
    }
    return host;
  }

  const WebOptions options_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::string document_ = R"({"Hosts":[],"Pending":true})";
  // The gathering thread's alone:
  Timelines timelines_;
  std::map<std::string, bool> reachable_;  // by host, as last said
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
