#include "DEVUror/zqm_tserver.h"

#include <unistd.h>

#include <asio.hpp>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_listener.h"
#include "DEVUror/zqm_shutdown.h"
#include "DEVUror/zqm_tclient.h"
#include "DEVUror/zqm_trace.h"
#include "DEVUror/zqm_wire.h"

namespace {

template <class E>
[[noreturn]] void Fail(const ZQ_TString& message) {
  E failure(message);
  ZQ_THROW_AT(failure, __FILE__, __LINE__);
}

}  // namespace

class ZQM_TServer::Impl {
 public:
  explicit Impl(ZQM_TServer& owner) : server(owner) {}

  ZQM_TServer& server;
  asio::io_context io{1};
  std::optional<asio::ip::tcp::acceptor> acceptor;  // from Bind until the loop starts
  std::optional<zqm_listener::Listener> listener;
  // The same port on the host's address, when one is given.
  std::optional<ZQ_TString> hostAddress;
  std::optional<asio::ip::tcp::acceptor> hostAcceptor;
  std::optional<zqm_listener::Listener> hostListener;
  std::optional<zqm_deadlines::DeadlineQueue> deadlines;
  zqm_deadlines::Id idleDeadline = 0;
  ZQ_TString name;
  unsigned short instance = 0;
  unsigned short port = 0;
  bool bound = false;
  TProcessor processor = nullptr;
  void* context = nullptr;
  int timeoutSeconds = -1;
  std::vector<std::pair<int, std::function<void()>>> signalHandlers;
  // Made by the first OnSignal, so that the signals are caught from then on
  // (delivered once the loop runs) rather than ending the process.
  std::optional<asio::signal_set> signals;
  zqm_wire::Hello hello;
  // The call the processor runs, while it runs, and whether it was deferred.
  const zqm_listener::Reply* running = nullptr;
  ZQ_TString runningMethod;
  bool deferred = false;
  // Whose rows of the roles table apply to this server's methods.
  std::optional<ZQ_TString> rolesOf;

  void Listen(const ZQ_TString& name, unsigned short instance, unsigned short port,
              bool listenOnAllInterfaces);
  void WatchShutdown(asio::posix::stream_descriptor& wake);
  void WatchSignals(asio::signal_set& signals);
  void ArmIdleTimer();
  // The frame that answers the call, or nothing when the processor deferred it.
  std::optional<std::string> Dispatch(const ZQ_TDict& request, const zqm_roles::Caller& caller,
                                      const zqm_listener::Reply& reply);
  void Serve(std::optional<zqm_listener::Listener>& served,
             std::optional<asio::ip::tcp::acceptor>& acceptor);
  void CloseAll();
};

namespace {

ZQ_TString BindWhat(const ZQ_TString& name, unsigned short instance) {
  return ZQ_TString::Format("Bind(\"%s\", %d)", name, instance);
}

void Register(const ZQ_TString& name, unsigned short instance, unsigned short port) {
  ZQ_TDict registration;
  registration.Set("Name", ZQ_TAny(name));
  registration.Set("Instance", ZQ_TAny(ZQ_TUInt16(instance)));
  registration.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(getpid()))));
  registration.Set("Port", ZQ_TAny(ZQ_TUInt32(port)));
  try {
    ZQM_TClient daemon(ZQ_TString(), ZQM_TClient::kDaemonPort);
    daemon.RPC("Register", ZQ_TAny(registration));
  } catch (const ZQM_EShutdownInProgress&) {
    throw;
  } catch (const ZQ_EException& failure) {
    Fail<ZQM_EException>(
        BindWhat(name, instance) +
        ": cannot register with the middleware daemon on port 8088: " + failure.ZQ_Message());
  }
}

