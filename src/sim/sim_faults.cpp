#include "sim/sim_faults.hpp"

namespace velmora::sim {

std::optional<SimFault> fault_from_name(std::string_view name) noexcept {
    for (std::size_t i = 0; i < kFaultCount; ++i) {
        if (kFaultNames[i] == name) return static_cast<SimFault>(i);
    }
    return std::nullopt;
}

void FaultSet::use(SimFault fault) noexcept {
    ArmedFault& s = slot(fault);
    if (!s.armed || s.until_cleared) return;
    if (--s.remaining == 0) s = ArmedFault{};
}

}  // namespace velmora::sim
