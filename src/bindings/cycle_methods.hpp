#pragma once
// The two calls a host makes every bus cycle, set_reply and get_request, as the interpreter's
// own method descriptors.
//
// With cold caches, the generic binding's call (arguments parsed for any signature, the
// instance looked up, the overload chain, the exception translators) was some thirty lines of
// code fetched one after the other before any of the handler's code ran. The interpreter's
// specialised call for a C method descriptor reaches these functions directly: they check
// the instance and the argument themselves. Errors are raised exactly as the binding raises
// them elsewhere.
#include <nanobind/nanobind.h>

#include "engine/master_handler.hpp"

namespace velmora::bindings {

// The request for Python: of a handler made from Python (every one is), its bytes object.
nanobind::object request_for_python(MasterHandler& h);

// Adds set_reply and get_request to the handler's class.
void add_cycle_methods(nanobind::handle cls);

}  // namespace velmora::bindings
