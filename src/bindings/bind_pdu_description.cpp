// PDU descriptions for people: describe_pdu, its result class and describe_history.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/subsystems.hpp"
#include "history/history_table.hpp"
#include "history/pdu_description.hpp"
#include "protocol/errors.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

// An int 0..65535 (an overflow error naming the argument otherwise); None is none.
std::optional<std::uint16_t> optional_u16(nb::handle value, const char* what) {
    if (value.is_none()) return std::nullopt;
    const std::int64_t n = to_int64(value, what);
    if (n < 0 || n > 0xFFFF) {
        throw OverflowError(std::string(what) + " must be 0..65535, not " + std::to_string(n));
    }
    return static_cast<std::uint16_t>(n);
}

template <typename T>
nb::tuple as_tuple(const std::vector<T>& values) {
    nb::list list;
    for (const T& v : values) list.append(v);
    return nb::steal<nb::tuple>(PyList_AsTuple(list.ptr()));
}

std::string description_repr(const PduDescription& d) {
    std::string text = "<PduDescription " + command_text(d.command) + " length=" +
                       std::to_string(d.length) + " safe_data=[" + hex_bytes(d.safe_data) +
                       "] connection_id=" + std::to_string(d.connection_id) + " crcs=";
    text += !d.crcs_ok ? "unchecked" : *d.crcs_ok ? "ok" : "FAIL";
    if (!d.problems.empty()) text += " problems=" + std::to_string(d.problems.size());
    return text + ">";
}

PduDescription describe(nb::handle pdu, nb::handle safe_data_bytes, nb::handle crc0,
                        nb::handle sequence_number, nb::handle previous_crc0) {
    ByteView bytes(pdu, "pdu");
    const std::int64_t size = to_int64(safe_data_bytes, "safe_data_bytes");
    // Any int is a size to judge; beyond 16 bits it is simply no frame size either.
    if (size < 0 || size > 0xFFFF) {
        throw ValueError(std::to_string(size) +
                         " bytes of safe data is not a frame size (0, 1 or an even number 2..16)");
    }
    return describe_pdu(bytes.span(), static_cast<std::uint16_t>(size), optional_u16(crc0, "crc0"),
                        optional_u16(sequence_number, "sequence_number"),
                        optional_u16(previous_crc0, "previous_crc0"));
}

void bind_description(nb::module_& m) {
    nb::class_<PduDescription> cls(m, "PduDescription",
                                   "One FSoE PDU taken apart, its CRCs checked against a given "
                                   "reference, and every failed check in words (read-only).");
    cls.def_prop_ro("length", [](const PduDescription& d) { return d.length; },
                    "Bytes of the PDU, the padding byte of the word form included.")
        .def_prop_ro("safe_data_bytes", [](const PduDescription& d) { return d.safe_data_bytes; })
        .def_prop_ro("command", [](const PduDescription& d) { return d.command; },
                     "The command byte as it came.")
        .def_prop_ro("command_name", [](const PduDescription& d) { return d.command_name; },
                     "The FSOECommand member name, or None when the byte is no command.")
        .def_prop_ro("sequence_number", [](const PduDescription& d) { return d.sequence_number; },
                     "The sequence number the CRCs were checked with (after the cyclic "
                     "advance), or None when not given.")
        .def_prop_ro("crc0", [](const PduDescription& d) { return d.crc0; },
                     "The reference CRC_0 given, or None.")
        .def_prop_ro("connection_id", [](const PduDescription& d) { return d.connection_id; })
        .def_prop_ro(
            "safe_data",
            [](const PduDescription& d) {
                return nb::bytes(reinterpret_cast<const char*>(d.safe_data.data()),
                                 d.safe_data.size());
            })
        .def_prop_ro("crcs", [](const PduDescription& d) { return as_tuple(d.crcs); },
                     nb::for_getter(nb::sig("def crcs(self, /) -> tuple[int, ...]")),
                     "The CRC of each block as received.")
        .def_prop_ro(
            "computed_crcs",
            [](const PduDescription& d) -> nb::object {
                if (!d.computed_crcs) return nb::none();
                return as_tuple(*d.computed_crcs);
            },
            nb::for_getter(nb::sig("def computed_crcs(self, /) -> tuple[int, ...] | None")),
            "The CRC of each block as computed, or None without CRC_0 and sequence number.")
        .def_prop_ro("crcs_ok", [](const PduDescription& d) { return d.crcs_ok; },
                     "Whether every block CRC checks, or None when not checked.")
        .def_prop_ro("problems", [](const PduDescription& d) { return as_tuple(d.problems); },
                     nb::for_getter(nb::sig("def problems(self, /) -> tuple[str, ...]")),
                     "Every failed check, in words.")
        .def("__eq__",
             [](const PduDescription& a, nb::handle b) -> nb::object {
                 if (!nb::isinstance<PduDescription>(b)) return nb::borrow(Py_NotImplemented);
                 return nb::bool_(a == nb::cast<const PduDescription&>(b));
             },
             nb::sig("def __eq__(self, other: object, /) -> bool"))
        // Equal descriptions hash alike: a hash over every field (the value never changes).
        .def("__hash__",
             [](nb::handle self) {
                 nb::tuple fields = nb::make_tuple(
                     self.attr("length"), self.attr("safe_data_bytes"), self.attr("command"),
                     self.attr("sequence_number"), self.attr("crc0"), self.attr("connection_id"),
                     self.attr("safe_data"), self.attr("crcs"), self.attr("computed_crcs"),
                     self.attr("crcs_ok"), self.attr("problems"));
                 return nb::hash(fields);
             },
             nb::sig("def __hash__(self, /) -> int"))
        .def("__str__", &pdu_text)
        .def("__repr__", &description_repr);
}

}  // namespace

void bind_pdu_description(nb::module_& m) {
    bind_description(m);
    m.def("describe_pdu", &describe, nb::arg("pdu"), nb::arg("safe_data_bytes"), nb::kw_only(),
          nb::arg("crc0") = nb::none(), nb::arg("sequence_number") = nb::none(),
          nb::arg("previous_crc0") = nb::none(),
          nb::sig("def describe_pdu(pdu: bytes | bytearray | memoryview, safe_data_bytes: int, "
                  "*, crc0: int | None = None, sequence_number: int | None = None, "
                  "previous_crc0: int | None = None) -> PduDescription"),
          "Takes one PDU apart as a frame of safe_data_bytes bytes. With crc0 (the master's "
          "last CRC_0) and sequence_number its block CRCs are checked; with previous_crc0 (the "
          "sender's last CRC_0) the sequence number advances as the cyclic check advances it.");
    m.def(
        "safe_data_bytes_for_length",
        [](nb::handle length) -> std::optional<std::uint16_t> {
            const std::int64_t n = to_int64(length, "length");
            if (n < 0) return std::nullopt;
            return safe_data_bytes_for_length(static_cast<std::uint64_t>(n));
        },
        nb::arg("length"), nb::sig("def safe_data_bytes_for_length(length: int) -> int | None"),
        "The bytes of safe data a PDU of this length carries, or None when no frame has it.");
    m.def("describe_history", &describe_history, nb::arg("events"),
          nb::sig("def describe_history(events: collections.abc.Sequence[HistoryEvent]) -> str"),
          "A connection history as a text table, one row per frame, with the checks a "
          "rejected reply failed.");
}

}  // namespace velmora::bindings
