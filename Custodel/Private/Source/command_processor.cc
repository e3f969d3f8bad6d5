// The command processor of the RPC server "Custodel".
#include "Custodel/Private/Source/custodel.h"

namespace {

void IgnoreServer(const ZQ_TDict& arguments, ZQ_TAny& result) {
  try {
    const ZQ_TString& name = arguments["P1"].DynamicCast<ZQ_TString>(kCustodelSource, __LINE__);
    if (name == "*") {
      Reconfigure(false);
    } else {
      RemoveMonitor(name);
    }
    result = 1;
  } catch (...) {
    // The caller learns of the failure from the result alone.
    result = 0;
  }
}

}  // namespace

void ProcessCommand(ZQM_TServer&, const ZQ_TDict& arguments, ZQ_TAny& result, void*) {
  const ZQ_TString& method = arguments["M"].DynamicCast<ZQ_TString>(kCustodelSource, __LINE__);
  if (method == "Reconfigure") {
    Reconfigure(true);
    result = 1;
  } else if (method == "Stop") {
    Reconfigure(false);
    result = 1;
  } else if (method == "IgnoreServer") {
    IgnoreServer(arguments, result);
  } else {
    ZQM_ENoSuchServerMethod unknown(method);
    unknown.__PREPARE_FOR_THROW__(__LINE__, kCustodelSource).ZQ_Throw();
  }
}
