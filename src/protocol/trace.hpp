#pragma once
// Diagnostic trace of transitions and CRC work. Off unless the environment variable
// VELMORA_LOGGING held a non-empty value when the library was loaded; when off every call
// costs one test of a boolean and builds no text.
#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>

namespace velmora::trace {

namespace detail {
extern std::atomic<bool> g_enabled;
}

// The switch, fixed at load time. Inline: the cycle tests it before it gathers what a line
// would show, and a call into the trace code would be lines of code to fetch when cold.
inline bool enabled() noexcept {
    return detail::g_enabled.load(std::memory_order_relaxed);
}

// Where the lines go. The default sink writes to the process's standard output; the Python
// binding points it at sys.stdout. Each call receives one line without its newline.
using Sink = void (*)(std::string_view line);
void set_sink(Sink sink) noexcept;

// For tests of the core: force the switch (the library itself never calls this).
void set_enabled_for_testing(bool on) noexcept;

void log_transition(std::string_view name);

// The fields of a frame that the CRC lines show.
struct FrameFields {
    std::uint16_t command;
    std::uint16_t sequence_number;
    std::uint16_t connection_id;
    std::uint16_t crc0;
    const std::uint16_t* crcs;  // 8 words
};

void log_generate_crc(const FrameFields& frame);
// calc_crc: the 8 CRCs the check calculated.
void log_check_crc(const std::uint16_t* calc_crc, const FrameFields& frame, bool result);
// The same with a list of any length (a host may hand fewer or more than 8 values).
void log_check_crc(std::span<const std::uint16_t> calc_crc, const FrameFields& frame, bool result);

}  // namespace velmora::trace
