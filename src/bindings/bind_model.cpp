#include "bindings/subsystems.hpp"

namespace velmora::bindings {

void bind_model(nanobind::module_& /*m*/) {}

}  // namespace velmora::bindings
