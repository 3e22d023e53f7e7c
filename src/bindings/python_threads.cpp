#include "bindings/python_threads.hpp"

#include <exception>
#include <string_view>

#include "engine/blocking_wait.hpp"
#include "engine/watchdog.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

// The Python exception behind a crash: the callback's own one, or a core error translated
// by the registered translators.
nb::object python_exception(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const nb::python_error& e) {
        return nb::borrow(e.value());
    } catch (...) {
    }
    try {
        nb::object raise = nb::cpp_function([error]() { std::rethrow_exception(error); });
        raise();
    } catch (const nb::python_error& e) {
        return nb::borrow(e.value());
    }
    return nb::none();
}

// The engine's error log: the "velmora" logger at error level, with the exception when
// there is one.
void python_log_sink(std::string_view message, std::exception_ptr error) {
    if (interpreter_finalizing()) return;
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
        nb::object info =
            exc.is_none() ? nb::object(nb::bool_(true))
                          : nb::object(nb::make_tuple(exc.type(), exc, exc.attr("__traceback__")));
        logger.attr("error")(text, nb::arg("exc_info") = info);
    } catch (nb::python_error& e) {
        e.discard_as_unraisable("velmora logging");
    } catch (...) {
    }
}

// Waits release the GIL: the thread waited for (the watchdog, or a handler's holder) may
// need it for a Python call before it can let the waiter go on.
void release_gil_while(void (*wait)(void*), void* context) {
    if (!interpreter_finalizing() && PyGILState_Check()) {
        nb::gil_scoped_release release;
        wait(context);
    } else {
        wait(context);
    }
}

}  // namespace

void install_thread_hooks() {
    set_wait_hook(&release_gil_while);
    Watchdog::set_log_sink(&python_log_sink);
}

}  // namespace velmora::bindings
