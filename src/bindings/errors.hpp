#pragma once
// Translation of the core's exceptions into Python exceptions, and the library's own
// exception classes.
#include <nanobind/nanobind.h>

namespace velmora::bindings {

void bind_errors(nanobind::module_& m);

// Sets the Python error for the exception being handled, as a bound function's call would
// (for functions that the interpreter calls directly). Call it only inside a catch block.
void raise_current_exception() noexcept;

// The library's exception classes, created by bind_errors.
PyObject* master_exception_type();

}  // namespace velmora::bindings
