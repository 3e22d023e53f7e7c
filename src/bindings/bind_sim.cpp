#include "bindings/subsystems.hpp"

namespace velmora::bindings {

void bind_sim(nanobind::module_& /*m*/) {}

}  // namespace velmora::bindings
