#include "Almanac/Server/etcd_transport.h"

#include <curl/curl.h>

#include <chrono>
#include <mutex>

#include "Almanac/Server/almanac_errors.h"

namespace almanac::etcd {
namespace {

// An unreachable member is given up quickly: the next one may answer.
constexpr long kConnectTimeoutMs = 2000;
// The longest single wait inside a transfer; libcurl shortens it to its
// own next deadline, and Interrupt ends it.
constexpr int kLongestWaitMs = 60000;
// A member that has vanished without closing the connection is noticed by
// TCP keep-alive within about 25 s.
constexpr long kKeepIdleSeconds = 10;
constexpr long kKeepIntervalSeconds = 5;

void EnsureCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyHandle {
  CURL* handle = curl_easy_init();
  curl_slist* headers = nullptr;
  ~EasyHandle() {
    curl_easy_cleanup(handle);
    curl_slist_free_all(headers);
  }
};

size_t WriteToSink(char* data, size_t size, size_t count, void* sink) {
  const auto& accept = *static_cast<const Transport::Sink*>(sink);
  return accept(data, size * count) ? size * count : 0;
}

}  // namespace

Transport::Transport() {
  EnsureCurl();
  multi_ = curl_multi_init();
  if (multi_ == nullptr) ALMANAC_THROW(ZQM_EException, "etcd: curl_multi_init failed");
}

Transport::~Transport() {
  curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

void Transport::Interrupt() {
  interrupted_ = true;
  curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

bool Transport::Pause(unsigned milliseconds) {
  CURLM* multi = static_cast<CURLM*>(multi_);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!interrupted_) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) return true;
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(left), nullptr);
  }
  return false;
}

void Transport::Post(const std::string& url, const std::string& body, long timeoutMs,
                     const Sink& sink, long& status) {
  status = 0;
  EasyHandle easy;
  if (easy.handle == nullptr) ALMANAC_THROW(ZQM_EException, "etcd: curl_easy_init failed");
  char error[CURL_ERROR_SIZE] = "";
  easy.headers = curl_slist_append(nullptr, "Content-Type: application/json");
  CURL* handle = easy.handle;
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, easy.headers);
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &WriteToSink);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(handle, CURLOPT_TCP_KEEPIDLE, kKeepIdleSeconds);
  curl_easy_setopt(handle, CURLOPT_TCP_KEEPINTVL, kKeepIntervalSeconds);
  // No proxy from the environment: etcd members are reached directly.
  curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");

  CURLM* multi = static_cast<CURLM*>(multi_);
  curl_multi_add_handle(multi, handle);
  CURLcode result = CURLE_OK;
  for (;;) {
    int running = 0;
    curl_multi_perform(multi, &running);
    if (running == 0 || interrupted_) break;
    curl_multi_poll(multi, nullptr, 0, kLongestWaitMs, nullptr);
  }
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == handle)
      result = message->data.result;
  }
  curl_multi_remove_handle(multi, handle);
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  if (interrupted_) ALMANAC_THROW(ZQM_EException, "etcd " + url + ": interrupted");
  if (result != CURLE_OK && result != CURLE_WRITE_ERROR) {
    ALMANAC_THROW(ZQM_EException,
                  "etcd " + url + ": " + (*error != 0 ? error : curl_easy_strerror(result)));
  }
}

}  // namespace almanac::etcd
