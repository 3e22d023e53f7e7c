// The watchdog from Python: a Python callback runs on the watchdog thread with the GIL
// taken only around the call; every wait of a blocking command releases the GIL; the three
// error messages go to the "velmora" logger; every watchdog thread is stopped and joined
// before the interpreter finalizes.
#include <nanobind/nanobind.h>

#include <memory>
#include <string>

#include "bindings/convert.hpp"
#include "bindings/model_pickle.hpp"
#include "bindings/pickling.hpp"
#include "bindings/python_threads.hpp"
#include "bindings/subsystems.hpp"
#include "engine/watchdog.hpp"
#include "protocol/errors.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

// A Python callable that C++ may call and drop on any thread; a callable that the garbage
// collector cleared does nothing.
class PythonCallable {
  public:
    explicit PythonCallable(nb::handle fn) : fn_(fn) {}

    void operator()() const {
        // Never once the interpreter is exiting (see PythonCall).
        PythonCall call;
        if (!call) return;
        nb::gil_scoped_acquire gil;
        if (fn_.get() == nullptr) return;
        nb::object fn = nb::borrow(fn_.get());  // survives a clear during the call
        PyObject* result = PyObject_CallNoArgs(fn.ptr());
        if (result == nullptr) throw nb::python_error();
        Py_DECREF(result);
    }

    // Both with the GIL held.
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(fn_.get());
        return 0;
    }
    void clear() noexcept { fn_.reset(); }

  private:
    PyReference fn_;
};

// The callback type of a watchdog built from Python.
struct PythonCallback {
    std::shared_ptr<PythonCallable> fn;
    void operator()() const { (*fn)(); }
};

PythonCallable* python_callable(PyObject* self) {
    // Only an instance built from Python owns its callback (not one the engine exposes).
    auto [ready, destruct] = nb::inst_state(self);
    if (!ready || !destruct) return nullptr;
    auto* callback = nb::inst_ptr<Watchdog>(self)->callback().target<PythonCallback>();
    return callback != nullptr ? callback->fn.get() : nullptr;
}

int watchdog_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (PythonCallable* fn = python_callable(self)) return fn->traverse(visit, arg);
    return 0;
}

int watchdog_clear(PyObject* self) {
    if (PythonCallable* fn = python_callable(self)) fn->clear();
    return 0;
}

// A garbage watchdog's thread ends before the collector clears anything: a thread that has
// already taken its callback may still call it, and must never call one that was cleared.
void watchdog_finalize(PyObject* self) {
    if (python_callable(self) == nullptr) return;
    nb::error_scope keep_current_error;
    Watchdog& watchdog = *nb::inst_ptr<Watchdog>(self);
    try {
        if (watchdog.is_alive()) watchdog.stop();
        watchdog.join();
    } catch (...) {
        // Ended meanwhile.
    }
}

PyType_Slot watchdog_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(&watchdog_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&watchdog_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(&watchdog_finalize)},
    {0, nullptr},
};

double to_seconds(nb::handle value) {
    PyObject* o = value.ptr();
    PyNumberMethods* number = Py_TYPE(o)->tp_as_number;
    bool real = PyFloat_Check(o) || PyLong_Check(o) ||
                (number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr));
    if (!real) {
        throw TypeError(std::string("timeout_s must be a real number, not ") + Py_TYPE(o)->tp_name);
    }
    double seconds = PyFloat_AsDouble(o);
    if (seconds == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return seconds;
}

}  // namespace

void bind_watchdog(nb::module_& m) {
    nb::class_<Watchdog> cls(m, "Watchdog", "FSoE Watchdog", nb::type_slots(watchdog_slots));
    cls.def(
        "__init__",
        [](nb::handle self, nb::handle timeout_s, nb::handle callback) {
            init_in_place<Watchdog>(self, [&] {
                const double seconds = to_seconds(timeout_s);
                if (!PyCallable_Check(callback.ptr())) {
                    throw TypeError(std::string("callback must be callable, not ") +
                                    Py_TYPE(callback.ptr())->tp_name);
                }
                return Watchdog(seconds,
                                PythonCallback{std::make_shared<PythonCallable>(callback)});
            });
        },
        nb::arg("timeout_s"), nb::arg("callback").none());
    cls.def("start", &Watchdog::start,
            "Start the watchdog thread, which runs the watchdog process");
    cls.def(
        "run",
        [](Watchdog&) {
            throw RuntimeError("The watchdog process runs on its own thread: call start()");
        },
        "Watchdog process");
    cls.def("is_alive", &Watchdog::is_alive, "Whether the watchdog thread runs");
    cls.def("activate", &Watchdog::activate,
            "Activate the watchdog. If the reset is not called within less than timeout "
            "parameter, a timeout will occur");
    cls.def("deactivate", &Watchdog::deactivate,
            "Deactivate the watchdog. Resets are no longer required");
    cls.def("reset", &Watchdog::reset, "Reset the watchdog to prevent a timeout");
    cls.def("activate_and_reset", &Watchdog::activate_and_reset,
            "Activate the watchdog if not already active and reset the watchdog to prevent a "
            "timeout");
    cls.def("stop", &Watchdog::stop, "Stop the watchdog module");
    cls.def("join", &Watchdog::join, "Wait until the watchdog thread has ended");
    cls.def(
        "_process_blocking_command",
        [](Watchdog& self, nb::handle command) {
            // Any value, bypassing the state checks: reaches the thread's error handling.
            WatchdogCommand value{};
            if (!nb::try_cast(command, value)) {
                std::int64_t raw = to_int64(command, "command");
                if (raw < 0 || raw > 255) throw OverflowError("watchdog command out of range");
                value = static_cast<WatchdogCommand>(raw);
            }
            self.send_blocking_command(value);
        },
        nb::arg("command"), "Helper to send a blocking command and wait for completion.");
    cls.def_prop_ro("active", &Watchdog::active, "Indicates if the watchdog is active");
    refuse_pickling(cls, "Watchdog");

    // Python does not wait for C++ threads at exit, and one asking for the GIL during
    // finalization would hang: close the gate to Python calls from C++, then stop and join
    // them all, before finalization.
    nb::module_::import_("atexit").attr("register")(nb::cpp_function([] {
        close_python_gate();
        nb::gil_scoped_release release;
        Watchdog::stop_all();
    }));
}

}  // namespace velmora::bindings
