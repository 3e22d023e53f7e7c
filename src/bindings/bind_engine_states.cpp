// The state classes. Their operations act on the handler, so each runs as one host
// operation under the handler's exclusion.
#include <nanobind/nanobind.h>

#include <utility>

#include "bindings/convert.hpp"
#include "bindings/model_pickle.hpp"
#include "bindings/engine_support.hpp"
#include "bindings/pickling.hpp"
#include "engine/master_handler.hpp"
#include "protocol/errors.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

template <typename F>
auto on_handler(State& state, F&& f) {
    using Result = decltype(f());
    MasterHandler& handler = state.context();
    if constexpr (std::is_void_v<Result>) {
        handler.exclusive(std::forward<F>(f));
    } else {
        Result result{};
        handler.exclusive([&] { result = f(); });
        return result;
    }
}

nb::object event_result(StateId id) {
    return nb::borrow(state_class(id));
}

// A live state refuses a second __init__ (see init_in_place).
template <typename S, typename Class>
void define_state_init(Class& cls) {
    cls.def(
        "__init__",
        [](nb::handle self, MasterHandler& context) {
            init_in_place<S>(self, [&] { return S(context); });
        },
        nb::arg("context"), nb::keep_alive<1, 2>());
}

template <typename S>
void define_init(nb::class_<S, State>& cls) {
    define_state_init<S>(cls);
}

template <typename S>
void define_map_frame(nb::class_<S, State>& cls) {
    cls.def(
        "map_frame", [](S& s) { on_handler(s, [&] { s.map_frame(); }); },
        "Prepare the master's next frame for this state");
}

}  // namespace

void bind_engine_states(nb::module_& m) {
    nb::class_<State> base(m, "State", "FSoE State");
    define_state_init<State>(base);
    base.def_prop_ro(
            "context",
            [](const State& s) -> nb::object {
                nb::object handler = nb::find(&s.context());
                return handler.is_valid() ? handler : nb::none();
            },
            nb::for_getter(nb::sig("def context(self, /) -> MasterHandler | None")))
        .def(
            "_process_frame_received_event",
            [](State& s) {
                return event_result(
                    on_handler(s, [&] { return s._process_frame_received_event(); }));
            },
            nb::sig("def _process_frame_received_event(self) -> type[State]"),
            "Process events when a frame is received")
        .def(
            "_process_watchdog_expired_event",
            [](State& s) {
                return event_result(
                    on_handler(s, [&] { return s._process_watchdog_expired_event(); }));
            },
            nb::sig("def _process_watchdog_expired_event(self) -> type[State]"),
            "Process events when the watchdog expires")
        .def(
            "_process_reset_connection_event",
            [](State& s) {
                return event_result(
                    on_handler(s, [&] { return s._process_reset_connection_event(); }));
            },
            nb::sig("def _process_reset_connection_event(self) -> type[State]"),
            "Process events when the connection is reset")
        .def(
            "_check_received_crcs",
            [](State& s) { return on_handler(s, [&] { return s._check_received_crcs(); }); },
            "Check the received crcs from the slave.");
    refuse_pickling(base, "State");

    nb::class_<StateReset, State> reset(m, "StateReset", "FSoE Reset state");
    define_init(reset);
    define_map_frame(reset);
    reset.def(
        "_reset_handler",
        [](StateReset& s, nb::handle error) {
            const std::int64_t code = to_int64(error, "error");
            if (!fsoe_error_has_value(code)) {
                throw ValueError(std::to_string(code) + " is not a valid BaseError");
            }
            return event_result(
                on_handler(s, [&] { return s._reset_handler(static_cast<std::uint16_t>(code)); }));
        },
        nb::arg("error"), nb::sig("def _reset_handler(self, error: BaseError) -> type[State]"),
        "Reset the connection with an error code");

    nb::class_<StateSession, State> session(m, "StateSession", "FSoE Session state");
    define_init(session);
    define_map_frame(session);
    session.def(
        "_reset_session",
        [](StateSession& s) {
            return event_result(on_handler(s, [&] { return s._reset_session(); }));
        },
        nb::sig("def _reset_session(self) -> type[State]"),
        "Restart the session after a reset by the slave");

    nb::class_<StateConnection, State> connection(m, "StateConnection", "FSoE Connection state");
    define_init(connection);

    nb::class_<StateParameter, State> parameter(m, "StateParameter", "FSoE Parameter state");
    define_init(parameter);
    define_map_frame(parameter);

    nb::class_<StateData, State> data(m, "StateData", "FSoE Data state");
    define_init(data);
    define_map_frame(data);

    for (std::uint8_t i = 0; i < kStateCount; ++i) {
        nb::handle cls = state_class(static_cast<StateId>(i));
        cls.attr("id") = i;
    }
}

}  // namespace velmora::bindings
