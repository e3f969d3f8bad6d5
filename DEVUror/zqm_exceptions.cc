#include "DEVUror/zqm_exceptions.h"

ZQ_IMPLEMENT_EXCEPTION_CLASS(ZQM_EException, ZQ_EException)
ZQ_IMPLEMENT_EXCEPTION_CLASS(ZQM_ENoSuchServerMethod, ZQM_EException)
ZQ_IMPLEMENT_EXCEPTION_CLASS(ZQM_EShutdownInProgress, ZQM_EException)
ZQ_IMPLEMENT_EXCEPTION_CLASS(ZQM_EConnectionFailed, ZQM_EException)
ZQ_IMPLEMENT_EXCEPTION_CLASS(ZQM_EAuthenticationFailed, ZQM_EConnectionFailed)
ZQ_IMPLEMENT_EXCEPTION_CLASS(ZQM_ETimeout, ZQM_EException)
ZQ_IMPLEMENT_EXCEPTION_CLASS(ZQM_ENoSuchServer, ZQM_EException)
ZQ_IMPLEMENT_EXCEPTION_CLASS(ZQM_ENotAnRpcServer, ZQM_EException)
ZQ_IMPLEMENT_EXCEPTION_CLASS(ZQM_EProtocolError, ZQM_EException)
ZQ_IMPLEMENT_EXCEPTION_CLASS(ZQM_EAccessDenied, ZQM_EException)

void ZQM_RegisterRuntimeClasses() {
  static const bool registered = [] {
    ZQ_RegisterLibraryClasses();
    ZQM_EException::ZQ_ClassObject();
    ZQM_ENoSuchServerMethod::ZQ_ClassObject();
    ZQM_EShutdownInProgress::ZQ_ClassObject();
    ZQM_EConnectionFailed::ZQ_ClassObject();
    ZQM_EAuthenticationFailed::ZQ_ClassObject();
    ZQM_ETimeout::ZQ_ClassObject();
    ZQM_ENoSuchServer::ZQ_ClassObject();
    ZQM_ENotAnRpcServer::ZQ_ClassObject();
    ZQM_EProtocolError::ZQ_ClassObject();
    ZQM_EAccessDenied::ZQ_ClassObject();
    return true;
  }();
  (void)registered;
}
