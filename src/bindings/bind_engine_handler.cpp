// The master handler from Python.
//
// The core holds the handler; the Python object holds the core through a shared_ptr, so
// that a watchdog expiry in progress keeps the core alive even if host code it calls drops
// the last Python reference. Host callbacks run with the GIL, taken only around the call.
// Waits for the handler's exclusion release the GIL: the order is always exclusion first,
// then GIL, on every thread.
#include <nanobind/nanobind.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/vector.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/cycle_methods.hpp"
#include "bindings/engine_support.hpp"
#include "bindings/mapping_item_types.hpp"
#include "bindings/model_gc.hpp"
#include "bindings/model_pickle.hpp"
#include "bindings/pickling.hpp"
#include "bindings/py_master_handler.hpp"
#include "bindings/python_threads.hpp"
#include "engine/master_handler.hpp"
#include "protocol/errors.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

nb::object optional_text(std::optional<std::string_view> text) {
    if (!text) return nb::none();
    return nb::str(text->data(), text->size());
}

class PyErrorCallback final : public ErrorCallback {
  public:
    explicit PyErrorCallback(nb::handle fn) : fn_(fn) {}
    void operator()(std::optional<std::string_view> transition_name,
                    std::optional<std::string_view> message) override {
        PythonCall call;
        if (!call) return;
        nb::gil_scoped_acquire gil;
        if (fn_.get() == nullptr) return;
        nb::object fn = nb::borrow(fn_.get());
        fn(optional_text(transition_name), optional_text(message));
    }
    PyObject* callable() const noexcept { return fn_.get(); }

  private:
    PyReference fn_;
};

class PyStateChangeCallback final : public StateChangeCallback {
  public:
    explicit PyStateChangeCallback(nb::handle fn) : fn_(fn) {}
    void operator()(StateId next_state) override {
        PythonCall call;
        if (!call) return;
        nb::gil_scoped_acquire gil;
        if (fn_.get() == nullptr) return;
        nb::object fn = nb::borrow(fn_.get());
        fn(state_class(next_state));
    }
    PyObject* callable() const noexcept { return fn_.get(); }

  private:
    PyReference fn_;
};

template <typename Callback>
std::shared_ptr<Callback> callback_argument(nb::handle fn, const char* what) {
    if (fn.is_none()) return nullptr;
    if (!PyCallable_Check(fn.ptr())) {
        throw TypeError(std::string(what) + " must be callable or None, not " +
                        Py_TYPE(fn.ptr())->tp_name);
    }
    return std::make_shared<Callback>(fn);
}

std::vector<ApplicationParameterPtr> parameters_argument(nb::handle params) {
    std::vector<ApplicationParameterPtr> result;
    if (params.is_none()) return result;
    if (!PyList_Check(params.ptr())) {
        throw TypeError(std::string("application_parameters must be a list or None, not ") +
                        Py_TYPE(params.ptr())->tp_name);
    }
    for (nb::handle item : nb::borrow<nb::list>(params)) {
        ApplicationParameterPtr param;
        if (item.is_none() || !nb::try_cast(item, param, false) || !param) {
            throw TypeError(std::string("application parameters must be ApplicationParameter "
                                        "objects, not ") +
                            Py_TYPE(item.ptr())->tp_name);
        }
        result.push_back(std::move(param));
    }
    return result;
}

