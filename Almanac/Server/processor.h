// The bridge between the RPC server and the configuration store.
#pragma once

#include "typelib/dodived.h"

class ZQM_TServer;

namespace almanac {

// A ZQM_TServer processor; `context` is the ConfigStore to serve. Failures
// leave as the store's exceptions, which the server hands to the caller; a
// call the store answers later is deferred (ZQM_TServer::Defer).
void ProcessRequest(ZQM_TServer& server, const ZQ_TDict& arguments, ZQ_TAny& result, void* context);

}  // namespace almanac
