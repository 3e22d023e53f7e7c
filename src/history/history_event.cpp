#include "history/history_event.hpp"

#include <array>

namespace velmora {
namespace {

constexpr std::array<std::string_view, kHistoryKindCount> kKindNames = {
    "reply", "expiry", "start", "stop", "reset", "fail_safe"};

}  // namespace

std::string_view history_kind_name(HistoryKind kind) noexcept {
    const auto index = static_cast<std::size_t>(kind);
    return index < kKindNames.size() ? kKindNames[index] : std::string_view("unknown");
}

std::optional<HistoryKind> history_kind_from_name(std::string_view name) noexcept {
    for (std::size_t i = 0; i < kKindNames.size(); ++i) {
        if (kKindNames[i] == name) return static_cast<HistoryKind>(i);
    }
    return std::nullopt;
}

std::optional<StateId> state_id_from_class_name(std::string_view name) noexcept {
    for (std::uint8_t i = 0; i < kStateCount; ++i) {
        const auto id = static_cast<StateId>(i);
        if (state_class_name(id) == name) return id;
    }
    return std::nullopt;
}

}  // namespace velmora
