// The connection history from Python: HistoryEvent values, their dict form (the JSON lines
// of a recording) and the handler's history().
//
// One conversion checks every event however it is made (keywords, a dict read from a
// file), so an event from a bug report is as sound as one from a handler.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/model_pickle.hpp"
#include "bindings/subsystems.hpp"
#include "history/history_event.hpp"
#include "history/pdu_description.hpp"
#include "protocol/constants.hpp"
#include "protocol/errors.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

constexpr const char* kFields[] = {"number",
                                   "time_ns",
                                   "kind",
                                   "state_before",
                                   "state_after",
                                   "transition",
                                   "error",
                                   "fail_safe",
                                   "reply",
                                   "reply_length",
                                   "reply_safe_data_bytes",
                                   "expected_crc0",
                                   "expected_sequence_number",
                                   "previous_crc0",
                                   "request"};
constexpr const char* kReplyFields[] = {"reply_length", "reply_safe_data_bytes", "expected_crc0",
                                        "expected_sequence_number", "previous_crc0"};

std::string hex(const std::vector<std::uint8_t>& data) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(data.size() * 2);
    for (std::uint8_t b : data) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// How the fields of one event are read: from keywords (bytes as bytes) or from the dict of
// a recording (bytes as hex text).
struct Reader {
    nb::dict fields;
    bool from_file;

    std::string where(const char* name) const { return std::string("HistoryEvent ") + name; }

    bool has(const char* name) const {
        return fields.contains(name) && !fields[name].is_none();
    }
    std::int64_t integer(const char* name, std::int64_t low, std::int64_t high) const {
        if (!fields.contains(name)) throw TypeError(where(name) + " is missing");
        nb::handle value = fields[name];
        if (PyBool_Check(value.ptr())) {
            throw TypeError(where(name) + " must be an integer, not bool");
        }
        const std::int64_t result = to_int64(value, (where(name)).c_str());
        if (result < low || result > high) {
            throw ValueError(where(name) + " must be from " + std::to_string(low) + " to " +
                             std::to_string(high) + ", not " + std::to_string(result));
        }
        return result;
    }
    std::string text(const char* name) const {
        if (!fields.contains(name)) throw TypeError(where(name) + " is missing");
        nb::handle value = fields[name];
        if (!nb::isinstance<nb::str>(value)) {
            throw TypeError(where(name) + " must be a str, not " + Py_TYPE(value.ptr())->tp_name);
        }
        return nb::cast<std::string>(value);
    }
    std::optional<std::string> optional_text(const char* name) const {
        if (!has(name)) return std::nullopt;
        return text(name);
    }
    std::vector<std::uint8_t> frame(const char* name) const {
        std::vector<std::uint8_t> bytes;
        if (from_file) {
            const std::string digits = text(name);
            if (digits.size() % 2 != 0) {
                throw ValueError(where(name) + " must be hex digits in pairs, not " +
                                 std::to_string(digits.size()) + " digits");
            }
            for (std::size_t i = 0; i < digits.size(); i += 2) {
                const int high = hex_digit(digits[i]);
                const int low = hex_digit(digits[i + 1]);
                if (high < 0 || low < 0) {
                    throw ValueError(where(name) + " must be hex digits, not " +
                                     nb::cast<std::string>(nb::repr(fields[name])));
                }
                bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
            }
        } else {
            ByteView view(fields[name], where(name).c_str());
            bytes.assign(view.span().begin(), view.span().end());
        }
        if (bytes.size() > kHistoryFrameBytes) {
            throw ValueError(where(name) + " holds at most " + std::to_string(kHistoryFrameBytes) +
                             " bytes, not " + std::to_string(bytes.size()));
        }
        return bytes;
    }
    StateId state(const char* name) const {
        const std::string value = text(name);
        if (auto id = state_id_from_class_name(value)) return *id;
        throw ValueError(where(name) + " must name a state class such as 'StateData', not '" +
                         value + "'");
    }
};

