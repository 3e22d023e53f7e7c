// velmora.history_to_svg(): the connection history as an SVG timeline.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/subsystems.hpp"
#include "history/history_event.hpp"
#include "history/history_svg.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace velmora::bindings {

void bind_history_svg(nb::module_& m) {
    m.def("history_to_svg", &history_to_svg, "events"_a,
          "The events as an SVG timeline: time left to right from the earliest event, the\n"
          "state in five lanes (Data on top), a marker per event with its details as a\n"
          "tooltip, errors in red labelled with their transition, host operations and\n"
          "watchdog expiries as vertical lines, and a row of replies where unusually long\n"
          "gaps show their length. An empty list gives a picture saying \"No events\".");
}

}  // namespace velmora::bindings
