#include "Almanac/Server/etcd_transport.h"

#include <curl/curl.h>

#include <mutex>

#include "Almanac/Server/almanac_errors.h"

namespace almanac::etcd {
namespace {

// The longest single wait inside a transfer; libcurl shortens it to its
// own next deadline, and Interrupt ends it.
constexpr int kLongestWaitMs = 60000;
// A member that has vanished without closing the connection is noticed by
// TCP keep-alive within about 25 s (the watch notices sooner: it asks for
// progress).
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

// What every connection to a member has: no proxy (members are reached
// directly), HTTP only, keep-alive, no signals.
void CommonOptions(CURL* handle, const std::string& url, long connectTimeoutMs) {
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs);
  curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(handle, CURLOPT_TCP_KEEPIDLE, kKeepIdleSeconds);
  curl_easy_setopt(handle, CURLOPT_TCP_KEEPINTVL, kKeepIntervalSeconds);
  curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
}

}  // namespace

long MillisecondsUntil(Deadline deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<long>(left) : 0;
}

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
  const Deadline until = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (!interrupted_) {
    const long left = MillisecondsUntil(until);
    if (left == 0) return true;
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(left), nullptr);
  }
  return false;
}

int Transport::Perform(void* easy) {
  CURLM* multi = static_cast<CURLM*>(multi_);
  curl_multi_add_handle(multi, easy);
  for (;;) {
    int running = 0;
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == easy) return message->data.result;
    }
    if (interrupted_) return CURLE_ABORTED_BY_CALLBACK;
    curl_multi_poll(multi, nullptr, 0, kLongestWaitMs, nullptr);
  }
}

void Transport::Post(const std::string& url, const std::string& body, long timeoutMs,
                     const Sink& sink, long& status) {
  status = 0;
  EasyHandle easy;
  if (easy.handle == nullptr) ALMANAC_THROW(ZQM_EException, "etcd: curl_easy_init failed");
  char error[CURL_ERROR_SIZE] = "";
  easy.headers = curl_slist_append(nullptr, "Content-Type: application/json");
  // etcd's gateway passes Grpc-Metadata-* headers on as metadata: a member
  // without a leader then refuses at once instead of waiting for one.
  easy.headers = curl_slist_append(easy.headers, "Grpc-Metadata-hasleader: true");
  CURL* handle = easy.handle;
  CommonOptions(handle, url, timeoutMs);
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, easy.headers);
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &WriteToSink);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMs);

  const auto result = static_cast<CURLcode>(Perform(handle));
  curl_multi_remove_handle(static_cast<CURLM*>(multi_), handle);
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  if (interrupted_) ALMANAC_THROW(ZQM_EException, "etcd " + url + ": interrupted");
  if (result != CURLE_OK && result != CURLE_WRITE_ERROR) {
    ALMANAC_THROW(ZQM_EException,
                  "etcd " + url + ": " + (*error != 0 ? error : curl_easy_strerror(result)));
  }
}

std::unique_ptr<Transport::Stream> Transport::Connect(const std::string& url, long timeoutMs) {
  CURL* handle = curl_easy_init();
  if (handle == nullptr) ALMANAC_THROW(ZQM_EException, "etcd: curl_easy_init failed");
  // Owned (and removed from the multi handle) by the stream from here on.
  std::unique_ptr<Stream> stream(new Stream(*this, handle, url));
  CommonOptions(handle, url, timeoutMs);
  curl_easy_setopt(handle, CURLOPT_CONNECT_ONLY, 1L);
  const auto result = static_cast<CURLcode>(Perform(handle));
  if (interrupted_) stream->Fail("interrupted");
  if (result != CURLE_OK) stream->Fail(curl_easy_strerror(result));
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(handle, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK ||
      socket == CURL_SOCKET_BAD) {
    stream->Fail("no socket after connecting");
  }
  stream->socket_ = socket;
  return stream;
}

Transport::Stream::Stream(Transport& transport, void* easy, std::string url)
    : transport_(transport), easy_(easy), url_(std::move(url)) {}

Transport::Stream::~Stream() {
  curl_multi_remove_handle(static_cast<CURLM*>(transport_.multi_), static_cast<CURL*>(easy_));
  curl_easy_cleanup(static_cast<CURL*>(easy_));
}

void Transport::Stream::Fail(const std::string& why) const {
  ALMANAC_THROW(ZQM_EException, "etcd " + url_ + ": " + why);
}

std::size_t Transport::Stream::Send(std::string_view bytes) {
  std::size_t sent = 0;
  const CURLcode result =
      curl_easy_send(static_cast<CURL*>(easy_), bytes.data(), bytes.size(), &sent);
  if (result == CURLE_AGAIN) return 0;
  if (result != CURLE_OK) Fail(curl_easy_strerror(result));
  return sent;
}

bool Transport::Stream::Receive(std::string& into, std::size_t most) {
  const std::size_t had = into.size();
  into.resize(had + most);
  std::size_t got = 0;
  const CURLcode result = curl_easy_recv(static_cast<CURL*>(easy_), into.data() + had, most, &got);
  into.resize(had + got);
  if (result == CURLE_AGAIN) return false;
  if (result != CURLE_OK) Fail(curl_easy_strerror(result));
  if (got == 0) Fail("the member closed the connection");
  return true;
}

bool Transport::Stream::Wait(bool sending, Deadline until) {
  CURLM* multi = static_cast<CURLM*>(transport_.multi_);
  for (;;) {
    if (transport_.interrupted_) Fail("interrupted");
    const long left = MillisecondsUntil(until);
    if (left == 0) return false;
    curl_waitfd wanted{static_cast<curl_socket_t>(socket_),
                       static_cast<short>(sending ? CURL_WAIT_POLLOUT : CURL_WAIT_POLLIN), 0};
    curl_multi_poll(multi, &wanted, 1, static_cast<int>(std::min(left, 60000L)), nullptr);
    if (transport_.interrupted_) Fail("interrupted");
    if (wanted.revents != 0) return true;
  }
}

}  // namespace almanac::etcd
