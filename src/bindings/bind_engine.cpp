// The connection engine: nodes, sessions, application parameters, states and the handler.
#include "bindings/engine_support.hpp"
#include "bindings/subsystems.hpp"

namespace velmora::bindings {

void bind_engine(nanobind::module_& m) {
    bind_engine_nodes(m);
    bind_engine_states(m);
    bind_engine_handler(m);
}

}  // namespace velmora::bindings
