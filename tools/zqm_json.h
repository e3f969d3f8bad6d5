// Values of the type library as JSON, for the --json output of the zqm
// tool.
#pragma once

#include <nlohmann/json.hpp>

#include "typelib/dodived.h"

// A value of the type library as JSON: texts, numbers, booleans, lists,
// dictionaries and trees as they are, an empty value as null, anything else
// as its printed form.
nlohmann::ordered_json ToJson(const ZQ_TAny& value);
