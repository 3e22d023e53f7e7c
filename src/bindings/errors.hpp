#pragma once
// Translation of the core's exceptions into Python exceptions, and the library's own
// exception classes.
#include <nanobind/nanobind.h>

namespace velmora::bindings {

void bind_errors(nanobind::module_& m);

// The library's exception classes, created by bind_errors.
PyObject* master_exception_type();

}  // namespace velmora::bindings