double seconds_argument(nb::handle value) {
    if (PyFloat_Check(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    if (PyLong_Check(value.ptr())) {
        const double seconds = PyLong_AsDouble(value.ptr());
        if (seconds == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return seconds;
    }
    throw TypeError(std::string("watchdog_timeout_s must be a real number, not ") +
                    Py_TYPE(value.ptr())->tp_name);
}

std::shared_ptr<MasterHandler> make_handler(nb::handle dictionary, nb::handle slave_address,
                                            nb::handle connection_id, nb::handle watchdog_timeout_s,
                                            nb::handle application_parameters,
                                            nb::handle report_error_callback,
                                            nb::handle state_change_callback,
                                            nb::handle dictionary_map_is_editable,
                                            nb::handle history_size) {
    DictionaryPtr dict;
    if (dictionary.is_none() || !nb::try_cast(dictionary, dict, false) || !dict) {
        throw TypeError(std::string("dictionary must be a Dictionary, not ") +
                        Py_TYPE(dictionary.ptr())->tp_name);
    }
    const std::int64_t address = to_u16_truncating(slave_address, "slave_address");
    const std::int64_t id = to_u16_truncating(connection_id, "connection_id");
    const double seconds = seconds_argument(watchdog_timeout_s);
    auto params = parameters_argument(application_parameters);
    auto on_error =
        callback_argument<PyErrorCallback>(report_error_callback, "report_error_callback");
    auto on_change =
        callback_argument<PyStateChangeCallback>(state_change_callback, "state_change_callback");
    const bool editable = to_truth(dictionary_map_is_editable);
    if (!PyLong_Check(history_size.ptr()) || PyBool_Check(history_size.ptr())) {
        throw TypeError(std::string("history_size must be an integer, not ") +
                        Py_TYPE(history_size.ptr())->tp_name);
    }
    const std::int64_t events = to_int64(history_size, "history_size");
    if (events < 0) {
        throw ValueError("history_size must be from 0 to " +
                         std::to_string(HistoryRing::kMaxSize) + ", not " +
                         std::to_string(events));
    }
    // In the hot memory, beside its nodes and maps (a cycle touches a good part of it).
    auto handler = std::allocate_shared<PyMasterHandler>(
        HotAllocator<PyMasterHandler>{}, std::move(dict), address, id, seconds, std::move(params),
        std::move(on_error), std::move(on_change), editable, static_cast<std::size_t>(events));
    // The maps test the exact Python class of an item, as maps built from Python do.
    accepted_types(*handler->master().dictionary_map());
    accepted_types(*handler->slave().dictionary_map());
    return handler;
}

// --- garbage collection ---
//
// What the core keeps alive of Python: the two callbacks, and through shared_ptrs made from
// Python objects the dictionary, the application parameters and the items that the nodes'
// maps hold (and so, through an item, its subscribers). Such a shared_ptr owns one
// reference however many copies of it the core keeps (the nodes copy the dictionary and the
// parameters), so each is visited at one place.
//
// Two Python objects may stand for one core: the one that __new__ made, which holds the
// core, and for a Python subclass the subclass instance, which holds that first one. The
// holder visits the core's references, the subclass instance visits the holder: visiting
// the core from both would count its references twice. Neither depends on the core's
// shared count, which the watchdog thread changes without the GIL while an expiry holds
// the core; a core kept alive for that moment still holds only what the holder owns.

// Whether `item` is the dictionary's own pointer to it (an entry added by key): the
// dictionary visits that reference, not the map.
bool dictionary_pointer(const Dictionary& dictionary, const DictionaryItemPtr& item) {
    if (dictionary.find_key(item->key()) != item.get()) return false;
    return same_owner(dictionary.item_by_key(item->key()), item);
}

int visit_core_references(MasterHandler& h, visitproc visit, void* arg) {
    if (auto cb = std::dynamic_pointer_cast<PyErrorCallback>(h.report_error_callback())) {
        Py_VISIT(cb->callable());
    }
    if (auto cb = std::dynamic_pointer_cast<PyStateChangeCallback>(h.state_change_callback())) {
        Py_VISIT(cb->callable());
    }
    const DictionaryPtr& dictionary = h.dictionary();
    Py_VISIT(shared_owner(dictionary));
    // The nodes' parameter lists and dynamic maps hold copies of these (or core objects).
    for (const auto& param : h.application_parameters()) Py_VISIT(shared_owner(param));
    for (Node* node : {&h.master(), &h.slave()}) {
        const DictionaryMap& map = *node->dictionary_map();
        if (!same_owner(map.dictionary(), dictionary)) Py_VISIT(shared_owner(map.dictionary()));
        for (const auto& entry : map._items()) {
            // An entry made from Python holds its item itself, and visits it.
            if (PyObject* own = shared_owner(entry)) {
                Py_VISIT(own);
                continue;
            }
            const DictionaryItemPtr& item = entry->item();
            if (item && !dictionary_pointer(*dictionary, item)) Py_VISIT(shared_owner(item));
        }
    }
    return 0;
}

// The Python object that holds the core: the first one registered for it.
nb::object core_holder(MasterHandler& h) noexcept {
    return nb::find(&h);
}

int handler_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    MasterHandler& h = handler_of(self);
    nb::object holder = core_holder(h);
    if (holder.ptr() == self) return visit_core_references(h, visit, arg);
    Py_VISIT(holder.ptr());
    return 0;
}

// Ends the connection and the watchdog thread and drops the callbacks. Once this returns,
// no thread of the core calls host code any more.
void stop_core(MasterHandler& h) noexcept {
    h.clear_callbacks();
    try {
        h.delete_();
    } catch (...) {
        // A subscriber's error, or a handler that no longer runs: nobody to report to.
    }
}

// Run by the collector on a garbage handler before it clears anything, and by the
// deallocation of a subclass instance. The core stops here, while the host objects that
// its callbacks and subscribers use are still whole: a watchdog thread that has already
// taken a callback may still call it, and it must never call one the collector has
// cleared. A subclass instance stops the core only when nothing else holds the holder.
void handler_finalize(PyObject* self) {
    if (!nb::inst_ready(self)) return;
    nb::error_scope keep_current_error;
    MasterHandler& h = handler_of(self);
    nb::object holder = core_holder(h);
    // Two references: this instance's and `holder`; any other means the core still serves.
    if (holder.ptr() == self || (holder.is_valid() && Py_REFCNT(holder.ptr()) <= 2)) {
        stop_core(h);
    }
}

// Garbage: the callbacks, which refer back to the host's objects, are dropped. The core
// was stopped by the finalizer already, unless an earlier collection finalized it and
// something brought it back.
int handler_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    MasterHandler& h = handler_of(self);
    if (core_holder(h).ptr() == self) stop_core(h);
    return 0;
}

PyType_Slot handler_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(&handler_traverse)},
                               {Py_tp_clear, reinterpret_cast<void*>(&handler_clear)},
                               {Py_tp_finalize, reinterpret_cast<void*>(&handler_finalize)},
                               {0, nullptr}};

