#include "DEVUror/zqm_tclient.h"

#include <time.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <utility>

#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_handshake.h"
#include "DEVUror/zqm_local_socket.h"
#include "DEVUror/zqm_shutdown.h"
#include "DEVUror/zqm_socket_io.h"
#include "DEVUror/zqm_trace.h"

namespace {

template <class E>
[[noreturn]] void Fail(const ZQ_TString& message) {
  E failure(message);
  ZQ_THROW_AT(failure, __FILE__, __LINE__);
}

unsigned CallTimeoutFromEnvironment() {
  const char* text = std::getenv("ZQM_CALL_TIMEOUT_MS");
  if (text == nullptr || *text == 0) return 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return *end == 0 && value <= 0xFFFFFFFFul ? static_cast<unsigned>(value) : 0;
}

void PauseMilliseconds(unsigned milliseconds) {
  zqm_io::AboutToWait();
  timespec pause{static_cast<time_t>(milliseconds / 1000),
                 static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0) {
  }
}

// Failures that another attempt may cure: the server is not there yet.
// Another key or mode stays what it is.
bool Retriable(const ZQM_EException& failure) {
  if (failure.HasSuperclass("ZQM_EAuthenticationFailed")) return false;
  return failure.HasSuperclass("ZQM_EConnectionFailed") || failure.HasSuperclass("ZQM_ETimeout");
}

// A failure as a peer sent it. ZQM_EShutdownInProgress means that this
// process is shutting down, and callers end their work on it; only this
// process's runtime may say so. From a peer it is the peer's news and
// arrives as an ordinary remote failure that says what the peer said.
std::unique_ptr<ZQ_EException> FromPeer(std::unique_ptr<ZQ_EException> failure,
                                        const ZQ_TString& peer) {
  if (!failure->HasSuperclass("ZQM_EShutdownInProgress")) return failure;
  auto ordinary = std::make_unique<ZQM_EException>(
      ZQ_TString::Format("%s answered ZQM_EShutdownInProgress: %s", peer, failure->ZQ_Message()));
  ordinary->ZQ_Data() = failure->ZQ_Data();
  ordinary->__PREPARE_FOR_THROW__(__LINE__, __FILE__);
  for (const ZQ_TAny& line : failure->ZQ_StackTrace()) {
    if (const ZQ_TString* text = line.As<ZQ_TString>()) ordinary->ZQ_AddTrace(*text);
  }
  return ordinary;
}

}  // namespace

ZQM_TClient::ZQM_TClient() : callTimeoutMs_(CallTimeoutFromEnvironment()) {
  zqm_shutdown::ThrowIfInProgress("a new middleware client");
  ZQM_RegisterRuntimeClasses();
}

ZQM_TClient::ZQM_TClient(const ZQ_TString& host, unsigned short port) : ZQM_TClient() {
  Connect(host, port);
}

ZQM_TClient::~ZQM_TClient() {
  Disconnect();
}

void ZQM_TClient::SetConnectionAttempts(unsigned attempts) {
  attempts_ = attempts == 0 ? 1 : attempts;
}

void ZQM_TClient::SetConnectionInterval(unsigned milliseconds) {
  intervalMs_ = milliseconds;
}

void ZQM_TClient::SetCallTimeout(unsigned milliseconds) {
  callTimeoutMs_ = milliseconds;
}

void ZQM_TClient::SetGreetingTimeout(unsigned milliseconds) {
  greetingTimeoutMs_ = milliseconds;
}

void ZQM_TClient::Disconnect() {
  // A connection to this host's daemon between calls serves the next
  // client of the process.
  if (local_ && fd_ >= 0 && !midCall_) {
    local_->fd = std::exchange(fd_, -1);
    zqm_local::GiveBack(std::move(*local_));
  }
  local_.reset();
  midCall_ = false;
  zqm_io::Close(fd_);
  channel_ = zqm_channel::Channel();
  connectedPort_ = 0;
}

void ZQM_TClient::Connect(const ZQ_TString& host, unsigned short port) {
  zqm_shutdown::ThrowIfInProgress("Connect");
  target_ = Target::kPort;
  host_ = host;
  port_ = port;
  ConnectWithAttempts();
}

void ZQM_TClient::Connect(const ZQ_TString& host, const ZQ_TString& serverName,
                          unsigned short instance, TLocationMode mode) {
  zqm_shutdown::ThrowIfInProgress("Connect");
  target_ = Target::kName;
  host_ = host;
  serverName_ = serverName;
  instance_ = instance;
  mode_ = mode;
  ConnectWithAttempts();
}

void ZQM_TClient::Reconnect() {
  zqm_shutdown::ThrowIfInProgress("Reconnect");
  if (target_ == Target::kNone) Fail<ZQM_EConnectionFailed>("Reconnect without an earlier Connect");
  ConnectWithAttempts();
}

