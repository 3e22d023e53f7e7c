#pragma once
// What the engine's threads need from Python: the gate that keeps C++ frames out of
// interpreter exit, references that any thread may drop, the wait hook that releases the
// GIL, and the "velmora" logger as the engine's error log.
//
// Why a gate: once the interpreter finalizes, Python ends a daemon thread that takes the GIL
// back by unwinding it (pthread_exit), and that unwinding cannot cross C++ frames (nanobind's
// dispatcher catches it, a noexcept frame terminates). So no thread may take the GIL back
// inside a C++ frame after exit began. The module's exit hook (run by atexit, before
// finalization) closes the gate and waits, with the GIL released, until every call through it
// has returned; from then on C++ calls no Python code on other threads and waits without
// releasing the GIL. Python code of the host therefore only ever ends outside C++ frames.
#include <nanobind/nanobind.h>

#include <utility>

#include "bindings/convert.hpp"

namespace velmora::bindings {

// One call into Python from C++ (host code, the trace, the log, dropping a reference), or a
// wait that gives the GIL up: entered only while the interpreter is not exiting.
class PythonCall {
  public:
    PythonCall() noexcept;
    ~PythonCall();
    PythonCall(const PythonCall&) = delete;
    PythonCall& operator=(const PythonCall&) = delete;
    // False once exit began: do nothing that needs the GIL (unless the thread holds it).
    explicit operator bool() const noexcept { return entered_; }

  private:
    bool entered_;
};

// Closes the gate and waits until every call through it has returned (the GIL is given up
// meanwhile). For the exit hook, on the thread that runs it.
void close_python_gate() noexcept;

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
            return;
        }
        PythonCall call;
        if (!call) return;  // exiting: left to the process
        nanobind::gil_scoped_acquire gil;
        Py_DECREF(object);
    }
    PyObject* get() const noexcept { return object_; }

  private:
    PyObject* object_;
};

// Installs the engine's wait hook (waits release the GIL, so the thread being waited for
// can run Python code) and the error log sink (the "velmora" logger). Once, at import.
void install_thread_hooks();

}  // namespace velmora::bindings