HistoryEvent event_from_fields(nb::dict fields, bool from_file) {
    for (auto [key, value] : fields) {
        (void)value;
        bool known = false;
        if (nb::isinstance<nb::str>(key)) {
            const std::string name = nb::cast<std::string>(key);
            for (const char* field : kFields) known = known || name == field;
        }
        if (!known) {
            const std::string message =
                "HistoryEvent has no field " + nb::cast<std::string>(nb::repr(key));
            if (from_file) throw ValueError(message);
            throw TypeError(message);
        }
    }
    const Reader r{fields, from_file};
    HistoryEvent e;
    e.number = static_cast<std::uint64_t>(r.integer("number", 0, INT64_MAX));
    e.time_ns = r.integer("time_ns", INT64_MIN, INT64_MAX);
    const std::string kind = r.text("kind");
    const auto parsed_kind = history_kind_from_name(kind);
    if (!parsed_kind) {
        throw ValueError("HistoryEvent kind must be one of reply, expiry, start, stop, reset, "
                         "fail_safe, not '" + kind + "'");
    }
    e.kind = *parsed_kind;
    e.state_before = r.state("state_before");
    e.state_after = r.state("state_after");
    e.transition = r.optional_text("transition");
    e.error = r.optional_text("error");
    if (fields.contains("fail_safe")) {
        nb::handle value = fields["fail_safe"];
        if (!PyBool_Check(value.ptr())) {
            throw TypeError(std::string("HistoryEvent fail_safe must be a bool, not ") +
                            Py_TYPE(value.ptr())->tp_name);
        }
        e.fail_safe = value.ptr() == Py_True;
    }
    if (r.has("reply")) {
        e.reply = r.frame("reply");
        const auto stored = static_cast<std::int64_t>(e.reply->size());
        e.reply_length = static_cast<std::uint32_t>(
            r.has("reply_length") ? r.integer("reply_length", stored, UINT32_MAX) : stored);
        // Only a reply longer than a frame is cut.
        if (stored < static_cast<std::int64_t>(kHistoryFrameBytes) &&
            e.reply_length != static_cast<std::uint32_t>(stored)) {
            throw ValueError("HistoryEvent reply_length must be the length of reply (" +
                             std::to_string(stored) + ") unless reply holds a whole frame");
        }
        if (r.has("reply_safe_data_bytes")) {
            e.reply_safe_data_bytes =
                static_cast<std::uint16_t>(r.integer("reply_safe_data_bytes", 0, MAX_DATA_BYTES));
        }
        if (r.has("expected_crc0")) {
            e.expected_crc0 = static_cast<std::uint16_t>(r.integer("expected_crc0", 0, 0xFFFF));
        }
        if (r.has("expected_sequence_number")) {
            e.expected_sequence_number =
                static_cast<std::uint16_t>(r.integer("expected_sequence_number", 0, 0xFFFF));
        }
        if (r.has("previous_crc0")) {
            e.previous_crc0 = static_cast<std::uint16_t>(r.integer("previous_crc0", 0, 0xFFFF));
        }
    } else {
        for (const char* name : kReplyFields) {
            if (r.has(name)) {
                throw ValueError(std::string("HistoryEvent ") + name +
                                 " belongs to a reply: give reply too, or leave it out");
            }
        }
    }
    if (r.has("request")) e.request = r.frame("request");
    return e;
}

nb::object optional_str(const std::optional<std::string>& text) {
    if (!text) return nb::none();
    return nb::str(text->data(), text->size());
}

nb::object frame_object(const std::optional<std::vector<std::uint8_t>>& data, bool as_hex) {
    if (!data) return nb::none();
    if (as_hex) return nb::str(hex(*data).c_str());
    return nb::bytes(reinterpret_cast<const char*>(data->data()), data->size());
}

// The fields that belong to a reply, in the order of kReplyFields; None without a reply.
nb::object reply_field(const HistoryEvent& e, std::size_t index) {
    if (!e.reply) return nb::none();
    switch (index) {
        case 0:
            return nb::cast(e.reply_length);
        case 1:
            return nb::cast(e.reply_safe_data_bytes);
        case 2:
            return nb::cast(e.expected_crc0);
        case 3:
            return nb::cast(e.expected_sequence_number);
        default:
            return e.previous_crc0 ? nb::cast(*e.previous_crc0) : nb::none();
    }
}

// The fields as a dict, frames as bytes or as hex text.
nb::dict event_fields(const HistoryEvent& e, bool as_hex) {
    nb::dict d;
    d["number"] = e.number;
    d["time_ns"] = e.time_ns;
    d["kind"] = nb::str(std::string(history_kind_name(e.kind)).c_str());
    d["state_before"] = nb::str(std::string(state_class_name(e.state_before)).c_str());
    d["state_after"] = nb::str(std::string(state_class_name(e.state_after)).c_str());
    d["transition"] = optional_str(e.transition);
    d["error"] = optional_str(e.error);
    d["fail_safe"] = e.fail_safe;
    d["reply"] = frame_object(e.reply, as_hex);
    for (std::size_t i = 0; i < std::size(kReplyFields); ++i) {
        d[kReplyFields[i]] = reply_field(e, i);
    }
    d["request"] = frame_object(e.request, as_hex);
    return d;
}

std::string event_repr(const HistoryEvent& e) {
    std::string out = "<HistoryEvent #" + std::to_string(e.number) + " " +
                      std::string(history_kind_name(e.kind)) + " " +
                      std::string(state_class_name(e.state_before));
    if (e.state_after != e.state_before) {
        out += " -> " + std::string(state_class_name(e.state_after));
    }
    char time[48];
    std::snprintf(time, sizeof time, " at %.6f s", static_cast<double>(e.time_ns) / 1e9);
    out += time;
    if (e.transition || e.error) {
        out += ", " + e.transition.value_or("?") + ": " +
               nb::cast<std::string>(nb::repr(optional_str(e.error)));
    }
    if (e.reply) {
        out += ", reply " + hex_bytes(*e.reply);
        if (e.reply_length > e.reply->size()) {
            out += " (of " + std::to_string(e.reply_length) + " bytes)";
        }
    }
    if (e.request) out += ", request " + hex_bytes(*e.request);
    out += e.fail_safe ? ", fail-safe>" : ">";
    return out;
}

}  // namespace

