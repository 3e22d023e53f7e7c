#include "bindings/errors.hpp"

#include <nanobind/stl/string.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "protocol/errors.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

PyObject* g_master = nullptr;
PyObject* g_running = nullptr;
PyObject* g_locked = nullptr;
PyObject* g_mapped = nullptr;

PyObject* python_type(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Value: return PyExc_ValueError;
        case ErrorKind::Type: return PyExc_TypeError;
        case ErrorKind::Overflow: return PyExc_OverflowError;
        case ErrorKind::Index: return PyExc_IndexError;
        case ErrorKind::Key: return PyExc_KeyError;
        case ErrorKind::Permission: return PyExc_PermissionError;
        case ErrorKind::Runtime: return PyExc_RuntimeError;
        case ErrorKind::NotImplemented: return PyExc_NotImplementedError;
        case ErrorKind::ZeroDivision: return PyExc_ZeroDivisionError;
        case ErrorKind::MasterException: return g_master;
        case ErrorKind::MasterRunning: return g_running;
        case ErrorKind::MappingLocked: return g_locked;
        case ErrorKind::AlreadyMapped: return g_mapped;
    }
    return PyExc_RuntimeError;
}

// Sets the Python error for a core exception. An empty message raises the class without
// arguments, as the host raises errors that carry no message.
void raise_core_error(const Error& e) {
    PyObject* type = python_type(e.kind());
    if (e.kind() == ErrorKind::Key) {
        const auto& key = static_cast<const KeyError&>(e).key();
        nb::object arg = std::holds_alternative<std::int64_t>(key)
                             ? nb::object(nb::int_(std::get<std::int64_t>(key)))
                             : nb::object(nb::str(std::get<std::string>(key).c_str()));
        PyErr_SetObject(type, arg.ptr());
        return;
    }
    if (e.what()[0] == '\0') {
        PyErr_SetNone(type);
    } else {
        PyErr_SetString(type, e.what());
    }
}

PyObject* make_exception(nb::module_& m, const char* name, PyObject* base, const char* doc) {
    std::string qualified = std::string("velmora.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (type == nullptr) throw nb::python_error();
    m.attr(name) = nb::borrow(type);
    return type;
}

}  // namespace

PyObject* master_exception_type() { return g_master; }

void raise_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const Error& e) {
            raise_core_error(e);
        } catch (nb::python_error& e) {
            e.restore();
        } catch (...) {
            // Anything else through the translators every bound function uses: a function
            // that rethrows it, called (errors only, so its cost does not matter).
            std::exception_ptr pending = std::current_exception();
            nb::object rethrow = nb::cpp_function([pending] { std::rethrow_exception(pending); });
            nb::handle result = PyObject_CallNoArgs(rethrow.ptr());
            result.dec_ref();
        }
    } catch (...) {
        PyErr_Clear();  // the translation failed itself (no memory left, say)
    }
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "an exception could not be translated");
    }
}

namespace {

// For the tests: raises `kind` of exception in C++ and translates it as the cycle's methods do.
[[noreturn]] void throw_kind(const std::string& kind) {
    if (kind == "core") throw ValueError("a core error");
    if (kind == "python") {
        PyErr_SetString(PyExc_KeyError, "a Python error");
        throw nb::python_error();
    }
    if (kind == "bad_alloc") throw std::bad_alloc();
    if (kind == "out_of_range") throw std::out_of_range("out of range");
    if (kind == "binding") throw nb::type_error("a binding error");
    throw 42;  // nothing any translator knows
}

void raise_translated(const std::string& kind) {
    try {
        throw_kind(kind);
    } catch (...) {
        raise_current_exception();
    }
    throw nb::python_error();  // the error just set
}

}  // namespace

void bind_errors(nb::module_& m) {
    m.def("_raise_translated", &raise_translated, nb::arg("kind"));
    g_master = make_exception(m, "FSOEMasterException", PyExc_Exception,
                              "Exception for FSoE Master");
    g_running = make_exception(m, "FSOEMasterRunningException", g_master,
                               "Exception for raised when the master is already running");
    g_locked = make_exception(
        m, "FSOEMasterMappingLockedException", g_master,
        "Exception raised when trying to map an item on a locked dictionary map");
    g_mapped = make_exception(m, "FSoEAlreadyMappedException", g_master,
                              "Exception raised when trying to map an item that is already mapped");

    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const Error& e) {
            raise_core_error(e);
        }
    });
}

}  // namespace velmora::bindings