void ZQM_TClient::ConnectWithAttempts() {
  Disconnect();
  for (unsigned attempt = 1;; ++attempt) {
    try {
      ConnectOnce();
      return;
    } catch (const ZQM_EException& failure) {
      if (attempt >= attempts_ || !Retriable(failure)) throw;
    }
    PauseMilliseconds(intervalMs_);
    zqm_shutdown::ThrowIfInProgress("Connect");
  }
}

void ZQM_TClient::ConnectOnce() {
  if (target_ == Target::kPort) {
    ConnectToPort(host_, port_, nullptr);
    return;
  }
  std::uint32_t pid = 0;
  const unsigned short port = Locate(pid);
  ConnectToPort(host_, port, [this, port](const zqm_wire::Hello& hello) {
    if (hello.name == serverName_ && hello.instance == instance_) return;
    Fail<ZQM_EConnectionFailed>(ZQ_TString::Format(
        "the daemon on \"%s\" placed %s#%d on port %d, but %s#%d at %s:%d answers there", host_,
        serverName_, instance_, port, hello.name, hello.instance,
        host_.IsEmpty() ? ZQ_TString("localhost") : host_, port));
  });
}

void ZQM_TClient::ConnectToPort(const ZQ_TString& host, unsigned short port,
                                const std::function<void(const zqm_wire::Hello&)>& checkPeer) {
  if (port == kDaemonPort && zqm_local::IsThisHost(host)) return ConnectToLocalDaemon();
  // No key, no connection: the server would only see one that never proves anything.
  auto credentials = zqm_auth::Current();
  const zqm_io::Address address = zqm_io::Resolve(host, port);
  const ZQ_TString server = ZQ_TString("the server at ") + address.text.c_str();
  zqm_handshake::Client handshake(std::move(credentials), server);
  int fd = zqm_io::Connect(address, zqm_io::After(kConnectTimeoutMs));
  try {
    const zqm_io::Deadline deadline = zqm_io::After(greetingTimeoutMs_);
    const zqm_wire::Hello& hello =
        handshake.ReadGreeting(zqm_io::ReceiveFrame(fd, deadline, "greeting of " + server));
    // Whom we meant to reach, before we prove anything to it.
    if (port == kDaemonPort && !(hello.name == kDaemonName && hello.instance == 0)) {
      Fail<ZQM_EConnectionFailed>(
          ZQ_TString::Format("%s: %s#%d answers on the daemon's port, not the middleware daemon",
                             server, hello.name, hello.instance));
    }
    if (checkPeer) checkPeer(hello);
    const std::string proof = handshake.Prove();
    if (!proof.empty()) {
      const ZQ_TString what = "handshake with " + server;
      zqm_io::SendAll(fd, proof, deadline, what);
      std::string answer;
      try {
        answer = zqm_io::ReceiveFrame(fd, deadline, what);
      } catch (const ZQM_EConnectionFailed& closed) {
        handshake.ProofRefused(closed);
      }
      handshake.CheckAnswer(answer);
    }
    peer_ = handshake.Peer();
    channel_ = handshake.TakeChannel();
  } catch (...) {
    zqm_io::Close(fd);
    throw;
  }
  fd_ = fd;
  connectedPort_ = port;
}

void ZQM_TClient::ConnectToLocalDaemon() {
  zqm_local::DaemonConnection connection =
      zqm_local::TakeDaemonConnection(zqm_io::After(greetingTimeoutMs_));
  try {
    peer_ = zqm_wire::DecodeHello(std::string_view(connection.greeting).substr(1));
  } catch (...) {
    zqm_io::Close(connection.fd);
    throw;
  }
  peer_.pid = static_cast<std::uint32_t>(connection.pid);
  channel_ = zqm_channel::Channel();
  fd_ = connection.fd;
  connectedPort_ = kDaemonPort;
  local_ = std::move(connection);
  local_->fd = -1;  // fd_ holds it
}

unsigned short ZQM_TClient::Locate(std::uint32_t& pid) {
  ZQ_TDict request;
  request.Set("M", ZQ_TAny("Locate"));
  request.Set("P1", ZQ_TAny(serverName_));
  request.Set("P2", ZQ_TAny(ZQ_TUInt16(instance_)));
  request.Set("P3", ZQ_TAny(static_cast<unsigned>(mode_)));
  ZQ_TAny reply;
  try {
    ZQM_TClient daemon;
    daemon.ConnectToPort(host_, kDaemonPort, nullptr);
    reply = daemon.Exchange(request, zqm_io::After(kLocateTimeoutMs));
  } catch (ZQM_EException& failure) {
    failure.ZQ_Message() = ZQ_TString::Format("locating %s#%d through the middleware daemon: %s",
                                              serverName_, instance_, failure.ZQ_Message());
    throw;
  }
  const ZQ_TDict* place = reply.As<ZQ_TDict>();
  const ZQ_TAny* port = place != nullptr ? place->Find("Port") : nullptr;
  const ZQ_TAny* process = place != nullptr ? place->Find("PID") : nullptr;
  if (port == nullptr || port->As<ZQ_TUInt32>() == nullptr || process == nullptr ||
      process->As<ZQ_TUInt32>() == nullptr || port->As<ZQ_TUInt32>()->Value() > 0xFFFF) {
    Fail<ZQM_EProtocolError>(ZQ_TString::Format("the daemon on \"%s\" answered Locate with %s",
                                                host_, reply.HeldClassName()));
  }
  pid = process->As<ZQ_TUInt32>()->Value();
  return static_cast<unsigned short>(port->As<ZQ_TUInt32>()->Value());
}

