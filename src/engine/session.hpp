#pragma once
// The connection data of one side: seven 16-bit values that the states queue on the
// dynamic maps and transfer piecewise.
#include <cstdint>

#include "mapping/dynamic_map.hpp"

namespace velmora {

class Session {
  public:
    Session(std::uint16_t slave_address, std::uint16_t connection_id, std::uint16_t watchdog_ms);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The error code carried by this side's Reset frames (an FSOEError code, or for a
    // received frame whatever number the peer sent).
    std::uint16_t error() const noexcept {
        return static_cast<std::uint16_t>(error_id->_raw_value());
    }
    void set_error(std::uint16_t code) noexcept { error_id->set_raw_value(code); }

    // Created in this order.
    const DynamicMappableItemPtr slave_address;
    const DynamicMappableItemPtr session_id;
    const DynamicMappableItemPtr error_id;
    const DynamicMappableItemPtr connection_id;
    const DynamicMappableItemPtr comm_parameter_size_bytes;
    const DynamicMappableItemPtr watchdog_ms;
    const DynamicMappableItemPtr app_parameter_size_bytes;
};

// The value of a 16-bit session item.
inline std::uint16_t u16_value(const DynamicMappableItem& item) noexcept {
    return static_cast<std::uint16_t>(item._raw_value());
}

}  // namespace velmora
