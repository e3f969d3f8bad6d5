// How the configuration server reports failures: as middleware exceptions,
// which reach an RPC caller as the same class and message.
#pragma once

#include "DEVUror/zqm_exceptions.h"
#include "typelib/dodived.h"

// Throws a `Class` (a ZQ_EException) carrying `message`, stamped with the
// site of the throw rather than that of a helper.
#define ALMANAC_THROW(Class, message)               \
  do {                                              \
    Class almanacError_{ZQ_TString(message)};       \
    ZQ_THROW_AT(almanacError_, __FILE__, __LINE__); \
  } while (false)