// The host address to listen on besides loopback, if any.
std::optional<asio::ip::address> HostAddress(const std::optional<ZQ_TString>& chosen,
                                             const ZQ_TString& what) {
  ZQ_TString text;
  if (chosen) {
    text = *chosen;
  } else if (const char* variable = std::getenv("ZQM_LISTEN_ADDRESS")) {
    text = variable;
  }
  if (text.IsEmpty()) return std::nullopt;
  asio::error_code error;
  const asio::ip::address address = asio::ip::make_address(text.Text(), error);
  if (error) {
    Fail<ZQM_EException>(
        ZQ_TString::Format("%s: the host address \"%s\"%s is not an IP address: %s", what, text,
                           chosen ? "" : " (ZQM_LISTEN_ADDRESS)", error.message()));
  }
  if (address.is_loopback()) return std::nullopt;
  return address;
}

// A port the kernel chose on loopback may be taken on the host's address;
// another one is tried this often.
constexpr int kHostPortAttempts = 8;

}  // namespace

void ZQM_TServer::Impl::Listen(const ZQ_TString& name, unsigned short instance, unsigned short port,
                               bool listenOnAllInterfaces) {
  const ZQ_TString what = BindWhat(name, instance);
  const auto address = listenOnAllInterfaces ? asio::ip::address(asio::ip::address_v4::any())
                                             : asio::ip::address(asio::ip::address_v4::loopback());
  const std::optional<asio::ip::address> host =
      listenOnAllInterfaces ? std::nullopt : HostAddress(hostAddress, what);
  for (int attempt = 1;; ++attempt) {
    asio::error_code error;
    acceptor = zqm_listener::OpenAcceptor(io, address, port, error);
    if (!acceptor) {
      Fail<ZQM_EException>(ZQ_TString::Format("%s: cannot listen on %s:%d: %s", what,
                                              address.to_string(), port, error.message()));
    }
    if (!host) return;
    const unsigned short chosen = acceptor->local_endpoint().port();
    hostAcceptor = zqm_listener::OpenAcceptor(io, *host, chosen, error);
    if (hostAcceptor) return;
    acceptor.reset();
    if (port != 0 || error != asio::error::address_in_use || attempt == kHostPortAttempts) {
      Fail<ZQM_EException>(ZQ_TString::Format("%s: cannot listen on %s:%d: %s", what,
                                              host->to_string(), chosen, error.message()));
    }
  }
}

void ZQM_TServer::Impl::WatchShutdown(asio::posix::stream_descriptor& wake) {
  wake.async_wait(asio::posix::stream_descriptor::wait_read, [this](asio::error_code error) {
    if (!error) io.stop();
  });
}

void ZQM_TServer::Impl::WatchSignals(asio::signal_set& signals) {
  signals.async_wait([this, &signals](asio::error_code error, int signal) {
    if (error) return;  // cancelled: the loop is ending; the signals stay caught
    for (auto& [number, handler] : signalHandlers) {
      if (number == signal) handler();
    }
    WatchSignals(signals);
  });
}

void ZQM_TServer::Impl::ArmIdleTimer() {
  if (timeoutSeconds < 0) return;
  if (!deadlines) deadlines.emplace(io);
  deadlines->Cancel(idleDeadline);
  idleDeadline = deadlines->After(std::chrono::seconds(timeoutSeconds), [this] {
    zqm_trace::Line(
        0, ZQ_TString::Format("No call for %d seconds; leaving the event loop", timeoutSeconds)
               .Text());
    io.stop();
  });
}

