#pragma once
// Garbage-collector support for bound objects that hold Python objects through the core.
//
// A shared_ptr that nanobind made from a Python object owns one reference to that object,
// in its control block: every copy of the pointer shares that one reference. A traversal
// visits it at one place only (visit_shared_owner), and nothing for a shared_ptr the core
// made itself, so the collector never counts a reference that does not exist.
#include <nanobind/nanobind.h>
#include <nanobind/stl/shared_ptr.h>

#include <memory>

namespace velmora::bindings {

// The Python object whose reference the control block of `pointer` owns, or nullptr.
template <typename T>
PyObject* shared_owner(const std::shared_ptr<T>& pointer) noexcept {
    auto* deleter = std::get_deleter<nanobind::detail::py_deleter>(pointer);
    return deleter != nullptr ? deleter->o : nullptr;
}

// Whether two pointers share one control block (and so one reference).
template <typename T, typename U>
bool same_owner(const std::shared_ptr<T>& a, const std::shared_ptr<U>& b) noexcept {
    return !a.owner_before(b) && !b.owner_before(a);
}

template <typename T>
int visit_shared_owner(const std::shared_ptr<T>& pointer, visitproc visit, void* arg) {
    Py_VISIT(shared_owner(pointer));
    return 0;
}

// True when Python owns the C++ object of `self` (built from Python, not a wrapper of an
// object that the core owns): only then do its references belong to the Python object.
inline bool python_owns_instance(PyObject* self) {
    auto [ready, destruct] = nanobind::inst_state(self);
    return ready && destruct;
}

}  // namespace velmora::bindings
