// Protocol vocabulary: constants, enumerations, helpers and the trace switch.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <array>
#include <string>

#include "bindings/convert.hpp"
#include "bindings/python_threads.hpp"
#include "bindings/subsystems.hpp"
#include "protocol/commands.hpp"
#include "protocol/constants.hpp"
#include "protocol/helpers.hpp"
#include "protocol/trace.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

// FSOEError is a value set, not a C++ enumeration of its own: its members are carried as
// their integer codes.
enum class FSOEErrorCode : std::uint16_t {};

void python_stdout_sink(std::string_view line) noexcept {
    PythonCall call;
    if (!call) return;
    nb::gil_scoped_acquire gil;
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (out == nullptr || out == Py_None) return;
    std::string text(line);
    text += '\n';
    PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    PyObject* result = str ? PyObject_CallMethod(out, "write", "O", str) : nullptr;
    Py_XDECREF(str);
    // The trace never changes behaviour: a failing stream is reported on stderr, not raised
    // into the operation that traced. A reader that went away (a closed pipe) is no fault
    // worth a report on every line.
    if (result == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_BrokenPipeError)) {
            PyErr_Clear();
        } else {
            PyErr_WriteUnraisable(out);
        }
    } else {
        Py_DECREF(result);
    }
}

}  // namespace

void bind_protocol(nb::module_& m) {
    m.attr("BYTES_PER_WORD") = BYTES_PER_WORD;
    m.attr("MAX_DATA_WORDS") = MAX_DATA_WORDS;
    m.attr("MAX_DATA_BYTES") = MAX_DATA_BYTES;
    m.attr("MAX_CRC_WORDS") = MAX_CRC_WORDS;

    nb::enum_<FSOECommand> command(m, "FSOECommand", "FSoE frame commands");
    for (FSOECommand c : kAllCommands) {
        command.value(std::string(command_name(c)).c_str(), c);
    }
    command.def_static(
        "has_value",
        [](nb::handle value) {
            // An integer beyond 64 bits is simply no member's value.
            if (PyLong_Check(value.ptr())) {
                int overflow = 0;
                long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
                if (overflow != 0) return false;
                if (v == -1 && PyErr_Occurred()) throw nb::python_error();
                return command_has_value(v);
            }
            return command_has_value(to_int64(value));
        },
        nb::arg("value"), "Checks if the value is in one of the members of the enum");

    nb::enum_<BaseError> base_error(m, "BaseError", nb::is_arithmetic(), "Basic FSoE Error");
    for (std::uint16_t code = 0; code < kBaseErrorCount; ++code) {
        auto e = static_cast<BaseError>(code);
        base_error.value(std::string(base_error_name(e)).c_str(), e);
    }

    nb::enum_<FSOEErrorCode> fsoe_error(m, "FSOEError", nb::is_arithmetic(), "FSoE Error");
    for (std::int64_t code = 0; code <= 255; ++code) {
        if (auto name = fsoe_error_name(code)) {
            fsoe_error.value(name->c_str(), static_cast<FSOEErrorCode>(code));
        }
    }

    nb::enum_<WatchdogCommand>(m, "WatchdogCommand")
        .value("ACTIVATE", WatchdogCommand::ACTIVATE)
        .value("DEACTIVATE", WatchdogCommand::DEACTIVATE)
        .value("RESET", WatchdogCommand::RESET)
        .value("STOP", WatchdogCommand::STOP);

    m.def(
        "div_ceil",
        [](nb::handle a, nb::handle b) { return div_ceil(to_int64(a, "a"), to_int64(b, "b")); },
        nb::arg("a"), nb::arg("b"));
    m.def(
        "align_bits",
        [](nb::handle number, nb::handle boundary) {
            return align_bits(to_int64(number, "number"), to_int64(boundary, "boundary"));
        },
        nb::arg("number"), nb::arg("boundary"), "Align number of bits to a boundaries");

    trace::set_sink(&python_stdout_sink);
    m.attr("VELMORA_LOGGING") = trace::enabled();
    m.def(
        "_log_transition",
        [](nb::handle name) {
            if (!trace::enabled()) return;
            nb::str text(name);
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
            if (utf8 == nullptr) throw nb::python_error();
            trace::log_transition(std::string_view(utf8, static_cast<std::size_t>(size)));
        },
        nb::arg("name"));
}

}  // namespace velmora::bindings