template <typename F>
auto exclusive_result(MasterHandler& h, F&& f) {
    decltype(f()) result{};
    h.exclusive([&] { result = f(); });
    return result;
}

void bind_handler_fields(nb::class_<MasterHandler>& cls) {
    cls.def_prop_ro("dictionary", [](const MasterHandler& h) { return h.dictionary(); })
        .def_prop_ro(
            "master", [](MasterHandler& h) -> Node& { return h.master(); },
            nb::rv_policy::reference_internal)
        .def_prop_ro(
            "slave", [](MasterHandler& h) -> Node& { return h.slave(); },
            nb::rv_policy::reference_internal)
        .def_prop_ro(
            "_state", [](MasterHandler& h) -> State& { return h.state_object(h.state()); },
            nb::rv_policy::reference_internal)
        .def_prop_ro(
            "_watchdog", [](MasterHandler& h) -> Watchdog& { return h._watchdog(); },
            nb::rv_policy::reference_internal)
        .def_prop_rw(
            "_data_command",
            [](MasterHandler& h) { return exclusive_result(h, [&] { return h._data_command; }); },
            [](MasterHandler& h, FSOECommand command) {
                h.exclusive([&] { h._data_command = command; });
            })
        .def_prop_rw(
            "_second_session_frame_sent",
            [](const MasterHandler& h) { return h._second_session_frame_sent; },
            [](MasterHandler& h, nb::handle v) {
                const bool value = to_truth(v);
                h.exclusive([&] { h._second_session_frame_sent = value; });
            })
        .def_prop_rw(
            "_reset_slave_sequence_number_after_frame",
            [](const MasterHandler& h) { return h._reset_slave_sequence_number_after_frame; },
            [](MasterHandler& h, nb::handle v) {
                const bool value = to_truth(v);
                h.exclusive([&] { h._reset_slave_sequence_number_after_frame = value; });
            })
        .def_prop_rw(
            "_generate_crcs_cyclic_for_next_frame",
            [](const MasterHandler& h) { return h._generate_crcs_cyclic_for_next_frame; },
            [](MasterHandler& h, nb::handle v) {
                const bool value = to_truth(v);
                h.exclusive([&] { h._generate_crcs_cyclic_for_next_frame = value; });
            });
}

