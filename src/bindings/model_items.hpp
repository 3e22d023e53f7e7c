#pragma once
// Binding of the dictionary items and the dictionary (called by bind_model).
#include <nanobind/nanobind.h>

namespace velmora::bindings {

void bind_model_items(nanobind::module_& m);

}  // namespace velmora::bindings
