// The slave simulator, shown in Python as velmora.sim.SlaveSimulator.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/model_pickle.hpp"
#include "bindings/pickling.hpp"
#include "bindings/subsystems.hpp"
#include "protocol/errors.hpp"
#include "sim/slave_simulator.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

using sim::FaultOptions;
using sim::SimEvent;
using sim::SimFault;
using sim::SlaveSimulator;

const char* const kSimulatorDoc =
    R"(A simulated FSoE slave: the slave side of one connection, cycle by cycle.

SlaveSimulator(slave_address, connection_id, input_bytes, output_bytes, watchdog_ms,
               application_parameters=b"", seed=None, max_events=1000)

input_bytes is the safe data the slave sends (the master's input map), output_bytes what it
receives (the master's output map): 1 or an even number up to 16 each. application_parameters
are the parameter bytes the slave expects, as they travel. seed makes its session ids
repeatable. max_events bounds the event log (the newest are kept).

Each cycle, process(request) takes the master's PDU and returns the slave's. The slave plays
Reset, Session (its own session id), Connection (echo of connection id and address),
Parameter (echo of the parameter block) and Data (PROCESS_DATA with its inputs), moving the
setup data piecewise with the smaller of the two frame sizes per frame, chaining the
reference CRC_0 both ways and handling the CRC_0 edge case. It checks every frame and
answers a violation with a Reset frame carrying the error code (BaseError). Sequence numbers
restart at 1 after every reset. In the Reset state a valid command other than Session or
Reset leaves the Reset frame, and the error it carries, unchanged.

A request equal to the previous one is no new frame: the current reply is returned again. An
empty request changes nothing. A request of the wrong length is answered with a Reset frame
(INVALID_DATA).

Clock: the slave has no thread. Its watchdog (active outside the Reset state, off when
watchdog_ms is 0) runs on a clock in milliseconds that only the host moves: process(request,
now=...) or advance(ms). It expires when more than watchdog_ms pass after the last accepted
frame; the reply then becomes a Reset frame with WD_EXPIRED.

Faults (inject(fault, **params), see FAULTS): each takes count=n (uses, default 1) or
count=None (until clear_faults); 'silent' defaults to count=None.
  corrupt_crc            next reply's CRCs inverted
  wrong_connection_id    next reply carries connection_id=... (default: all bits inverted)
  reset                  slave resets at the next request, Reset frame with error=... (0)
  unknown_command        next reply carries command=... (default 0xFF), no FSoE command
  wrong_command          next reply carries command=... (an FSoECommand; default one the
                         master does not expect)
  wrong_address          echo of the slave address wrong (address=..., default inverted)
  wrong_watchdog         echo of the watchdog time wrong (watchdog_ms=..., default inverted)
  wrong_parameter        echo of application parameter byte index=... (0) wrong (value=...)
  silent                 process ignores requests and returns the last reply unchanged
  failsafe_data          next Data reply is FAILSAFE_DATA (zero data) instead of PROCESS_DATA
Reply faults count new replies; echo faults count setups and are spent by the first reply
that carries a byte of their item; 'silent' counts calls of process.)";

nb::bytes to_bytes(std::span<const std::uint8_t> data) {
    return nb::bytes(reinterpret_cast<const char*>(data.data()), data.size());
}

double to_ms(nb::handle value, const char* what) {
    if (PyFloat_Check(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    if (PyLong_Check(value.ptr())) {
        const double ms = PyLong_AsDouble(value.ptr());
        if (ms == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return ms;
    }
    throw TypeError(std::string(what) + " must be a number of milliseconds, not " +
                    Py_TYPE(value.ptr())->tp_name);
}

std::optional<std::uint64_t> to_seed(nb::handle seed) {
    if (seed.is_none()) return std::nullopt;
    if (!PyLong_Check(seed.ptr())) {
        throw TypeError(std::string("seed must be an integer or None, not ") +
                        Py_TYPE(seed.ptr())->tp_name);
    }
    // Any integer seeds: its low 64 bits.
    const unsigned long long bits = PyLong_AsUnsignedLongLongMask(seed.ptr());
    if (bits == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        throw nb::python_error();
    }
    return bits;
}

std::string fault_names() {
    std::string text;
    for (std::string_view name : sim::kFaultNames) {
        if (!text.empty()) text += ", ";
        text += name;
    }
    return text;
}

// The keyword that carries a fault's value.
const char* value_keyword(SimFault fault) {
    switch (fault) {
        case SimFault::RESET:
            return "error";
        case SimFault::UNKNOWN_COMMAND:
        case SimFault::WRONG_COMMAND:
            return "command";
        case SimFault::WRONG_CONNECTION_ID:
            return "connection_id";
        case SimFault::WRONG_ADDRESS:
            return "address";
        case SimFault::WRONG_WATCHDOG:
            return "watchdog_ms";
        case SimFault::WRONG_PARAMETER:
            return "value";
        default:
            return nullptr;
    }
}

SimFault fault_argument(nb::handle fault) {
    if (!nb::isinstance<nb::str>(fault)) {
        throw TypeError(std::string("fault must be a str, not ") + Py_TYPE(fault.ptr())->tp_name);
    }
    const std::string name = nb::cast<std::string>(fault);
    if (auto known = sim::fault_from_name(name)) return *known;
    throw ValueError("unknown fault '" + name + "'; the faults are " + fault_names());
}

std::int64_t value_argument(nb::handle value, const char* keyword) {
    FSOECommand command;
    if (nb::try_cast(value, command)) return static_cast<std::int64_t>(command);
    return to_int64(value, keyword);
}

void inject(SlaveSimulator& simulator, nb::handle fault_name, nb::kwargs params) {
    const SimFault fault = fault_argument(fault_name);
    const char* keyword = value_keyword(fault);
    FaultOptions options;
    for (auto [key_handle, value] : params) {
        const std::string key = nb::cast<std::string>(key_handle);
        if (key == "count") {
            if (value.is_none()) {
                options.count = FaultOptions::kUntilCleared;
            } else {
                options.count = to_int64(value, "count");
                if (options.count < 1) throw ValueError("count must be a positive integer or None");
            }
        } else if (keyword != nullptr && key == keyword) {
            options.value = value_argument(value, keyword);
        } else if (fault == SimFault::WRONG_PARAMETER && key == "index") {
            options.index = to_int64(value, "index");
        } else {
            throw TypeError("inject() got an unexpected keyword argument '" + key +
                            "' for fault '" + std::string(sim::fault_name(fault)) + "'");
        }
    }
    simulator.inject(fault, options);
}

nb::dict armed_faults(const SlaveSimulator& simulator) {
    nb::dict faults;
    for (std::size_t i = 0; i < sim::kFaultCount; ++i) {
        const sim::ArmedFault& fault = simulator.faults().get(static_cast<SimFault>(i));
        if (!fault.armed) continue;
        nb::str name(sim::kFaultNames[i].data(), sim::kFaultNames[i].size());
        faults[name] =
            fault.until_cleared ? nb::object(nb::none()) : nb::object(nb::int_(fault.remaining));
    }
    return faults;
}

std::vector<SimEvent> event_list(const SlaveSimulator& simulator) {
    const sim::EventLog& log = simulator.events();
    std::vector<SimEvent> events;
    events.reserve(log.size());
    for (std::size_t i = 0; i < log.size(); ++i) events.push_back(log[i]);
    return events;
}

nb::object command_or_none(std::uint16_t command) {
    if (command == sim::kNoCommand) return nb::none();
    return nb::str(sim::command_text(command).c_str());
}

nb::tuple name_tuple(std::span<const std::string_view> names) {
    nb::list list;
    for (std::string_view name : names) list.append(nb::str(name.data(), name.size()));
    return nb::steal<nb::tuple>(PyList_AsTuple(list.ptr()));
}

void bind_event(nb::module_& m) {
    nb::class_<SimEvent> event(m, "SlaveEvent",
                               "One thing the slave simulator saw or did (read-only).");
    event
        .def_prop_ro(
            "number", [](const SimEvent& e) { return e.number; },
            "Running number of the event, from 0.")
        .def_prop_ro(
            "time_ms", [](const SimEvent& e) { return e.time_ms; },
            "The simulator's clock when it happened.")
        .def_prop_ro(
            "kind", [](const SimEvent& e) { return std::string(sim::event_kind_name(e.kind)); },
            "frame, repeat, ignored, state, error, master_reset, watchdog, fault, host_reset or "
            "failsafe_not_zero.")
        .def_prop_ro(
            "state", [](const SimEvent& e) { return std::string(sim::sim_state_name(e.state)); },
            "The slave's state when the event was recorded (frame, state: after it).")
        .def_prop_ro(
            "command", [](const SimEvent& e) { return command_or_none(e.command); },
            nb::for_getter(nb::sig("def command(self, /) -> str | None")),
            "frame: the command received (a name, or hexadecimal when unknown).")
        .def_prop_ro(
            "reply", [](const SimEvent& e) { return command_or_none(e.reply); },
            nb::for_getter(nb::sig("def reply(self, /) -> str | None")),
            "frame: the command replied.")
        .def_prop_ro(
            "error",
            [](const SimEvent& e) -> nb::object {
                if (!sim::event_has_code(e)) return nb::none();
                return nb::int_(e.code);
            },
            nb::for_getter(nb::sig("def error(self, /) -> int | None")),
            "The error code involved (error, master_reset, watchdog, host_reset, fault reset).")
        .def_prop_ro(
            "fault",
            [](const SimEvent& e) -> nb::object {
                if (e.kind != sim::SimEventKind::FAULT) return nb::none();
                return nb::str(std::string(sim::fault_name(e.fault)).c_str());
            },
            nb::for_getter(nb::sig("def fault(self, /) -> str | None")),
            "fault: the name of the fault applied.")
        .def_prop_ro(
            "message", [](const SimEvent& e) { return sim::describe(e); },
            "The event as one line of text.")
        .def("__str__", [](const SimEvent& e) { return sim::describe(e); })
        .def("__repr__", [](const SimEvent& e) {
            return "SlaveEvent(#" + std::to_string(e.number) + " " +
                   std::string(sim::event_kind_name(e.kind)) + ": " + sim::describe(e) + ")";
        });
    refuse_pickling(event, "SlaveEvent");
}

}  // namespace

void bind_sim(nb::module_& m) {
    bind_event(m);

    nb::class_<SlaveSimulator> cls(m, "SlaveSimulator", kSimulatorDoc);
    cls.def(
        "__init__",
        [](nb::handle self, nb::handle slave_address, nb::handle connection_id,
           nb::handle input_bytes, nb::handle output_bytes, nb::handle watchdog_ms,
           nb::handle application_parameters, nb::handle seed, nb::handle max_events) {
            init_in_place<SlaveSimulator>(self, [&] {
                ByteView parameters(application_parameters, "application_parameters");
                return SlaveSimulator(
                    to_int64(slave_address, "slave_address"),
                    to_int64(connection_id, "connection_id"), to_int64(input_bytes, "input_bytes"),
                    to_int64(output_bytes, "output_bytes"), to_int64(watchdog_ms, "watchdog_ms"),
                    parameters.span(), to_seed(seed), to_int64(max_events, "max_events"));
            });
        },
        nb::arg("slave_address"), nb::arg("connection_id"), nb::arg("input_bytes"),
        nb::arg("output_bytes"), nb::arg("watchdog_ms"),
        nb::arg("application_parameters") = nb::bytes("", 0), nb::arg("seed") = nb::none(),
        nb::arg("max_events") = SlaveSimulator::kDefaultMaxEvents);

    cls.def(
           "process",
           [](SlaveSimulator& s, nb::handle request, nb::handle now) {
               ByteView data(request, "request");
               if (now.is_none()) return to_bytes(s.process(data.span()));
               return to_bytes(s.process(data.span(), to_ms(now, "now")));
           },
           nb::arg("request"), nb::arg("now") = nb::none(),
           "One cycle: the master's PDU in, the slave's PDU out. With now (milliseconds, not "
           "before time_ms) the clock moves first, and the watchdog may expire.")
        .def(
            "advance", [](SlaveSimulator& s, nb::handle ms) { s.advance(to_ms(ms, "ms")); },
            nb::arg("ms"), "Moves the clock forward by ms milliseconds.")
        .def(
            "reset", [](SlaveSimulator& s, nb::handle error) { s.reset(to_int64(error, "error")); },
            nb::arg("error") = 0,
            "The slave resets the connection now: its reply becomes a Reset frame with error.")
        .def("inject", &inject, nb::arg("fault"), nb::arg("params"),
             "Arms a fault (one of FAULTS) with its keyword parameters.")
        .def(
            "clear_faults",
            [](SlaveSimulator& s, nb::handle fault) {
                if (fault.is_none()) {
                    s.clear_faults();
                } else {
                    s.clear_fault(fault_argument(fault));
                }
            },
            nb::arg("fault") = nb::none(), "Disarms every fault, or the one named.")
        .def("clear_events", &SlaveSimulator::clear_events, "Empties the event log.");

    cls.def_prop_ro(
           "state", [](const SlaveSimulator& s) { return std::string(sim_state_name(s.state())); },
           "RESET, SESSION, CONNECTION, PARAMETER or DATA.")
        .def_prop_rw(
            "inputs", [](const SlaveSimulator& s) { return to_bytes(s.inputs()); },
            [](SlaveSimulator& s, nb::handle value) {
                ByteView data(value, "inputs");
                s.set_inputs(data.span());
            },
            "The safe data the slave sends in the Data state (input_bytes bytes).")
        .def_prop_ro(
            "outputs", [](const SlaveSimulator& s) { return to_bytes(s.outputs()); },
            "The outputs the slave applies: the data of the last PROCESS_DATA frame; zeros "
            "before one, after a FAILSAFE_DATA frame and outside the Data state.")
        .def_prop_ro("outputs_valid", &SlaveSimulator::outputs_valid,
                     "True while outputs hold the data of a PROCESS_DATA frame.")
        .def_prop_ro(
            "reply", [](const SlaveSimulator& s) { return to_bytes(s.reply()); },
            "The slave's current PDU, returned for a repeated request (empty before its first "
            "reply). While silent, process keeps returning the last PDU it delivered.")
        .def_prop_ro("slave_address", &SlaveSimulator::slave_address)
        .def_prop_ro("connection_id", &SlaveSimulator::connection_id)
        .def_prop_ro("watchdog_ms", &SlaveSimulator::watchdog_ms)
        .def_prop_ro("input_bytes", &SlaveSimulator::input_bytes)
        .def_prop_ro("output_bytes", &SlaveSimulator::output_bytes)
        .def_prop_ro("initialization_data_bytes", &SlaveSimulator::initialization_data_bytes,
                     "Setup-data bytes per frame: the smaller of the two frame sizes.")
        .def_prop_ro("request_length", &SlaveSimulator::request_length,
                     "Length of the master's PDU in bytes.")
        .def_prop_ro("reply_length", &SlaveSimulator::reply_length,
                     "Length of the slave's PDU in bytes.")
        .def_prop_ro("application_parameters",
                     [](const SlaveSimulator& s) { return to_bytes(s.application_parameters()); })
        .def_prop_ro("session_id", &SlaveSimulator::session_id,
                     "The slave's session id of the current (or last) session.")
        .def_prop_ro("master_session_id", &SlaveSimulator::master_session_id,
                     "The master's session id, once received completely, else None.")
        .def_prop_ro("error_code", &SlaveSimulator::error_code,
                     "The error code the slave's Reset frames carry.")
        .def_prop_ro("last_error", &SlaveSimulator::last_error,
                     "The BaseError of the last violation the slave found, or None.")
        .def_prop_ro("master_error", &SlaveSimulator::master_error,
                     "The error code of the master's last Reset frame, or None.")
        .def_prop_ro("process_calls", &SlaveSimulator::process_calls)
        .def_prop_ro("frames_received", &SlaveSimulator::frames_received,
                     "New requests handled (not repeats, not empty, not while silent).")
        .def_prop_ro("data_frames", &SlaveSimulator::data_frames, "Data-state frames accepted.")
        .def_prop_ro("errors_detected", &SlaveSimulator::errors_detected,
                     "Violations answered with a Reset frame (watchdog expiries included).")
        .def_prop_ro("time_ms", &SlaveSimulator::time_ms, "The simulator's clock.")
        .def_prop_ro("events", &event_list, "What the slave saw and did, oldest first.")
        .def_prop_ro("faults", &armed_faults,
                     "Armed faults: name -> uses left, or None when armed until cleared.")
        .def("__repr__", [](const SlaveSimulator& s) {
            return "SlaveSimulator(state='" + std::string(sim_state_name(s.state())) +
                   "', slave_address=" + std::to_string(s.slave_address()) +
                   ", connection_id=" + std::to_string(s.connection_id()) + ")";
        });

    cls.attr("FAULTS") = name_tuple(sim::kFaultNames);
    static constexpr std::string_view kStates[] = {"RESET", "SESSION", "CONNECTION", "PARAMETER",
                                                   "DATA"};
    cls.attr("STATES") = name_tuple(kStates);
    refuse_pickling(cls, "SlaveSimulator");
}

}  // namespace velmora::bindings
