#include "Almanac/Server/processor.h"

#include "Almanac/Server/config_store.h"

namespace almanac {

void ProcessRequest(ZQM_TServer&, const ZQ_TDict& arguments, ZQ_TAny& result, void* context) {
  result = static_cast<ConfigStore*>(context)->Call(arguments);
}

}  // namespace almanac
