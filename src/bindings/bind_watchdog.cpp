#include "bindings/subsystems.hpp"

namespace velmora::bindings {

void bind_watchdog(nanobind::module_& /*m*/) {}

}  // namespace velmora::bindings
