#pragma once
// The states of the simulated slave, named as the host sees them.
#include <cstdint>
#include <string_view>

namespace velmora::sim {

enum class SimState : std::uint8_t { RESET, SESSION, CONNECTION, PARAMETER, DATA };

inline constexpr std::size_t kSimStateCount = 5;

constexpr std::string_view sim_state_name(SimState state) noexcept {
    switch (state) {
        case SimState::RESET:
            return "RESET";
        case SimState::SESSION:
            return "SESSION";
        case SimState::CONNECTION:
            return "CONNECTION";
        case SimState::PARAMETER:
            return "PARAMETER";
        case SimState::DATA:
            return "DATA";
    }
    return "";
}

}  // namespace velmora::sim