void bind_handler_internals(nb::class_<MasterHandler>& cls) {
    cls.def(
           "_get_request",
           [](MasterHandler& h) {
               std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
               const std::uint16_t length =
                   exclusive_result(h, [&] { return h._get_request(out); });
               return nb::bytes(reinterpret_cast<const char*>(out), length);
           },
           nb::sig("def _get_request(self) -> bytes"), "Get new FSoE Request")
        .def(
            "_set_reply",
            [](MasterHandler& h, nb::handle data) {
                ByteView bytes(data, "data");
                h.exclusive([&] { h._set_reply(bytes.span()); });
            },
            nb::arg("data").none(),
            nb::sig("def _set_reply(self, data: bytes | bytearray | memoryview) -> None"),
            "Get new FSoE reply")
        .def(
            "_dynamic_map_pending",
            [](MasterHandler& h) {
                return exclusive_result(h, [&] { return h._dynamic_map_pending(); });
            },
            "Check if one of the dynamic maps has pending data")
        .def(
            "_create_session_id",
            [](MasterHandler& h) { h.exclusive([&] { h._create_session_id(); }); },
            "Create new random session id")
        .def(
            "_set_next_state",
            [](MasterHandler& h, nb::handle next_state) {
                const StateId id = state_id_of_class(next_state);
                h.exclusive([&] { h._set_next_state(id); });
            },
            nb::arg("next_state").none(),
            nb::sig("def _set_next_state(self, next_state: type[State]) -> None"),
            "Set the next state of the state machine")
        .def(
            "_watchdog_expired_event",
            [](MasterHandler& h) { h.exclusive([&] { h._watchdog_expired_event(); }); },
            "Watchdog expired event callback for watchdog")
        .def(
            "_report_error",
            [](MasterHandler& h, nb::handle transition_name, nb::handle error) {
                std::optional<std::string> name;
                std::optional<std::string> message;
                for (auto [arg, out, what] : {std::tuple{transition_name, &name, "transition_name"},
                                              std::tuple{error, &message, "error"}}) {
                    if (arg.is_none()) continue;
                    if (!PyUnicode_Check(arg.ptr())) {
                        throw TypeError(std::string(what) + " must be a str or None, not " +
                                        Py_TYPE(arg.ptr())->tp_name);
                    }
                    *out = nb::borrow<nb::str>(arg).c_str();
                }
                h.exclusive([&] {
                    h._report_error(
                        name ? std::optional<std::string_view>(*name) : std::nullopt,
                        message ? std::optional<std::string_view>(*message) : std::nullopt);
                });
            },
            nb::arg("transition_name").none(), nb::arg("error").none(),
            nb::sig("def _report_error(self, transition_name: str | None, error: str | None) "
                    "-> None"));
}

const char* const kDiagnosticsDoc =
    R"(Connection counters, read without parsing the trace: a new dict on every read.

cycles: replies handed to the state machine, that is every set_reply with a new reply
    while running (a repeat of the last reply, or any reply while stopped, is no cycle).
accepted_replies: cycles whose reply passed every check of the state that handled it, so
    that the connection advanced or stayed where it was without an error report
    ("RESET_OK", "SESSION_OK", "SESSION_STAY1", "CONN_OK", "CONNECTION_STAY1", "PARA_OK",
    "PARA_STAY1", "DATA_OK1", "DATA_OK2").
resets: {transition name: count} of the reported transitions that reset the connection:
    fail, watchdog and slave-reset transitions ("DATA_FAIL1", "SESSION_WD", "DATA_RESET1",
    ...). The stays that report an error ("RESET_STAY1", "SESSION_STAY2") and the host's own
    resets (reset, stop, start) are not counted.
