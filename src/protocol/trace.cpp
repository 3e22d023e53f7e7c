#include "protocol/trace.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace velmora::trace {
namespace {

bool read_switch() {
    const char* value = std::getenv("VELMORA_LOGGING");
    return value != nullptr && value[0] != '\0';
}

void stdout_sink(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

std::atomic<Sink> g_sink{&stdout_sink};

void emit(std::string_view line) {
    g_sink.load(std::memory_order_acquire)(line);
}

std::string hex_line(std::string_view label, unsigned value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%x", value);
    std::string line(label);
    line += buffer;
    return line;
}

std::string crc_list(std::string_view label, std::span<const std::uint16_t> values) {
    std::string line(label);
    char buffer[8];
    for (std::uint16_t value : values) {
        std::snprintf(buffer, sizeof buffer, "%04X ", static_cast<unsigned>(value));
        line += buffer;
    }
    return line;
}

void control_lines(const FrameFields& frame) {
    emit(hex_line("Reference CRC0:    0x", frame.crc0));
    emit(hex_line("Connection ID:     0x", frame.connection_id));
    emit(hex_line("Sequence number:   0x", frame.sequence_number));
    // The raw command value: a frame with an unknown command byte is traced as it is.
    emit(hex_line("Command:           0x", frame.command));
}

}  // namespace

namespace detail {
std::atomic<bool> g_enabled{read_switch()};
}  // namespace detail

void set_sink(Sink sink) noexcept {
    g_sink.store(sink ? sink : &stdout_sink);
}

void set_enabled_for_testing(bool on) noexcept {
    detail::g_enabled.store(on);
}

void log_transition(std::string_view name) {
    if (!enabled()) return;
    std::string line("MASTER | TRANSITION | ");
    line += name;
    emit(line);
}

void log_generate_crc(const FrameFields& frame) {
    if (!enabled()) return;
    emit("MASTER | CRC | Generating");
    emit(hex_line("Calculated CRC[0]: 0x", frame.crcs[0]));
    control_lines(frame);
}

void log_check_crc(const std::uint16_t* calc_crc, const FrameFields& frame, bool result) {
    if (!enabled()) return;
    log_check_crc(std::span<const std::uint16_t>(calc_crc, 8), frame, result);
}

void log_check_crc(std::span<const std::uint16_t> calc_crc, const FrameFields& frame, bool result) {
    if (!enabled()) return;
    emit("MASTER | CRC | Check");
    emit(crc_list("Calculated CRCs:   ", calc_crc));
    emit(crc_list("Received CRCs:     ", std::span<const std::uint16_t>(frame.crcs, 8)));
    control_lines(frame);
    emit(result ? "VALID" : "INVALID!");
}

}  // namespace velmora::trace
