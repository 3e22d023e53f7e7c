#include "protocol/commands.hpp"

namespace velmora {

std::string_view command_name(FSOECommand command) noexcept {
    switch (command) {
        case FSOECommand::PROCESS_DATA:
            return "PROCESS_DATA";
        case FSOECommand::RESET:
            return "RESET";
        case FSOECommand::SESSION:
            return "SESSION";
        case FSOECommand::CONNECTION:
            return "CONNECTION";
        case FSOECommand::PARAMETER:
            return "PARAMETER";
        case FSOECommand::FAILSAFE_DATA:
            return "FAILSAFE_DATA";
    }
    return "";
}

std::string_view base_error_name(BaseError error) noexcept {
    static constexpr std::string_view kNames[kBaseErrorCount] = {
        "RESET",           "INVALID_CMD",         "UNKNOWN_CMD",
        "INVALID_CONNID",  "INVALID_CRC",         "WD_EXPIRED",
        "INVALID_ADDRESS", "INVALID_DATA",        "INVALID_COMMPARALEN",
        "INVALID_COMPARA", "INVALID_USERPARALEN", "INVALID_USERPARA",
    };
    auto index = static_cast<std::uint16_t>(error);
    return index < kBaseErrorCount ? kNames[index] : std::string_view{};
}

std::optional<std::string> fsoe_error_name(std::int64_t value) {
    if (!fsoe_error_has_value(value)) return std::nullopt;
    if (value < kBaseErrorCount) {
        return std::string(base_error_name(static_cast<BaseError>(value)));
    }
    return "INVALID_SAFEPARA_" + std::to_string(value);
}

}  // namespace velmora