last_error: (transition name, message) of the last error reported to the error callback,
    or None.
time_since_last_accepted_reply_s: seconds on the monotonic clock since the last accepted
    reply, or None before the first.
min_reply_interval_s, max_reply_interval_s: the shortest and the longest time in seconds
    between two consecutive accepted replies of one connection (start begins a new one), or
    None before there were two.)";

nb::object optional_number(const std::optional<double>& value) {
    if (!value) return nb::none();
    return nb::float_(*value);
}

nb::dict diagnostics_dict(MasterHandler& h) {
    // Copied under the exclusion; the Python objects are made after it is released.
    const HandlerDiagnostics d = h.diagnostics();
    nb::dict resets;
    for (const auto& [name, count] : d.resets) {
        resets[nb::str(name.c_str(), name.size())] = nb::int_(count);
    }
    nb::dict result;
    result["cycles"] = nb::int_(d.cycles);
    result["accepted_replies"] = nb::int_(d.accepted_replies);
    result["resets"] = resets;
    result["last_error"] =
        d.has_last_error
            ? nb::object(nb::make_tuple(
                  optional_text(d.last_error_transition
                                    ? std::optional<std::string_view>(*d.last_error_transition)
                                    : std::nullopt),
                  optional_text(d.last_error_message
                                    ? std::optional<std::string_view>(*d.last_error_message)
                                    : std::nullopt)))
            : nb::none();
    result["time_since_last_accepted_reply_s"] =
        optional_number(d.time_since_last_accepted_reply_s);
    result["min_reply_interval_s"] = optional_number(d.min_reply_interval_s);
    result["max_reply_interval_s"] = optional_number(d.max_reply_interval_s);
    return result;
}

nb::str handler_repr(nb::handle self) {
    const std::string cls = nb::str(self.type().attr("__name__")).c_str();
    if (!nb::inst_ready(self)) return nb::str(("<" + cls + " (uninitialized)>").c_str());
    MasterHandler& h = handler_of(self.ptr());
    // A handler inherited through fork() refuses its operations, but still shows itself (no
    // other thread of it exists in that process).
    const std::uint16_t connection_id =
        h._watchdog().forked()
            ? u16_value(*h.master().session().connection_id)
            : exclusive_result(h, [&] { return u16_value(*h.master().session().connection_id); });
    const std::string state = nb::str(state_class(h.state()).attr("__name__")).c_str();
    const std::string text = "<" + cls + " state=" + state +
                             " running=" + (h.running() ? "True" : "False") +
                             " connection_id=" + std::to_string(connection_id) + ">";
    return nb::str(text.c_str(), text.size());
}

// The with statement: the handler is stopped and its watchdog thread joined on the way
// out, also when the block raised; that exception is never suppressed.
void bind_handler_context(nb::class_<MasterHandler>& cls) {
    cls.def(
           "__enter__", [](nb::handle self) { return nb::borrow(self); },
           nb::sig("def __enter__(self) -> typing_extensions.Self"))
        .def(
            "__exit__", [](MasterHandler& h, nb::handle, nb::handle, nb::handle) { h.delete_(); },
            nb::arg("exc_type").none(), nb::arg("exc_value").none(), nb::arg("traceback").none(),
            nb::sig("def __exit__(self, exc_type: type[BaseException] | None, exc_value: "
                    "BaseException | None, traceback: types.TracebackType | None) -> None"),
            "Stop the connection and end the watchdog thread (as delete does)")
        .def("__repr__", &handler_repr)
        .def_prop_ro("diagnostics", &diagnostics_dict,
                     nb::for_getter(nb::sig("def diagnostics(self, /) -> dict[str, typing.Any]")),
                     kDiagnosticsDoc)
        .def("reset_diagnostics", &MasterHandler::reset_diagnostics,
             "Zero the connection counters of diagnostics (the time of the last accepted reply "
             "is kept)");
}

}  // namespace