zqm_io::Deadline ZQM_TClient::CallDeadline() const {
  return callTimeoutMs_ == 0 ? zqm_io::kNoDeadline : zqm_io::After(callTimeoutMs_);
}

ZQ_TAny ZQM_TClient::RPC(const ZQ_TString& method) {
  return Call(method, ZQ_TList());
}

ZQ_TAny ZQM_TClient::RPC(const ZQ_TString& method, const ZQ_TAny& p1) {
  ZQ_TList arguments;
  arguments.Append(p1);
  return Call(method, arguments);
}

ZQ_TAny ZQM_TClient::RPC(const ZQ_TString& method, const ZQ_TAny& p1, const ZQ_TAny& p2) {
  ZQ_TList arguments;
  arguments.Append(p1);
  arguments.Append(p2);
  return Call(method, arguments);
}

ZQ_TAny ZQM_TClient::Call(const ZQ_TString& method, const ZQ_TList& arguments) {
  ZQ_TDict request;
  request.Set("M", ZQ_TAny(method));
  for (std::size_t i = 0; i < arguments.Count(); ++i) {
    request.Set(ZQ_TString::Format("P%d", i + 1), arguments[i]);
  }
  return Exchange(request, CallDeadline());
}

ZQ_TAny ZQM_TClient::Exchange(const ZQ_TDict& request, zqm_io::Deadline deadline) {
  const ZQ_TString what =
      ZQ_TString::Format("call \"%s\" to %s", zqm_wire::MethodOf(request), Describe());
  if (fd_ < 0) Fail<ZQM_EConnectionFailed>(what + ": not connected");
  std::string payload;
  midCall_ = true;
  try {
    payload = RoundTrip(request, deadline, what);
  } catch (const ZQM_EConnectionFailed&) {
    // A pooled connection the daemon closed meanwhile (its idle time-out,
    // its restart) fails before an answer: the call goes again, once, on a
    // new connection.
    if (!local_ || !local_->reused) {
      Disconnect();
      throw;
    }
    Disconnect();
    ConnectToLocalDaemon();
    midCall_ = true;
    try {
      payload = RoundTrip(request, deadline, what);
    } catch (...) {
      Disconnect();
      throw;
    }
  } catch (...) {
    Disconnect();
    throw;
  }
  midCall_ = false;
  const std::string_view body = std::string_view(payload).substr(1);
  switch (zqm_wire::PayloadKind(payload)) {
    case zqm_wire::Kind::kResult:
      return zqm_wire::DecodeResult(body);
    case zqm_wire::Kind::kFailure: {
      std::unique_ptr<ZQ_EException> failure =
          FromPeer(std::unique_ptr<ZQ_EException>(zqm_wire::DecodeFailure(body)), Describe());
      failure->ZQ_AddTrace(what);
      failure->ZQ_Throw();
      __builtin_unreachable();  // ZQ_Throw always throws
    }
    default:
      Disconnect();
      Fail<ZQM_EProtocolError>(what + ": the reply is neither a result nor a failure");
  }
}

std::string ZQM_TClient::RoundTrip(const ZQ_TDict& request, zqm_io::Deadline deadline,
                                   const ZQ_TString& what) {
  zqm_io::SendAll(fd_, channel_.Seal(zqm_wire::RequestFrame(request)), deadline, what);
  return channel_.Open(zqm_io::ReceiveFrame(fd_, deadline, what));
}

ZQ_TString ZQM_TClient::Describe() const {
  const ZQ_TString name =
      fd_ >= 0 ? peer_.name : (target_ == Target::kName ? serverName_ : ZQ_TString("server"));
  const unsigned instance = fd_ >= 0 ? peer_.instance : instance_;
  const unsigned port = fd_ >= 0 ? connectedPort_ : port_;
  const ZQ_TString host = host_.IsEmpty() ? ZQ_TString("localhost") : host_;
  if (target_ == Target::kName || fd_ >= 0) {
    return ZQ_TString::Format("%s#%d at %s:%d", name, instance, host, port);
  }
  return ZQ_TString::Format("the server at %s:%d", host, port);
}
