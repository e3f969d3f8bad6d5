#include "Almanac/Server/processor.h"

#include "Almanac/Server/config_store.h"
#include "DEVUror/zqm_tserver.h"

namespace almanac {

void ProcessRequest(ZQM_TServer& server, const ZQ_TDict& arguments, ZQ_TAny& result,
                    void* context) {
  static_cast<ConfigStore*>(context)->Call(arguments, result, [&server] { return server.Defer(); });
}

}  // namespace almanac
