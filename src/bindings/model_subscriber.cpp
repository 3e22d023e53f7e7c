#include "bindings/model_subscriber.hpp"

#include <string>

#include "bindings/convert.hpp"
#include "bindings/python_threads.hpp"
#include "protocol/errors.hpp"

namespace nb = nanobind;

namespace velmora::bindings {

PySubscriber::~PySubscriber() {
    // The last owner may be a core object released on a thread without the GIL; once the
    // interpreter is gone the reference can only be dropped.
    if (PyGILState_Check()) {
        callable_.reset();
        return;
    }
    PythonCall call;
    if (!call || !Py_IsInitialized() || interpreter_finalizing()) {
        callable_.release();
        return;
    }
    nb::gil_scoped_acquire gil;
    callable_.reset();
}

void PySubscriber::operator()() {
    // While the interpreter shuts down a thread must not ask for the GIL.
    PythonCall call;
    if (!call) return;
    nb::gil_scoped_acquire gil;
    PyObject* result = PyObject_CallNoArgs(callable_.ptr());
    if (result == nullptr) throw nb::python_error();
    Py_DECREF(result);
}

bool PySubscriber::equals(const velmora::Subscriber& other) const {
    const auto* py = dynamic_cast<const PySubscriber*>(&other);
    if (py == nullptr) return false;
    nb::gil_scoped_acquire gil;
    int equal = PyObject_RichCompareBool(callable_.ptr(), py->callable_.ptr(), Py_EQ);
    if (equal < 0) throw nb::python_error();
    return equal == 1;
}

velmora::SubscriberPtr make_subscriber(nb::handle callable, const char* what) {
    if (!PyCallable_Check(callable.ptr())) {
        throw TypeError(std::string(what) + " must be callable, not " +
                        Py_TYPE(callable.ptr())->tp_name);
    }
    return std::make_shared<PySubscriber>(nb::borrow(callable));
}

nb::handle subscriber_callable(const velmora::Subscriber& subscriber) noexcept {
    const auto* py = dynamic_cast<const PySubscriber*>(&subscriber);
    return py == nullptr ? nb::handle() : py->callable();
}

}  // namespace velmora::bindings
