// ZQM_TServer: a middleware server. One per process.
//
//   ZQM_TServer server;                       // may be a static object
//   server.Bind("Name", instance, 0, false);  // listen, register with the daemon
//   server.SetProcessor(&Process, context);
//   server.SetTimeOut(-1);
//   server.EventLoop();                       // until SIGTERM or SIGINT
//
// Calls are served one at a time on the thread that runs EventLoop, in the
// order their requests arrive; a connection carries one call at a time. A
// processor that must wait for something may Defer its answer, and the
// loop goes on serving other calls meanwhile.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string_view>

#include "DEVUror/zqm_exceptions.h"
#include "typelib/dodived.h"

class ZQM_TServer {
 public:
  // Called for every request: `arguments` holds the method name under "M"
  // and the parameters under "P1", "P2", ...; the processor sets `result`
  // (left empty, the caller receives an empty ZQ_TAny) or throws. A
  // ZQ_EException reaches the caller as its own class, message and data; any
  // other exception as a ZQM_EException saying so.
  using TProcessor = void (*)(ZQM_TServer& server, const ZQ_TDict& arguments, ZQ_TAny& result,
                              void* context);

  // Cheap and safe during static initialisation: nothing is opened until Bind.
  ZQM_TServer();
  ~ZQM_TServer();
  ZQM_TServer(const ZQM_TServer&) = delete;
  ZQM_TServer& operator=(const ZQM_TServer&) = delete;

  // Starts listening and registers the server with the middleware daemon of
  // this host (port 8088) under `name` and `instance`, with this process's
  // id and the port it listens on. `port` 0 takes a free port chosen by the
  // kernel. `listenOnAllInterfaces` false listens on loopback only (the
  // usual choice: clients on this host reach it through the daemon), true
  // on every interface. Installs the handlers that make SIGTERM and SIGINT
  // end the event loop. Throws ZQM_EException when the process has no
  // installation key and is not started insecure (zqm_auth.h), when the
  // port cannot be opened, the daemon cannot be reached or refuses the
  // registration (the instance is bound by another live process), or Bind
  // was called before.
  //
  // With a host address (SetHostAddress, else the environment variable
  // ZQM_LISTEN_ADDRESS), a server that listens on loopback listens on the
  // same port of that address as well, so that clients on other hosts can
  // reach it; a malformed address throws.
  void Bind(const ZQ_TString& name, unsigned short instance, unsigned short port,
            bool listenOnAllInterfaces);

  // The address of this host on which Bind listens besides loopback (an IP
  // address; empty: none, whatever ZQM_LISTEN_ADDRESS holds). Call before
  // Bind.
  void SetHostAddress(const ZQ_TString& address);

  // Runs `work` on the thread of the event loop, in the order posted; safe
  // from any thread once the server is bound. Work still waiting when the
  // loop ends is run as it closes, or never.
  void Post(std::function<void()> work);

  void SetProcessor(TProcessor processor, void* context);

  // Answers a deferred call: with `result`, or with `failure` (non-null) as
  // if the processor had thrown it.
  using Answer = std::function<void(ZQ_TAny result, std::exception_ptr failure)>;

  // Only from a processor, for the call it runs: the call is answered
  // later, when the returned function is called (once, from any thread),
  // and `result` is ignored. Until then that connection waits; others are
  // served. An answer that comes after the loop has ended is never sent.
  Answer Defer();

  // Which rows of the roles table (zqm_roles.h) decide who may call this
  // server's methods: those of `service` (e.g. "Almanac" for a configuration
  // server bound under another name). By default the bound name's. A call
  // its caller's role does not allow never reaches the processor: it fails
  // with ZQM_EAccessDenied.
  void UseRolesOf(const ZQ_TString& service);

  // Seconds without any call after which EventLoop returns; -1 (the
  // default): no idle time-out.
  void SetTimeOut(int seconds);

  // Serves calls until the process receives SIGTERM or SIGINT (also one that
  // arrived before the loop began) or the idle time-out passes. On return
  // the process has begun to shut down: listening has stopped, and new
  // client connections throw ZQM_EShutdownInProgress. Throws ZQM_EException
  // when the server is not bound.
  void EventLoop();

  // Writes one trace line, when `level` is at most the trace level (the
  // environment variable ZQM_TRACE_LEVEL, default 1): see zqm_trace.h. Safe
  // from any number of threads at once; control characters are escaped.
  void DBG_Type(int level, const ZQ_TString& text) const;
  void DBG_Type(int level, const char* text) const;

  // Runs `handler` on the event loop's thread whenever `signal` arrives
  // while the loop runs (e.g. SIGHUP to reload a configuration). Not for
  // SIGTERM or SIGINT, which end the loop.
  void OnSignal(int signal, std::function<void()> handler);

  bool IsBound() const;
  const ZQ_TString& Name() const;
  unsigned short Instance() const;
  // The port the server listens on (0 before Bind).
  unsigned short Port() const;

  // The name and instance a server was started as by the daemon: the
  // environment variables ZQM_SERVER_NAME and ZQM_SERVER_INSTANCE. False
  // when either is missing or the instance is not a number from 0 to 65535.
  static bool StartedAs(ZQ_TString& name, unsigned short& instance);

  class Impl;  // the event loop's machinery, kept out of this header

 private:
  std::unique_ptr<Impl> impl_;
};
