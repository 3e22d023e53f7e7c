#pragma once
// Protocol vocabulary: FSoE command codes, error codes and watchdog commands.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

enum class FSOECommand : std::uint16_t {
    PROCESS_DATA = 0x36,
    RESET = 0x2A,
    SESSION = 0x4E,
    CONNECTION = 0x64,
    PARAMETER = 0x52,
    FAILSAFE_DATA = 0x08,
};

// Members in declaration order, for bindings and iteration.
inline constexpr std::array<FSOECommand, 6> kAllCommands = {
    FSOECommand::PROCESS_DATA, FSOECommand::RESET,     FSOECommand::SESSION,
    FSOECommand::CONNECTION,   FSOECommand::PARAMETER, FSOECommand::FAILSAFE_DATA,
};

constexpr bool command_has_value(std::int64_t value) noexcept {
    for (FSOECommand c : kAllCommands) {
        if (static_cast<std::int64_t>(c) == value) return true;
    }
    return false;
}

std::string_view command_name(FSOECommand command) noexcept;

// The fixed FSoE error codes.
enum class BaseError : std::uint16_t {
    RESET = 0,
    INVALID_CMD = 1,
    UNKNOWN_CMD = 2,
    INVALID_CONNID = 3,
    INVALID_CRC = 4,
    WD_EXPIRED = 5,
    INVALID_ADDRESS = 6,
    INVALID_DATA = 7,
    INVALID_COMMPARALEN = 8,
    INVALID_COMPARA = 9,
    INVALID_USERPARALEN = 10,
    INVALID_USERPARA = 11,
};

inline constexpr std::uint16_t kBaseErrorCount = 12;

// Names of the BaseError members, indexed by value.
std::string_view base_error_name(BaseError error) noexcept;

// The complete error-code set: the BaseError codes 0..11 and INVALID_SAFEPARA_128..255.
// Codes are carried as plain integers; these helpers tell membership and names.
constexpr bool fsoe_error_has_value(std::int64_t value) noexcept {
    return (value >= 0 && value < kBaseErrorCount) || (value >= 128 && value <= 255);
}

// The member name of an FSOEError code, or nothing when the code is not a member.
std::optional<std::string> fsoe_error_name(std::int64_t value);

enum class WatchdogCommand : std::uint8_t {
    ACTIVATE = 1,
    DEACTIVATE = 2,
    RESET = 3,
    STOP = 4,
};

}  // namespace velmora