void bind_engine_handler(nb::module_& m) {

    nb::class_<MasterHandler> cls(
        m, "MasterHandler",
        "Handles the connection with a single slave from a master's point of view",
        nb::type_slots(handler_slots));
    cls.def(nb::new_(&make_handler), nb::arg("dictionary").none(), nb::arg("slave_address"),
            nb::arg("connection_id"), nb::arg("watchdog_timeout_s"),
            nb::arg("application_parameters").none() = nb::none(),
            nb::arg("report_error_callback").none() = nb::none(),
            nb::arg("state_change_callback").none() = nb::none(),
            nb::arg("dictionary_map_is_editable") = true, nb::kw_only(),
            nb::arg("history_size") = 64);
    // __new__ builds the core; __init__ (the same arguments, already checked) only refuses to
    // run a second time on a live handler instead of silently doing nothing.
    nb::delattr(cls, "__init__");  // else the new function would become its overload
    nb::setattr(
        cls, "__init__",
        nb::cpp_function(
            [](nb::handle self, nb::args, nb::kwargs) {
                if (!nb::inst_ready(self)) return;
                auto* py = dynamic_cast<PyMasterHandler*>(&handler_of(self.ptr()));
                if (py == nullptr) return;
                // Every construction calls this once (see the type's call below); a second
                // call is a re-initialisation.
                if (py->initialized) {
                    throw RuntimeError(class_name(self) + " is already initialized");
                }
                py->initialized = true;
            },
            nb::scope(cls), nb::name("__init__"), nb::is_method(),
            nb::sig("def __init__(self, dictionary: object | None, slave_address: object, "
                    "connection_id: object, watchdog_timeout_s: object, "
                    "application_parameters: object | None = None, "
                    "report_error_callback: object | None = None, "
                    "state_change_callback: object | None = None, "
                    "dictionary_map_is_editable: object = True, *, history_size: int = 64) "
                    "-> None")));
    // Calling the class goes through type.__call__ (__new__, then __init__ once) on every
    // Python. nanobind 3 (Python 3.10 and later) gives a class with its own __new__ a fast
    // call that skips __init__; nanobind 2 (Python 3.9), type.__call__ itself and Python
    // subclasses (whose fast call nanobind clears) do call it.
    reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_vectorcall = nullptr;
    cls.def_prop_ro("running", &MasterHandler::running)
        .def("start", &MasterHandler::start, "Start the FSoE connection")
        .def("stop", &MasterHandler::stop, "Reset the connection and stop")
        .def("reset", &MasterHandler::reset, "Reset the FSoE Connection");
    add_cycle_methods(cls);  // set_reply, get_request
    cls.def(
           "set_fail_safe",
           [](MasterHandler& h, nb::handle active) { h.set_fail_safe(to_truth(active)); },
           nb::arg("active") = true,
           nb::sig("def set_fail_safe(self, active: bool = True) -> None"),
           "Set if the master is in fail safe mode")
        .def_prop_ro(
            "state", [](const MasterHandler& h) { return state_class(h.state()); },
            nb::for_getter(nb::sig("def state(self, /) -> type[State]")))
        .def_prop_ro("initialization_data_bytes", &MasterHandler::initialization_data_bytes)
        .def("delete", &MasterHandler::delete_, "Stop the watchdog thread")
        .def(
            "set_slave_address",
            [](MasterHandler& h, nb::handle address) {
                h.set_slave_address(to_u16_truncating(address, "slave_address"));
            },
            nb::arg("slave_address"),
            nb::sig("def set_slave_address(self, slave_address: int) -> None"),
            "Set the slave address of the master")
        .def("get_slave_address", &MasterHandler::get_slave_address,
             "Get the slave address of the master")
        .def("history", &MasterHandler::history,
             "The connection history: the last history_size events, oldest first")
        .def_prop_ro("history_size", &MasterHandler::history_size);
    bind_handler_fields(cls);
    bind_handler_internals(cls);
    bind_handler_context(cls);
    refuse_pickling(cls, "MasterHandler");
}

}  // namespace velmora::bindings
