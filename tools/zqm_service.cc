#include "tools/zqm_service.h"

#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

namespace {

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// Says once on standard error that zqm waits, unless it is done before
// `after` has passed.
class BusyNotice {
 public:
  BusyNotice(std::chrono::milliseconds after, std::string text)
      : thread_([this, after, text = std::move(text)] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_.wait_for(lock, after, [this] { return finished_; })) std::cerr << text;
        }) {}
  ~BusyNotice() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    done_.notify_one();
    thread_.join();
  }
  BusyNotice(const BusyNotice&) = delete;
  BusyNotice& operator=(const BusyNotice&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread thread_;
};

}  // namespace

unsigned ServiceWaitFromEnvironment() {
  const char* text = std::getenv("ZQM_WAIT_SECONDS");
  if (text == nullptr || *text == 0) return kDefaultServiceWaitSeconds;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return *end == 0 && value <= 86400 ? static_cast<unsigned>(value) : kDefaultServiceWaitSeconds;
}

void ConnectToService(ZQM_TClient& service, const std::string& host, unsigned waitSeconds) {
  // Never shorter than the usual greeting wait: a service that is not busy
  // answers at once.
  service.SetGreetingTimeout(std::max(waitSeconds * 1000, ZQM_TClient::kGreetingTimeoutMs));
  try {
    const BusyNotice notice(kBusyNoticeAfter,
                            "zqm: the service is busy with a pass; waiting (at most " +
                                std::to_string(waitSeconds) + " s, see --wait)\n");
    service.Connect(host, ZQ_TString("Custodel"), 1, ZQM_TClient::kLocateOnly);
  } catch (ZQ_EException& failure) {
    if (failure.HasSuperclass("ZQM_ETimeout")) {
      failure.ZQ_Message() = ZQ_TString::Format(
          "the Custodel service did not answer within %d s: it is still busy with a pass, or "
          "hangs (see its trace); --wait SECONDS waits longer: %s",
          waitSeconds, failure.ZQ_Message());
    } else {
      failure.ZQ_Message() = "the Custodel service cannot be reached: " + failure.ZQ_Message();
    }
    throw;
  }
}

std::string Advice(const std::string& failureClass, const std::string& message) {
  // The cause first: a refusal of who we are is never cured by starting
  // something.
  if (failureClass == "ZQM_EAuthenticationFailed") {
    return "the handshake failed: give this program the installation's key (--key PATH or "
           "ZQM_KEY_FILE), the one the other side holds";
  }
  if (failureClass == "ZQM_EAccessDenied") {
    return "not allowed for this user: on the daemon's host run zqm as root or as a member of "
           "the zqm group; for another host, give the installation's key";
  }
  if (failureClass == "ZQM_EConnectionFailed" && Contains(message, ":8088") &&
      Contains(message, "refused")) {
    return "no middleware daemon listens there: start zqmd (or give --host)";
  }
  if (failureClass == "ZQM_EConnectionFailed" && Contains(message, "is zqmd running")) {
    return "no middleware daemon listens on this host: start zqmd (or give --host)";
  }
  if (failureClass != "ZQM_ENoSuchServer" && failureClass != "ZQM_EConnectionFailed") return "";
  if (Contains(message, "\"Almanac\" instance 0 is not running") ||
      Contains(message, "Almanac#0") || Contains(message, "Almanac instance 0 is not running")) {
    return "the configuration server is not running: start almanac CONFIG.json beside zqmd";
  }
  if (Contains(message, "Custodel instance 1 is not running")) {
    return "the service is not running: start custodel";
  }
  return "";
}