namespace {

// The frame that answers `method`: what `answer` yields, or what it throws.
std::string AnswerFrame(const ZQ_TString& method, const std::function<ZQ_TAny()>& answer) {
  try {
    return zqm_wire::ResultFrame(answer());
  } catch (const ZQ_EException& failure) {
    try {
      return zqm_wire::FailureFrame(failure);
    } catch (const ZQ_EException& tooLarge) {
      ZQM_EException replacement(tooLarge.ZQ_Message());
      return zqm_wire::FailureFrame(replacement.__PREPARE_FOR_THROW__(__LINE__, __FILE__));
    }
  } catch (const std::exception& unexpected) {
    ZQM_EException wrapped(ZQ_TString::Format(
        "\"%s\" failed with an exception outside the type library: %s", method, unexpected.what()));
    return zqm_wire::FailureFrame(wrapped.__PREPARE_FOR_THROW__(__LINE__, __FILE__));
  } catch (...) {
    ZQM_EException wrapped(ZQ_TString::Format("\"%s\" failed with an unknown exception", method));
    return zqm_wire::FailureFrame(wrapped.__PREPARE_FOR_THROW__(__LINE__, __FILE__));
  }
}

}  // namespace

std::optional<std::string> ZQM_TServer::Impl::Dispatch(const ZQ_TDict& request,
                                                       const zqm_roles::Caller& caller,
                                                       const zqm_listener::Reply& reply) {
  const ZQ_TString method = zqm_wire::MethodOf(request);
  ArmIdleTimer();
  running = &reply;
  runningMethod = method;
  deferred = false;
  std::string frame = AnswerFrame(method, [&] {
    zqm_roles::Check(caller, (rolesOf ? *rolesOf : name).Text(), method.Text());
    ZQ_TAny result;
    if (processor == nullptr) {
      ZQM_ENoSuchServerMethod none(method);
      ZQ_THROW_AT(none, __FILE__, __LINE__);
    }
    processor(server, request, result, context);
    return result;
  });
  running = nullptr;
  if (deferred) return std::nullopt;
  return frame;
}

void ZQM_TServer::Impl::Serve(std::optional<zqm_listener::Listener>& served,
                              std::optional<asio::ip::tcp::acceptor>& acceptor) {
  served.emplace(
      std::move(*acceptor), hello,
      [this](const ZQ_TDict& request, const zqm_roles::Caller& caller, zqm_listener::Reply reply) {
        if (std::optional<std::string> frame = Dispatch(request, caller, reply))
          reply(std::move(*frame));
      });
  acceptor.reset();
  served->Start();
}

void ZQM_TServer::Impl::CloseAll() {
  if (listener) listener->Close();
  if (hostListener) hostListener->Close();
  if (deadlines) deadlines->Cancel(idleDeadline);
  // Let the cancelled operations run their handlers, which release the sessions.
  io.restart();
  io.poll();
}

ZQM_TServer::ZQM_TServer() = default;

ZQM_TServer::~ZQM_TServer() = default;

void ZQM_TServer::Bind(const ZQ_TString& name, unsigned short instance, unsigned short port,
                       bool listenOnAllInterfaces) {
  if (impl_ && impl_->bound)
    Fail<ZQM_EException>(BindWhat(name, instance) + ": already bound as " + impl_->name);
  if (!impl_) impl_ = std::make_unique<Impl>(*this);
  zqm_shutdown::InstallSignalHandlers();
  ZQM_RegisterRuntimeClasses();
  try {
    zqm_auth::Current();
  } catch (ZQ_EException& failure) {
    failure.ZQ_Message() = BindWhat(name, instance) + ": " + failure.ZQ_Message();
    throw;
  }

  impl_->Listen(name, instance, port, listenOnAllInterfaces);
  const unsigned short actualPort = impl_->acceptor->local_endpoint().port();
  try {
    Register(name, instance, actualPort);
  } catch (...) {
    impl_->acceptor.reset();
    impl_->hostAcceptor.reset();
    throw;
  }

  impl_->name = name;
  impl_->instance = instance;
  impl_->port = actualPort;
  impl_->bound = true;
  impl_->hello = {name, instance};
}

void ZQM_TServer::SetHostAddress(const ZQ_TString& address) {
  if (!impl_) impl_ = std::make_unique<Impl>(*this);
  impl_->hostAddress = address;
}

