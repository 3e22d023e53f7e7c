// Frame objects, the SRA CRC and the CRC trace functions.
#include <nanobind/nanobind.h>

#include <vector>

#include "bindings/convert.hpp"
#include "bindings/pickling.hpp"
#include "bindings/subsystems.hpp"
#include "frame/frame.hpp"
#include "frame/sra_crc.hpp"
#include "protocol/errors.hpp"
#include "protocol/trace.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

nb::bytes frame_bytes(const FSOEFrame& frame) {
    std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
    std::uint16_t length = frame.to_array(out);
    return nb::bytes(reinterpret_cast<const char*>(out), length);
}

std::uint16_t u16_argument(nb::handle value, const char* what) {
    std::int64_t v = to_int64(value, what);
    if (v < 0) throw OverflowError("can't convert negative value to uint16_t");
    if (v > 0xFFFF) throw OverflowError("value too large to convert to uint16_t");
    return static_cast<std::uint16_t>(v);
}

}  // namespace

void bind_frame(nb::module_& m) {
    nb::class_<U16Array> u16(m, "U16Array", "View onto 16-bit words of an FSoE frame");
    u16.def("__len__", &U16Array::size)
        .def("__getitem__",
             [](const U16Array& a, nb::handle index) { return a.get(to_int64(index, "index")); })
        .def("__setitem__",
             [](U16Array& a, nb::handle index, nb::handle value) {
                 a.set(to_int64(index, "index"), to_int64(value, "value"));
             })
        .def("clear", &U16Array::clear)
        .def("__repr__", [](const U16Array& a) {
            std::string text = "U16Array([";
            for (std::uint32_t i = 0; i < a.size(); ++i) {
                if (i) text += ", ";
                text += std::to_string(a[i]);
            }
            return text + "])";
        });
    refuse_pickling(u16, "U16Array");

    nb::class_<FSOEFrameControl> control(m, "FSOEFrameControl",
                                         "View onto the control fields of an FSoE frame");
    control
        .def_prop_rw(
            "command", [](const FSOEFrameControl& c) { return c.command(); },
            [](FSOEFrameControl& c, FSOECommand command) { c.set_command(command); },
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

    nb::class_<FSOEFrame> frame(m, "FSOEFrame", "FSoE Frame");
    frame
        .def(
            "__init__",
            [](FSOEFrame* self, nb::handle length) {
                new (self) FSOEFrame(to_int64(length, "length"));
            },
            nb::arg("length") = 0)
        .def_prop_ro(
            "control", [](FSOEFrame& f) -> FSOEFrameControl& { return f.control(); },
            nb::rv_policy::reference_internal)
        .def_prop_ro(
            "safe_data", [](FSOEFrame& f) -> U16Array& { return f.safe_data(); },
            nb::rv_policy::reference_internal)
        .def_prop_ro(
            "crcs", [](FSOEFrame& f) -> U16Array& { return f.crcs(); },
            nb::rv_policy::reference_internal)
        .def_static(
            "frame_from_array",
            [](nb::handle data) {
                ByteView bytes(data, "data");
                auto* f = new FSOEFrame(static_cast<std::int64_t>(bytes.span().size()));
                try {
                    f->from_array(bytes.span());
                } catch (...) {
                    delete f;
                    throw;
                }
                return f;
            },
            nb::arg("data"), nb::rv_policy::take_ownership, "Convert bytes to a new FSOE Frame")
        .def(
            "_frame_from_array",
            [](FSOEFrame& f, nb::handle data) { f.from_array(ByteView(data, "data").span()); },
            nb::arg("data"), "Convert bytes to this FSOE Frame structure")
        .def("frame_to_array", &frame_bytes, "Convert frame to bytes")
        .def_prop_rw(
            "safe_data_size_bytes", [](const FSOEFrame& f) { return f.safe_data_size_bytes(); },
            [](FSOEFrame& f, nb::handle v) { f.set_safe_data_size_bytes(to_int64(v)); })
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
        .def(
            "generate_crcs_cyclic",
            [](FSOEFrame& f, nb::handle last) {
                f.generate_crcs_cyclic(u16_argument(last, "last_sent_crc_0"));
            },
            nb::arg("last_sent_crc_0"))
        .def(
            "check_crcs_cyclic",
            [](FSOEFrame& f, nb::handle last) {
                return f.check_crcs_cyclic(u16_argument(last, "last_sent_crc_0"));
            },
            nb::arg("last_sent_crc_0"));
    refuse_pickling(frame, "FSOEFrame");

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
            std::uint16_t calculated[MAX_CRC_WORDS] = {};
            std::size_t i = 0;
            for (nb::handle value : nb::iter(calc_crc)) {
                if (i < MAX_CRC_WORDS) calculated[i++] = u16_argument(value, "calc_crc");
            }
            trace::log_check_crc(calculated, f.trace_fields(), PyObject_IsTrue(result.ptr()) == 1);
        },
        nb::arg("calc_crc"), nb::arg("frame"), nb::arg("result"));

    m.def(
        "calculate_sra_crc",
        [](nb::handle params) {
            if (!PyList_Check(params.ptr())) throw TypeError("params must be a list");
            std::vector<std::uint16_t> words;
            words.reserve(static_cast<std::size_t>(PyList_GET_SIZE(params.ptr())));
            for (nb::handle value : nb::borrow<nb::list>(params)) {
                words.push_back(u16_argument(value, "params element"));
            }
            return calculate_sra_crc(words);
        },
        nb::arg("params"), "SRA CRC Calculation");
}

}  // namespace velmora::bindings
