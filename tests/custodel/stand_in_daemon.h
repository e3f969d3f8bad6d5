// A stand-in for the middleware daemon on port 8088, for watcher tests that
// craft the daemon's answers: "Locate" always fails (nothing gets started),
// "Servers" answers what the test's listing returns for the asked name.
// "Locate" can be held, so that a test acts while a start attempt is under
// way.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "DEVUror/devuror.h"
#include "support/fake_server.h"

namespace custodel_test {

// A one-way gate: closed until Open, then open for good.
class Gate {
 public:
  void Open() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  bool WaitOpen(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, timeout, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

class StandInDaemon {
 public:
  using Listing = std::function<ZQ_TAny(const std::string& name)>;

  explicit StandInDaemon(Listing listing)
      : listing_(std::move(listing)),
        server_(8088, "ZQMD", 0, [this](const ZQ_TDict& request) { return Answer(request); }) {}
  ~StandInDaemon() { ReleaseLocate(); }

  // From now on "Locate" waits (at most 30 s) until ReleaseLocate.
  void HoldLocate() { holdLocate_ = true; }
  bool WaitForHeldLocate(std::chrono::milliseconds timeout) {
    return locateArrived_.WaitOpen(timeout);
  }
  void ReleaseLocate() { locateReleased_.Open(); }

  std::vector<ZQ_TDict> Requests(const std::string& method) const {
    std::vector<ZQ_TDict> matching;
    for (const ZQ_TDict& request : server_.Requests()) {
      if (zq_test::MethodOf(request) == method) matching.push_back(request);
    }
    return matching;
  }
  std::vector<ZQ_TDict> Requests() const { return server_.Requests(); }
  std::size_t RequestCount() const { return server_.Requests().size(); }

 private:
  ZQ_TAny Answer(const ZQ_TDict& request) {
    const std::string method = zq_test::MethodOf(request);
    if (method == "Servers") {
      return listing_(request["P1"].DynamicCast<ZQ_TString>(__FILE__, __LINE__).Text());
    }
    if (method == "Locate" && holdLocate_) {
      locateArrived_.Open();
      locateReleased_.WaitOpen(std::chrono::seconds(30));
    }
    ZQM_ENoSuchServer failure(ZQ_TString("the stand-in daemon starts nothing"));
    ZQ_THROW_AT(failure, __FILE__, __LINE__);
  }

  Listing listing_;
  std::atomic<bool> holdLocate_{false};
  Gate locateArrived_;
  Gate locateReleased_;
  zq_test::FakeServer server_;  // last: it answers through the members above
};

// One element of a "Servers" answer for "Sample"; each key only when given.
inline ZQ_TAny ListedInstance(std::optional<ZQ_TAny> instance, std::optional<std::uint32_t> pid) {
  ZQ_TDict entry;
  entry.Set("Name", ZQ_TAny("Sample"));
  if (instance) entry.Set("Instance", *instance);
  if (pid) entry.Set("PID", ZQ_TAny(ZQ_TUInt32(*pid)));
  entry.Set("State", ZQ_TAny("running"));
  return ZQ_TAny(entry);
}

inline ZQ_TAny Instance16(std::uint16_t instance) {
  return ZQ_TAny(ZQ_TUInt16(instance));
}

inline ZQ_TAny ListOf(std::initializer_list<ZQ_TAny> elements) {
  ZQ_TList list;
  for (const ZQ_TAny& element : elements)
    list.Append(element);
  return ZQ_TAny(list);
}

}  // namespace custodel_test
