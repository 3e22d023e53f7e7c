#pragma once
// The five states of the master's state machine, by their class constant `id`.
#include <cstdint>
#include <string_view>

namespace velmora {

enum class StateId : std::uint8_t {
    Reset = 0,
    Session = 1,
    Connection = 2,
    Parameter = 3,
    Data = 4,
};

inline constexpr std::uint8_t kStateCount = 5;

constexpr std::string_view state_class_name(StateId id) noexcept {
    switch (id) {
        case StateId::Reset:
            return "StateReset";
        case StateId::Session:
            return "StateSession";
        case StateId::Connection:
            return "StateConnection";
        case StateId::Parameter:
            return "StateParameter";
        case StateId::Data:
            return "StateData";
    }
    return "State";
}

}  // namespace velmora
