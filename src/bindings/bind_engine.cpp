#include "bindings/subsystems.hpp"

namespace velmora::bindings {

void bind_engine(nanobind::module_& /*m*/) {}

}  // namespace velmora::bindings