void ZQM_TServer::Post(std::function<void()> work) {
  if (!impl_ || !impl_->bound) Fail<ZQM_EException>("Post: the server is not bound");
  asio::post(impl_->io, std::move(work));
}

ZQM_TServer::Answer ZQM_TServer::Defer() {
  if (!impl_ || impl_->running == nullptr)
    Fail<ZQM_EException>("Defer: no call is being processed");
  impl_->deferred = true;
  // The reply writes on the connection: only from the loop's thread.
  return [&io = impl_->io, reply = *impl_->running, method = impl_->runningMethod](
             ZQ_TAny result, std::exception_ptr failure) {
    asio::post(io, [reply, method, result = std::move(result), failure] {
      reply(AnswerFrame(method, [&] {
        if (failure) std::rethrow_exception(failure);
        return result;
      }));
    });
  };
}

void ZQM_TServer::UseRolesOf(const ZQ_TString& service) {
  if (!impl_) impl_ = std::make_unique<Impl>(*this);
  impl_->rolesOf = service;
}

void ZQM_TServer::SetProcessor(TProcessor processor, void* context) {
  if (!impl_) impl_ = std::make_unique<Impl>(*this);
  impl_->processor = processor;
  impl_->context = context;
}

void ZQM_TServer::SetTimeOut(int seconds) {
  if (!impl_) impl_ = std::make_unique<Impl>(*this);
  impl_->timeoutSeconds = seconds < 0 ? -1 : seconds;
}

void ZQM_TServer::EventLoop() {
  if (!impl_ || !impl_->bound) Fail<ZQM_EException>("EventLoop: the server is not bound");
  Impl& impl = *impl_;
  if (!zqm_shutdown::InProgress()) {
    asio::posix::stream_descriptor wake(impl.io, dup(zqm_shutdown::WakeDescriptor()));
    impl.WatchShutdown(wake);
    if (impl.signals) impl.WatchSignals(*impl.signals);
    impl.Serve(impl.listener, impl.acceptor);
    if (impl.hostAcceptor) impl.Serve(impl.hostListener, impl.hostAcceptor);
    impl.ArmIdleTimer();
    impl.io.restart();
    impl.io.run();
    if (impl.signals) impl.signals->cancel();
    wake.cancel();
  }
  zqm_shutdown::Begin();
  impl.CloseAll();
}

void ZQM_TServer::DBG_Type(int level, const ZQ_TString& text) const {
  zqm_trace::Line(level, text.Text());
}

void ZQM_TServer::DBG_Type(int level, const char* text) const {
  zqm_trace::Line(level, text != nullptr ? text : "");
}

void ZQM_TServer::OnSignal(int signal, std::function<void()> handler) {
  if (!impl_) impl_ = std::make_unique<Impl>(*this);
  impl_->signalHandlers.emplace_back(signal, std::move(handler));
  if (!impl_->signals) impl_->signals.emplace(impl_->io);
  impl_->signals->add(signal);
}

bool ZQM_TServer::IsBound() const {
  return impl_ && impl_->bound;
}

const ZQ_TString& ZQM_TServer::Name() const {
  return impl_ ? impl_->name : ZQ_TString::sEmpty;
}

unsigned short ZQM_TServer::Instance() const {
  return impl_ ? impl_->instance : 0;
}

unsigned short ZQM_TServer::Port() const {
  return impl_ ? impl_->port : 0;
}

bool ZQM_TServer::StartedAs(ZQ_TString& name, unsigned short& instance) {
  const char* nameText = std::getenv("ZQM_SERVER_NAME");
  const char* instanceText = std::getenv("ZQM_SERVER_INSTANCE");
  if (nameText == nullptr || *nameText == 0 || instanceText == nullptr || *instanceText == 0)
    return false;
  char* end = nullptr;
  const unsigned long value = std::strtoul(instanceText, &end, 10);
  if (*end != 0 || value > 0xFFFF) return false;
  name = nameText;
  instance = static_cast<unsigned short>(value);
  return true;
}
