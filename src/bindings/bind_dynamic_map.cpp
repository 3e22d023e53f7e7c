#include "bindings/subsystems.hpp"

namespace velmora::bindings {

void bind_dynamic_map(nanobind::module_& /*m*/) {}

}  // namespace velmora::bindings
