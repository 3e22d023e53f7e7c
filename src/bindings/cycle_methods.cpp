#include "bindings/cycle_methods.hpp"

#include <typeinfo>

#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/py_master_handler.hpp"
#include "protocol/cycle_code.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

// An instance whose core was never built (a subclass's __new__ that skipped the library's)
// has nothing to run on.
[[gnu::always_inline]] inline bool ready(PyObject* self, const char* method) noexcept {
    if (nb::inst_ready(self)) [[likely]] return true;
    PyErr_Format(PyExc_TypeError, "%s(): the %s object is not initialized", method,
                 Py_TYPE(self)->tp_name);
    return false;
}

// set_reply's one argument, `data`, by position or by name; null with a TypeError set else.
[[gnu::cold, gnu::noinline]] PyObject* data_by_name(PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) noexcept {
    const Py_ssize_t named = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nargs + named != 1) {
        PyErr_Format(PyExc_TypeError,
                     "set_reply() takes exactly one argument, data (%zd given)", nargs + named);
        return nullptr;
    }
    if (named == 0) return args[0];  // an empty tuple of names: by position
    PyObject* name = PyTuple_GET_ITEM(kwnames, 0);
    if (PyUnicode_CompareWithASCIIString(name, "data") != 0) {
        PyErr_Format(PyExc_TypeError, "set_reply() got an unexpected keyword argument '%U'",
                     name);
        return nullptr;
    }
    return args[0];
}

VELMORA_CYCLE_CODE
PyObject* set_reply_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    PyObject* data = nargs == 1 && kwnames == nullptr ? args[0]
                                                      : data_by_name(args, nargs, kwnames);
    if (data == nullptr || !ready(self, "set_reply")) return nullptr;
    try {
        ByteView bytes(data, "data");
        handler_of(self).set_reply(bytes.span());
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
    Py_RETURN_NONE;
}

VELMORA_CYCLE_CODE
PyObject* get_request_method(PyObject* self, PyObject*) noexcept {
    if (!ready(self, "get_request")) return nullptr;
    try {
        return request_for_python(handler_of(self)).release().ptr();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

// The text before "--" is the signature that inspect and the stub generator read.
PyMethodDef g_cycle_methods[] = {
    {"set_reply", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&set_reply_method)),
     METH_FASTCALL | METH_KEYWORDS,
     "set_reply($self, /, data)\n--\n\nSet the latest reply from the FSoE Slave."},
    {"get_request", &get_request_method, METH_NOARGS,
     "get_request($self, /)\n--\n\nGet the request of FSoE Master handler."},
};

}  // namespace

VELMORA_CYCLE_CODE
void PyMasterHandler::warm_host_side_() const noexcept {
    request_bytes_.prefetch();
}

VELMORA_CYCLE_CODE
nb::object request_for_python(MasterHandler& h) {
    // typeid costs a pointer compare.
    auto* py = typeid(h) == typeid(PyMasterHandler) ? static_cast<PyMasterHandler*>(&h) : nullptr;
    nb::object result;
    h.exclusive([&] {
        if (py != nullptr) {
            result = py->request_bytes();
        } else {
            const auto r = h.current_request();
            result = nb::bytes(reinterpret_cast<const char*>(r.data()), r.size());
        }
    });
    return result;
}

void add_cycle_methods(nb::handle cls) {
    for (PyMethodDef& def : g_cycle_methods) {
        nb::object method =
            nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &def));
        if (!method.is_valid()) throw nb::python_error();
        nb::setattr(cls, def.ml_name, method);
    }
}

}  // namespace velmora::bindings
