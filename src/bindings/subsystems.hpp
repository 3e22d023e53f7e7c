#pragma once
// Entry points of the binding files, called in dependency order by module.cpp.
#include <nanobind/nanobind.h>

namespace velmora::bindings {

void bind_protocol(nanobind::module_& m);
void bind_frame(nanobind::module_& m);
void bind_model(nanobind::module_& m);
void bind_dynamic_map(nanobind::module_& m);
void bind_mapping(nanobind::module_& m);
void bind_watchdog(nanobind::module_& m);
void bind_engine(nanobind::module_& m);
void bind_history(nanobind::module_& m);
void bind_pdu_description(nanobind::module_& m);
void bind_history_svg(nanobind::module_& m);
void bind_sim(nanobind::module_& m);
void bind_bench(nanobind::module_& m);

}  // namespace velmora::bindings
