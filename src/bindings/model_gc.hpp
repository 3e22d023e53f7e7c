#pragma once
// Garbage-collector support for bound objects that hold Python objects through the core.
//
// A shared_ptr that nanobind made from a Python object owns one reference to that object;
// visit_shared_owner visits exactly that reference, and nothing for a shared_ptr the core
// made itself, so the collector never counts a reference that does not exist.
#include <nanobind/nanobind.h>
#include <nanobind/stl/shared_ptr.h>

#include <memory>

namespace velmora::bindings {

template <typename T>
int visit_shared_owner(const std::shared_ptr<T>& pointer, visitproc visit, void* arg) {
    if (auto* deleter = std::get_deleter<nanobind::detail::py_deleter>(pointer)) {
        Py_VISIT(deleter->o);
    }
    return 0;
}

// True when Python owns the C++ object of `self` (built from Python, not a wrapper of an
// object that the core owns): only then do its references belong to the Python object.
inline bool python_owns_instance(PyObject* self) {
    auto [ready, destruct] = nanobind::inst_state(self);
    return ready && destruct;
}

}  // namespace velmora::bindings