void bind_history(nb::module_& m) {
    nb::class_<HistoryEvent> cls(
        m, "HistoryEvent",
        "One event of a handler's connection history: a reply processed (with the request "
        "built from it), a watchdog expiry, or a host start, stop, reset or fail-safe switch");
    cls.def(
           "__init__",
           [](nb::handle self, nb::kwargs fields) {
               init_in_place<HistoryEvent>(
                   self, [&] { return event_from_fields(nb::dict(fields), false); });
           },
           nb::sig("def __init__(self, *, number: int, time_ns: int, kind: str, "
                   "state_before: str, state_after: str, transition: str | None = None, "
                   "error: str | None = None, fail_safe: bool = True, "
                   "reply: bytes | bytearray | memoryview | None = None, "
                   "reply_length: int | None = None, reply_safe_data_bytes: int | None = None, "
                   "expected_crc0: int | None = None, "
                   "expected_sequence_number: int | None = None, "
                   "previous_crc0: int | None = None, "
                   "request: bytes | bytearray | memoryview | None = None) -> None"))
        .def_prop_ro("number", [](const HistoryEvent& e) { return e.number; })
        .def_prop_ro("time_ns", [](const HistoryEvent& e) { return e.time_ns; })
        .def_prop_ro("kind",
                     [](const HistoryEvent& e) { return std::string(history_kind_name(e.kind)); })
        .def_prop_ro("state_before",
                     [](const HistoryEvent& e) {
                         return std::string(state_class_name(e.state_before));
                     })
        .def_prop_ro("state_after",
                     [](const HistoryEvent& e) {
                         return std::string(state_class_name(e.state_after));
                     })
        .def_prop_ro(
            "transition", [](const HistoryEvent& e) { return optional_str(e.transition); },
            nb::for_getter(nb::sig("def transition(self, /) -> str | None")))
        .def_prop_ro(
            "error", [](const HistoryEvent& e) { return optional_str(e.error); },
            nb::for_getter(nb::sig("def error(self, /) -> str | None")))
        .def_prop_ro("fail_safe", [](const HistoryEvent& e) { return e.fail_safe; });
    for (const char* name : {"reply", "request"}) {
        const bool reply = std::string_view(name) == "reply";
        cls.def_prop_ro(
            name,
            [reply](const HistoryEvent& e) {
                return frame_object(reply ? e.reply : e.request, false);
            },
            nb::for_getter(nb::sig((std::string("def ") + name + "(self, /) -> bytes | None").c_str())));
    }
    for (std::size_t i = 0; i < std::size(kReplyFields); ++i) {
        const char* name = kReplyFields[i];
        cls.def_prop_ro(
            name, [i](const HistoryEvent& e) { return reply_field(e, i); },
            nb::for_getter(nb::sig((std::string("def ") + name + "(self, /) -> int | None").c_str())));
    }
    cls.def(
           "to_dict", [](const HistoryEvent& e) { return event_fields(e, true); },
           nb::sig("def to_dict(self) -> dict[str, object]"),
           "The fields as a dict for JSON: frames as hex text")
        .def_static(
            "from_dict",
            [](nb::handle fields) {
                if (!nb::isinstance<nb::dict>(fields)) {
                    throw ValueError(std::string("a history event must be a JSON object, not ") +
                                     Py_TYPE(fields.ptr())->tp_name);
                }
                return event_from_fields(nb::borrow<nb::dict>(fields), true);
            },
            nb::sig("def from_dict(fields: object) -> HistoryEvent"),
            "An event from the dict of to_dict (checked field by field)")
        .def("__repr__", &event_repr)
        .def("__eq__",
             [](const HistoryEvent& a, nb::handle b) -> nb::object {
                 HistoryEvent* other = nullptr;
                 if (!nb::try_cast(b, other, false) || other == nullptr) {
                     return nb::borrow(Py_NotImplemented);
                 }
                 return nb::bool_(a == *other);
             },
             nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__hash__",
             [](const HistoryEvent& e) {
                 return nb::hash(nb::make_tuple(e.number, e.time_ns, static_cast<int>(e.kind)));
             })
        .def("__getstate__",
             [](const HistoryEvent& e) { return nb::make_tuple(event_fields(e, true), nb::none()); })
        .def("__setstate__", [](nb::handle self, nb::handle state) {
            nb::tuple fields = state_tuple(self, state, 2, "HistoryEvent");
            if (!nb::isinstance<nb::dict>(fields[0])) {
                throw TypeError("invalid pickled state for HistoryEvent");
            }
            construct_in_place<HistoryEvent>(
                self, event_from_fields(nb::borrow<nb::dict>(fields[0]), true));
        });
}

}  // namespace velmora::bindings
