// The middleware's exception classes. Every failure of the RPC runtime is a
// ZQM_EException or derived from it; a server's processor may throw any
// ZQ_EException, which reaches the caller as the same class, message and
// data.
#pragma once

#include "typelib/dodived.h"

// The middleware's own exception class.
class ZQM_EException : public ZQ_EException {
  ZQ_DECLARE_EXCEPTION_CLASS(ZQM_EException, ZQ_EException)
};

// A call named a method that the server does not serve; the message is the
// method name.
class ZQM_ENoSuchServerMethod : public ZQM_EException {
  ZQ_DECLARE_EXCEPTION_CLASS(ZQM_ENoSuchServerMethod, ZQM_EException)
};

// The process has begun to shut down (SIGTERM or SIGINT arrived, or the
// event loop has returned): no new connections are made.
class ZQM_EShutdownInProgress : public ZQM_EException {
  ZQ_DECLARE_EXCEPTION_CLASS(ZQM_EShutdownInProgress, ZQM_EException)
};

// A connection could not be made or broke: refused, unreachable, closed by
// the peer, or the peer is not the server that was asked for.
class ZQM_EConnectionFailed : public ZQM_EException {
  ZQ_DECLARE_EXCEPTION_CLASS(ZQM_EConnectionFailed, ZQM_EException)
};

// The handshake failed: the peer holds another installation key, or one
// side runs without authentication and the other does not. Not retried.
class ZQM_EAuthenticationFailed : public ZQM_EConnectionFailed {
  ZQ_DECLARE_EXCEPTION_CLASS(ZQM_EAuthenticationFailed, ZQM_EConnectionFailed)
};

// A connection, greeting or call did not complete in its time.
class ZQM_ETimeout : public ZQM_EException {
  ZQ_DECLARE_EXCEPTION_CLASS(ZQM_ETimeout, ZQM_EException)
};

// The daemon knows no such server or instance (not running and not
// configured, or not running and not to be started).
class ZQM_ENoSuchServer : public ZQM_EException {
  ZQ_DECLARE_EXCEPTION_CLASS(ZQM_ENoSuchServer, ZQM_EException)
};

// The instance runs but is a plain program: it serves no RPC.
class ZQM_ENotAnRpcServer : public ZQM_EException {
  ZQ_DECLARE_EXCEPTION_CLASS(ZQM_ENotAnRpcServer, ZQM_EException)
};

// The peer sent something that is not this middleware's protocol.
class ZQM_EProtocolError : public ZQM_EException {
  ZQ_DECLARE_EXCEPTION_CLASS(ZQM_EProtocolError, ZQM_EException)
};

// The caller's role does not allow the method: the message names the role,
// the method and the role it needs (zqm_roles.h).
class ZQM_EAccessDenied : public ZQM_EException {
  ZQ_DECLARE_EXCEPTION_CLASS(ZQM_EAccessDenied, ZQM_EException)
};

// Makes sure the runtime's exception classes are in the class registry, so
// that replies carrying them can be rebuilt. Cheap after the first call.
void ZQM_RegisterRuntimeClasses();
