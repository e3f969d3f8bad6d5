// The RPC runtime: one include for all of it.
#pragma once

#include "DEVUror/zqm_exceptions.h"
#include "DEVUror/zqm_tclient.h"
#include "DEVUror/zqm_tserver.h"
#include "typelib/dodived.h"

// The runtime's initialisation hook: registers the runtime's classes. Call
// it after the type library's hook. True on success; safe to call again.
extern "C" bool __ZQ_INITIALIZATION_FUNCTION_DEVUror__();
