#include "bindings/subsystems.hpp"

namespace velmora::bindings {

void bind_mapping(nanobind::module_& /*m*/) {}

}  // namespace velmora::bindings
