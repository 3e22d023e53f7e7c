#pragma once
// One event of a handler's connection history, as the host reads it: a plain value.
//
// Every event is one engine operation: a reply processed (with the request built from it),
// a watchdog expiry, or a host start, stop, reset or fail-safe switch. Each carries the
// request it built, if it built one, and the first error it reported. For a reply, it also
// carries what the reply was checked against (the reference CRC_0, the expected sequence
// number, the slave's previous CRC_0 and the safe-data size of the input map), so that a
// rejected reply can be explained later from the record alone.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/state_id.hpp"

namespace velmora {

enum class HistoryKind : std::uint8_t {
    Reply = 0,
    Expiry = 1,
    Start = 2,
    Stop = 3,
    Reset = 4,
    FailSafe = 5,
};

inline constexpr std::uint8_t kHistoryKindCount = 6;

// "reply", "expiry", "start", "stop", "reset", "fail_safe".
std::string_view history_kind_name(HistoryKind kind) noexcept;
std::optional<HistoryKind> history_kind_from_name(std::string_view name) noexcept;
std::optional<StateId> state_id_from_class_name(std::string_view name) noexcept;

// Bytes of a frame kept per event: a PDU of 16 bytes of safe data in word form.
inline constexpr std::size_t kHistoryFrameBytes = 36;

struct HistoryEvent {
    std::uint64_t number = 0;  // counts every event of the handler, from 0
    std::int64_t time_ns = 0;  // steady clock
    HistoryKind kind = HistoryKind::Reply;
    StateId state_before = StateId::Reset;
    StateId state_after = StateId::Reset;
    std::optional<std::string> transition;  // of the first error reported, if any
    std::optional<std::string> error;
    bool fail_safe = true;  // whether the master sends fail-safe data after the event
    // The reply (its first kHistoryFrameBytes bytes) and its full length.
    std::optional<std::vector<std::uint8_t>> reply;
    std::uint32_t reply_length = 0;
    // What the reply was checked against.
    std::uint16_t reply_safe_data_bytes = 0;
    std::uint16_t expected_crc0 = 0;
    std::uint16_t expected_sequence_number = 0;
    std::optional<std::uint16_t> previous_crc0;
    // The request built by the event.
    std::optional<std::vector<std::uint8_t>> request;

    bool operator==(const HistoryEvent&) const = default;
};

}  // namespace velmora
