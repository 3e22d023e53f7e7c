// The extension module velmora._core: one binding file per subsystem.
#include <nanobind/nanobind.h>

#include "bindings/errors.hpp"
#include "bindings/python_threads.hpp"
#include "bindings/subsystems.hpp"

namespace nb = nanobind;

NB_MODULE(_core, m) {
    m.doc() = "velmora: the master side of an FSoE connection (compiled core)";
    m.attr("__version__") = VELMORA_VERSION;
    // Objects still alive when the interpreter finalizes (an item held by a host global, a
    // handler the host never deleted) are not leaks of the running program; nanobind would
    // list them on stderr at every exit.
    nb::set_leak_warnings(false);
    velmora::bindings::install_thread_hooks();
    velmora::bindings::bind_errors(m);
    velmora::bindings::bind_protocol(m);
    velmora::bindings::bind_frame(m);
    velmora::bindings::bind_model(m);
    velmora::bindings::bind_dynamic_map(m);
    velmora::bindings::bind_mapping(m);
    velmora::bindings::bind_watchdog(m);
    velmora::bindings::bind_engine(m);
    velmora::bindings::bind_history(m);
    velmora::bindings::bind_pdu_description(m);
    velmora::bindings::bind_history_svg(m);
    velmora::bindings::bind_sim(m);
    velmora::bindings::bind_bench(m);
}
