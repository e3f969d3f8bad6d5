// The type library: one include for all of it.
#pragma once

#include "typelib/zq_any.h"
#include "typelib/zq_boxes.h"
#include "typelib/zq_dict.h"
#include "typelib/zq_event.h"
#include "typelib/zq_exception.h"
#include "typelib/zq_iterator.h"
#include "typelib/zq_list.h"
#include "typelib/zq_object.h"
#include "typelib/zq_packing.h"
#include "typelib/zq_socket.h"
#include "typelib/zq_string.h"
#include "typelib/zq_tree.h"

// The library's initialisation hook: registers the library's classes. True on
// success; safe to call more than once. Objects of the library may be made
// before it runs.
extern "C" bool __ZQ_INITIALIZATION_FUNCTION_dodived__();
