#pragma once
// Faults that the simulated slave can be told to commit, for testing how a master reacts.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velmora::sim {

enum class SimFault : std::uint8_t {
    CORRUPT_CRC,          // the next reply's block CRCs are inverted
    WRONG_CONNECTION_ID,  // the next reply carries another connection id (CRCs match it)
    RESET,                // the slave resets the connection at the next request, with an error
    UNKNOWN_COMMAND,      // the next reply carries a command byte that is no FSoE command
    WRONG_COMMAND,        // the next reply carries a valid command the master does not expect
    WRONG_ADDRESS,        // the echo of the slave address is wrong in the next connection setup
    WRONG_WATCHDOG,       // the echo of the watchdog time is wrong in the next parameter setup
    WRONG_PARAMETER,      // the echo of an application parameter byte is wrong
    SILENT,               // the slave stops answering: its last reply stays on the bus
    FAILSAFE_DATA,        // the next Data-state reply is FAILSAFE_DATA instead of PROCESS_DATA
};

inline constexpr std::size_t kFaultCount = 10;

// Names in declaration order; these are the names the host uses.
inline constexpr std::array<std::string_view, kFaultCount> kFaultNames = {
    "corrupt_crc",   "wrong_connection_id", "reset",           "unknown_command", "wrong_command",
    "wrong_address", "wrong_watchdog",      "wrong_parameter", "silent",          "failsafe_data",
};

constexpr std::string_view fault_name(SimFault fault) noexcept {
    return kFaultNames[static_cast<std::size_t>(fault)];
}

std::optional<SimFault> fault_from_name(std::string_view name) noexcept;

// How a fault is injected, before validation.
struct FaultOptions {
    // `count` is the number of uses: kDefaultCount takes the fault's default (one use, or
    // until cleared for SILENT), kUntilCleared keeps the fault until it is cleared.
    static constexpr std::int64_t kDefaultCount = -1;
    static constexpr std::int64_t kUntilCleared = 0;
    std::int64_t count = kDefaultCount;
    // RESET: the error code; UNKNOWN_COMMAND, WRONG_COMMAND: the command byte;
    // WRONG_CONNECTION_ID: the connection id; WRONG_ADDRESS, WRONG_WATCHDOG, WRONG_PARAMETER:
    // the value echoed instead of the received one.
    std::optional<std::int64_t> value;
    // WRONG_PARAMETER: the application parameter byte whose echo is wrong.
    std::optional<std::int64_t> index;
};

// One armed fault, validated.
struct ArmedFault {
    bool armed = false;
    bool until_cleared = false;
    std::uint32_t remaining = 0;
    bool has_value = false;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
};

// One slot per fault: injecting a fault again replaces its settings.
class FaultSet {
  public:
    void arm(SimFault fault, const ArmedFault& settings) noexcept { slot(fault) = settings; }
    bool armed(SimFault fault) const noexcept { return slot(fault).armed; }
    const ArmedFault& get(SimFault fault) const noexcept { return slot(fault); }
    // Spends one use; the fault disarms when none is left.
    void use(SimFault fault) noexcept;
    void clear(SimFault fault) noexcept { slot(fault) = ArmedFault{}; }
    void clear() noexcept { slots_.fill(ArmedFault{}); }

  private:
    ArmedFault& slot(SimFault f) noexcept { return slots_[static_cast<std::size_t>(f)]; }
    const ArmedFault& slot(SimFault f) const noexcept {
        return slots_[static_cast<std::size_t>(f)];
    }
    std::array<ArmedFault, kFaultCount> slots_{};
};

}  // namespace velmora::sim
