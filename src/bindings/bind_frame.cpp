// Frame objects, the SRA CRC and the CRC trace functions.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/model_pickle.hpp"
#include "bindings/pickling.hpp"
#include "bindings/subsystems.hpp"
#include "frame/frame.hpp"
#include "frame/sra_crc.hpp"
#include "protocol/errors.hpp"
#include "protocol/helpers.hpp"
#include "protocol/trace.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

nb::bytes frame_bytes(const FSOEFrame& frame) {
    std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
    std::uint16_t length = frame.to_array(out);
    return nb::bytes(reinterpret_cast<const char*>(out), length);
}

// An integer of any size, saturated to 64 bits: for arguments that are only compared with
// a bound, where 2**70 is as much "above the limit" as 37 is. Non-integers are type errors.
std::int64_t saturated_int(nb::handle value, const char* what) {
    if (!PyLong_Check(value.ptr())) return to_int64(value, what);
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow > 0) return std::numeric_limits<std::int64_t>::max();
    if (overflow < 0) return std::numeric_limits<std::int64_t>::min();
    if (result == -1 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

bool in_u16_range(std::int64_t value) {
    return value >= 0 && value <= 0xFFFF;
}

nb::str u16_array_repr(const U16Array& a) {
    std::string text = "U16Array([";
    for (std::uint32_t i = 0; i < a.size(); ++i) {
        if (i) text += ", ";
        text += std::to_string(a[i]);
    }
    text += "])";
    return nb::str(text.c_str(), text.size());
}

// The frame as it would travel: command (its name, or the raw value when it is none),
// sequence number, connection id, and the safe data and CRCs of its size in hex.
nb::str frame_repr(nb::handle self) {
    const std::string cls = nb::str(self.type().attr("__name__")).c_str();
    if (!nb::inst_ready(self)) return nb::str(("<" + cls + " (uninitialized)>").c_str());
    const auto& frame = nb::cast<const FSOEFrame&>(self);
    const FSOEFrameControl& control = frame.control();
    char hex[8];
    std::string text = "<" + cls + " ";
    if (control.command_is_valid()) {
        text += command_name(static_cast<FSOECommand>(control.command_raw()));
    } else {
        std::snprintf(hex, sizeof hex, "0x%02X", control.command_raw());
        text += hex;
    }
    text += " sequence_number=" + std::to_string(control.sequence_number()) +
            " connection_id=" + std::to_string(control.connection_id()) + " safe_data=[";
    std::uint8_t data[MAX_DATA_BYTES];
    frame.get_safe_data_bytes(data);
    const std::uint16_t size =
        std::min<std::uint16_t>(frame.safe_data_size_bytes(), MAX_DATA_BYTES);
    for (std::uint16_t i = 0; i < size; ++i) {
        std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", data[i]);
        text += hex;
    }
    text += "] crcs=[";
    const std::uint16_t blocks = FSOE_GetDataSizeWords(size);
    for (std::uint16_t i = 0; i < blocks; ++i) {
        std::snprintf(hex, sizeof hex, i ? " %04X" : "%04X", frame.crcs()[i]);
        text += hex;
    }
    text += "]>";
    return nb::str(text.c_str(), text.size());
}

// Creates a frame of the class it is called on (a Python subclass gets its own class) and
// decodes the bytes through that frame's _frame_from_array.
nb::object frame_from_array(nb::handle cls, nb::handle data) {
    std::size_t size = 0;
    {
        ByteView bytes(data, "data");
        size = bytes.span().size();
    }
    nb::object frame = cls(nb::int_(size));
    frame.attr("_frame_from_array")(data);
    return frame;
}

void bind_u16_array(nb::module_& m) {
    nb::class_<U16Array> u16(m, "U16Array", "View onto 16-bit words of an FSoE frame");
    u16.def(nb::init<>())
        .def("__len__", &U16Array::size)
        .def("__getitem__",
             [](const U16Array& a, nb::handle index) { return a.get(to_int64(index, "index")); })
        .def("__setitem__",
             [](U16Array& a, nb::handle index, nb::handle value) {
                 a.set(to_int64(index, "index"), to_int64(value, "value"));
             })
        .def("__delitem__",
             [](U16Array&, nb::handle) {
                 throw TypeError("'U16Array' object doesn't support item deletion");
             })
        .def("clear", &U16Array::clear)
        .def("__repr__", &u16_array_repr);
    refuse_pickling(u16, "U16Array");
}

void bind_frame_control(nb::module_& m) {
    nb::class_<FSOEFrameControl> control(m, "FSOEFrameControl",
                                         "View onto the control fields of an FSoE frame");
    control
        .def_prop_rw(
            "command", [](const FSOEFrameControl& c) { return c.command(); },
            [](FSOEFrameControl& c, nb::handle command) {
                // Only a member: a plain integer would bypass the enumeration.
                if (!nb::isinstance<FSOECommand>(command)) {
                    throw TypeError(std::string("command must be an FSOECommand, not ") +
                                    Py_TYPE(command.ptr())->tp_name);
                }
                c.set_command(nb::cast<FSOECommand>(command));
            },
            "Command indicated in the first byte of the FSoE Frame")
        .def_prop_rw(
            "sequence_number", [](const FSOEFrameControl& c) { return c.sequence_number(); },
            [](FSOEFrameControl& c, nb::handle v) { c.set_sequence_number(to_int64(v)); },
            "Sequence number used to calculate the CRCs of the frame")
        .def_prop_rw(
            "connection_id", [](const FSOEFrameControl& c) { return c.connection_id(); },
            [](FSOEFrameControl& c, nb::handle v) { c.set_connection_id(to_int64(v)); },
            "Connection Id indicated at the end of the FSoE Frame")
        .def_prop_rw(
            "crc0", [](const FSOEFrameControl& c) { return c.crc0(); },
            [](FSOEFrameControl& c, nb::handle v) { c.set_crc0(to_int64(v)); },
            "Crc0 used to calculate the CRCs of the frame")
        .def("command_is_valid", &FSOEFrameControl::command_is_valid,
             "Indicates if the command on the structure is valid (a member of the enum)")
        .def("increment_sequence_number", &FSOEFrameControl::increment_sequence_number);
    refuse_pickling(control, "FSOEFrameControl");
}

void bind_fsoe_frame(nb::module_& m) {
    nb::class_<FSOEFrame> frame(m, "FSOEFrame", "FSoE Frame");
    frame
        .def(
            "__init__",
            [](nb::handle self, nb::handle length) {
                init_in_place<FSOEFrame>(
                    self, [&] { return FSOEFrame(saturated_int(length, "length")); });
            },
            nb::arg("length") = 0)
        // The views keep their frame alive (reference_internal): a view that outlives every
        // other reference to its frame still reads that frame's record.
        .def_prop_ro(
            "control", [](FSOEFrame& f) -> FSOEFrameControl& { return f.control(); },
            nb::rv_policy::reference_internal)
        .def_prop_ro(
            "safe_data", [](FSOEFrame& f) -> U16Array& { return f.safe_data(); },
            nb::rv_policy::reference_internal)
        .def_prop_ro(
            "crcs", [](FSOEFrame& f) -> U16Array& { return f.crcs(); },
            nb::rv_policy::reference_internal)
        .def(
            "_frame_from_array",
            [](FSOEFrame& f, nb::handle data) { f.from_array(ByteView(data, "data").span()); },
            nb::arg("data"), "Convert bytes to this FSOE Frame structure")
        .def("frame_to_array", &frame_bytes, "Convert frame to bytes")
        .def_prop_rw(
            "safe_data_size_bytes", [](const FSOEFrame& f) { return f.safe_data_size_bytes(); },
            [](FSOEFrame& f, nb::handle v) {
                f.set_safe_data_size_bytes(saturated_int(v, "safe_data_size_bytes"));
            })
        .def(
            "get_safe_data_bytes",
            [](const FSOEFrame& f) {
                std::uint8_t out[MAX_DATA_BYTES];
                f.get_safe_data_bytes(out);
                return nb::bytes(reinterpret_cast<const char*>(out), MAX_DATA_BYTES);
            },
            "Get safe data as bytes")
        .def(
            "set_safe_data_bytes",
            [](FSOEFrame& f, nb::handle data) {
                f.set_safe_data_bytes(ByteView(data, "data").span());
            },
            nb::arg("data"), "Set safe data from bytes")
        .def("calc_crc0", &FSOEFrame::calc_crc0,
             "Calculate crc0 for the current safe-data and frame control")
        .def("generate_crcs", &FSOEFrame::generate_crcs)
        .def("check_crcs", &FSOEFrame::check_crcs)
        // A last CRC_0 outside 0..65535 can never equal a CRC, so no edge case arises: the
        // cyclic forms then reduce to the plain ones.
        .def(
            "generate_crcs_cyclic",
            [](FSOEFrame& f, nb::handle last) {
                std::int64_t value = saturated_int(last, "last_sent_crc_0");
                if (in_u16_range(value)) {
                    f.generate_crcs_cyclic(static_cast<std::uint16_t>(value));
                } else {
                    f.generate_crcs();
                }
            },
            nb::arg("last_sent_crc_0"))
        .def(
            "check_crcs_cyclic",
            [](FSOEFrame& f, nb::handle last) {
                std::int64_t value = saturated_int(last, "last_sent_crc_0");
                return in_u16_range(value) ? f.check_crcs_cyclic(static_cast<std::uint16_t>(value))
                                           : f.check_crcs();
            },
            nb::arg("last_sent_crc_0"))
        .def("__repr__", &frame_repr);

    nb::object from_array =
        nb::cpp_function(&frame_from_array, nb::arg("cls"), nb::arg("data"),
                         nb::name("frame_from_array"),
                         nb::sig("def frame_from_array(cls, data: bytes | bytearray | memoryview) "
                                 "-> typing_extensions.Self"),
                         "Convert bytes to a new FSOE Frame");
    nb::setattr(frame, "frame_from_array", nb::steal(PyClassMethod_New(from_array.ptr())));
    refuse_pickling(frame, "FSOEFrame");
}

void bind_trace_functions(nb::module_& m) {
    m.def(
        "_log_generate_crc",
        [](const FSOEFrame& f) {
            if (trace::enabled()) trace::log_generate_crc(f.trace_fields());
        },
        nb::arg("frame"));
    m.def(
        "_log_check_crc",
        [](nb::handle calc_crc, const FSOEFrame& f, nb::handle result) {
            if (!trace::enabled()) return;
            std::vector<std::uint16_t> calculated;
            for (nb::handle value : nb::iter(calc_crc)) {
                calculated.push_back(to_u16(to_int64(value, "calc_crc")));
            }
            int truth = PyObject_IsTrue(result.ptr());
            if (truth < 0) throw nb::python_error();
            trace::log_check_crc(std::span<const std::uint16_t>(calculated), f.trace_fields(),
                                 truth == 1);
        },
        nb::arg("calc_crc"), nb::arg("frame"), nb::arg("result"));
}

}  // namespace

void bind_frame(nb::module_& m) {
    bind_u16_array(m);
    bind_frame_control(m);
    bind_fsoe_frame(m);
    bind_trace_functions(m);

    m.def(
        "calculate_sra_crc",
        [](nb::handle params) {
            if (!PyList_Check(params.ptr())) {
                throw TypeError(std::string("params must be a list, not ") +
                                Py_TYPE(params.ptr())->tp_name);
            }
            // Converting an int runs no Python code, so the list cannot change under the loop.
            std::uint32_t crc = 0;
            for (nb::handle value : nb::borrow<nb::list>(params)) {
                crc = SraCrcCalculation(crc, to_u16(to_int64(value, "params element")));
            }
            return crc;
        },
        nb::arg("params"), "SRA CRC Calculation");
}

}  // namespace velmora::bindings
