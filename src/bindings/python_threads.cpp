#include "bindings/python_threads.hpp"

#include <atomic>
#include <exception>
#include <string_view>
#include <thread>

#include "engine/blocking_wait.hpp"
#include "engine/watchdog.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

// The gate: the calls in progress, and whether exit began. Both sequentially consistent: a
// caller counts itself before it looks at the flag, the exit hook sets the flag before it
// looks at the count, so one of them always sees the other.
std::atomic<long> g_calls_in_progress{0};
std::atomic<bool> g_exiting{false};
// The thread that runs the exit hook and then finalizes: it alone may still give the GIL up
// (Python never ends it), and must, so that the threads it joins can finish.
std::atomic<std::thread::id> g_exit_thread{};

bool enter_gate() noexcept {
    g_calls_in_progress.fetch_add(1);
    if (!g_exiting.load()) return true;
    if (g_calls_in_progress.fetch_sub(1) == 1) g_calls_in_progress.notify_all();
    return false;
}

void leave_gate() noexcept {
    if (g_calls_in_progress.fetch_sub(1) == 1) g_calls_in_progress.notify_all();
}

// The exception object of a Python error. nanobind 2 (the one for Python 3.9) on Python
// before 3.12 keeps the error unnormalized until what() is called: its value can be the bare
// message or None rather than the exception. what() normalizes it and attaches the traceback.
nb::object exception_object(const nb::python_error& e) {
    (void)e.what();
    return nb::borrow(e.value());
}

// The Python exception behind a crash: the callback's own one, or a core error translated
// by the registered translators.
nb::object python_exception(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const nb::python_error& e) {
        return exception_object(e);
    } catch (...) {
    }
    try {
        nb::object raise = nb::cpp_function([error]() { std::rethrow_exception(error); });
        raise();
    } catch (const nb::python_error& e) {
        return exception_object(e);
    }
    return nb::none();
}

// The engine's error log: the "velmora" logger at error level, with the exception when
// there is one.
void python_log_sink(std::string_view message, std::exception_ptr error) {
    PythonCall call;
    if (!call) return;
    nb::gil_scoped_acquire gil;
    nb::error_scope keep_pending_error;
    try {
        nb::object logger = nb::module_::import_("logging").attr("getLogger")("velmora");
        nb::str text(message.data(), message.size());
        if (!error) {
            logger.attr("error")(text);
            return;
        }
        nb::object exc = python_exception(error);
        // Looked up before make_tuple: its argument casts are noexcept, so an attribute error
        // raised inside one would terminate the process instead of reaching the catch below.
        nb::object traceback = nb::getattr(exc, "__traceback__", nb::none());
        nb::object info = exc.is_none() ? nb::object(nb::bool_(true))
                                        : nb::object(nb::make_tuple(exc.type(), exc, traceback));
        logger.attr("error")(text, nb::arg("exc_info") = info);
    } catch (nb::python_error& e) {
        e.discard_as_unraisable("velmora logging");
    } catch (...) {
    }
}

// Waits release the GIL: the thread waited for (the watchdog, or a handler's holder) may
// need it for a Python call before it can let the waiter go on. Explicit calls, not a
// scoped guard: nothing between giving the GIL up and taking it back may be noexcept. Once
// exit began, no thread but the exiting one gives it up (see the gate): the threads waited
// for call no Python code any more, so waiting with the GIL is safe then.
void release_gil_while(void (*wait)(void*), void* context) {
    if (!PyGILState_Check()) return wait(context);
    const bool exit_thread = g_exit_thread.load() == std::this_thread::get_id();
    PythonCall call;
    if (!call && !exit_thread) return wait(context);
    PyThreadState* state = PyEval_SaveThread();
    wait(context);
    PyEval_RestoreThread(state);
}

}  // namespace

PythonCall::PythonCall() noexcept : entered_(enter_gate()) {}

PythonCall::~PythonCall() {
    if (entered_) leave_gate();
}

void close_python_gate() noexcept {
    g_exit_thread.store(std::this_thread::get_id());
    g_exiting.store(true);
    if (g_calls_in_progress.load() == 0) return;
    PyThreadState* state = PyEval_SaveThread();
    for (long calls = g_calls_in_progress.load(); calls != 0; calls = g_calls_in_progress.load()) {
        g_calls_in_progress.wait(calls);
    }
    PyEval_RestoreThread(state);
}

void install_thread_hooks() {
    set_wait_hook(&release_gil_while);
    Watchdog::set_log_sink(&python_log_sink);
}

}  // namespace velmora::bindings
