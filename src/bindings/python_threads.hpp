#pragma once
// What the engine's threads need from Python: references that any thread may drop, the
// wait hook that releases the GIL, and the "velmora" logger as the engine's error log.
#include <nanobind/nanobind.h>

#include <utility>

#include "bindings/convert.hpp"

namespace velmora::bindings {

// A reference to a Python object that C++ may drop on any thread, and that the garbage
// collector may clear (a callback that refers to its own owner is a cycle).
class PyReference {
  public:
    explicit PyReference(nanobind::handle object) : object_(object.inc_ref().ptr()) {}
    PyReference(const PyReference&) = delete;
    PyReference& operator=(const PyReference&) = delete;
    ~PyReference() { reset(); }

    // With the GIL, when there is an interpreter to take it from; while the interpreter
    // finalizes the reference is left to it.
    void reset() noexcept {
        PyObject* object = std::exchange(object_, nullptr);
        if (object == nullptr) return;
        if (PyGILState_Check()) {
            Py_DECREF(object);
        } else if (!interpreter_finalizing()) {
            nanobind::gil_scoped_acquire gil;
            Py_DECREF(object);
        }
    }
    PyObject* get() const noexcept { return object_; }

  private:
    PyObject* object_;
};

// Installs the engine's wait hook (waits release the GIL, so the thread being waited for
// can run Python code) and the error log sink (the "velmora" logger). Once, at import.
void install_thread_hooks();

}  // namespace velmora::bindings
