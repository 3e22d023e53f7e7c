#include "sim/sim_events.hpp"

#include <array>
#include <cmath>
#include <cstdio>

#include "protocol/commands.hpp"

namespace velmora::sim {

namespace {

std::string hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

std::string error_text(std::uint16_t code) {
    if (auto name = fsoe_error_name(code)) return *name;
    return std::to_string(code);
}

std::string check_text(const SimEvent& e) {
    const std::string got = std::to_string(e.value);
    const std::string want = std::to_string(e.expected);
    switch (e.detail) {
        case SimDetail::LENGTH:
            return "request of " + got + " bytes, expected " + want;
        case SimDetail::UNKNOWN_COMMAND:
            return "unknown command " + hex(e.value, 2);
        case SimDetail::UNEXPECTED_COMMAND:
            return "unexpected command " + command_text(static_cast<std::uint16_t>(e.value)) +
                   " in state " + std::string(sim_state_name(e.from));
        case SimDetail::CONNECTION_ID_FIELD:
            return "connection id " + got + " in the frame, expected " + want;
        case SimDetail::CRC:
            return "CRC mismatch (expected sequence number " + want + ")";
        case SimDetail::CONNECTION_ID_DATA:
            return "connection id " + got + " in the connection data, expected " + want;
        case SimDetail::ADDRESS:
            return "slave address " + got + ", expected " + want;
        case SimDetail::COMM_PARA_LENGTH:
            return "communication parameter length " + got + ", expected " + want;
        case SimDetail::WATCHDOG_TIME:
            return "watchdog time " + got + " ms, expected " + want + " ms";
        case SimDetail::USER_PARA_LENGTH:
            return "application parameter length " + got + ", expected " + want;
        case SimDetail::USER_PARA:
            return "application parameter byte " + std::to_string(e.index) + " is " +
                   hex(e.value, 2) + ", expected " + hex(e.expected, 2);
        case SimDetail::PADDING:
            return "safe data byte " + std::to_string(e.index) + " is " + hex(e.value, 2) +
                   ", expected 0x00 beyond the setup data";
        case SimDetail::NONE:
        case SimDetail::EMPTY:
        case SimDetail::SILENT:
            break;
    }
    return {};
}

std::string fault_text(const SimEvent& e) {
    std::string text = "fault " + std::string(fault_name(e.fault));
    switch (e.fault) {
        case SimFault::RESET:
            return text + ": Reset frame with error " + error_text(e.code);
        case SimFault::UNKNOWN_COMMAND:
        case SimFault::WRONG_COMMAND:
        case SimFault::FAILSAFE_DATA:
            return text + ": sent command " + command_text(static_cast<std::uint16_t>(e.value));
        case SimFault::WRONG_CONNECTION_ID:
            return text + ": sent connection id " + std::to_string(e.value);
        case SimFault::WRONG_ADDRESS:
        case SimFault::WRONG_WATCHDOG:
        case SimFault::WRONG_PARAMETER:
            return text + ": echo of the value differs from the one received";
        case SimFault::CORRUPT_CRC:
            return text + ": CRCs inverted";
        case SimFault::SILENT:
            break;
    }
    return text;
}

}  // namespace

std::string_view event_kind_name(SimEventKind kind) noexcept {
    static constexpr std::array<std::string_view, kSimEventKindCount> kNames = {
        "frame",        "repeat",   "ignored", "state",      "error",
        "master_reset", "watchdog", "fault",   "host_reset", "failsafe_not_zero",
    };
    return kNames[static_cast<std::size_t>(kind)];
}

std::uint16_t detail_error_code(SimDetail detail) noexcept {
    BaseError code = BaseError::INVALID_DATA;
    switch (detail) {
        case SimDetail::UNKNOWN_COMMAND:
            code = BaseError::UNKNOWN_CMD;
            break;
        case SimDetail::UNEXPECTED_COMMAND:
            code = BaseError::INVALID_CMD;
            break;
        case SimDetail::CONNECTION_ID_FIELD:
        case SimDetail::CONNECTION_ID_DATA:
            code = BaseError::INVALID_CONNID;
            break;
        case SimDetail::CRC:
            code = BaseError::INVALID_CRC;
            break;
        case SimDetail::ADDRESS:
            code = BaseError::INVALID_ADDRESS;
            break;
        case SimDetail::COMM_PARA_LENGTH:
            code = BaseError::INVALID_COMMPARALEN;
            break;
        case SimDetail::WATCHDOG_TIME:
            code = BaseError::INVALID_COMPARA;
            break;
        case SimDetail::USER_PARA_LENGTH:
            code = BaseError::INVALID_USERPARALEN;
            break;
        case SimDetail::USER_PARA:
            code = BaseError::INVALID_USERPARA;
            break;
        case SimDetail::NONE:
        case SimDetail::LENGTH:
        case SimDetail::PADDING:
        case SimDetail::EMPTY:
        case SimDetail::SILENT:
            break;
    }
    return static_cast<std::uint16_t>(code);
}

bool event_has_code(const SimEvent& event) noexcept {
    switch (event.kind) {
        case SimEventKind::ERROR:
        case SimEventKind::MASTER_RESET:
        case SimEventKind::WATCHDOG:
        case SimEventKind::HOST_RESET:
            return true;
        case SimEventKind::FAULT:
            return event.fault == SimFault::RESET;
        default:
            return false;
    }
}

std::string command_text(std::uint16_t command) {
    if (command_has_value(command)) {
        return std::string(command_name(static_cast<FSOECommand>(command)));
    }
    return hex(command, 2);
}

std::string describe(const SimEvent& e) {
    switch (e.kind) {
        case SimEventKind::FRAME: {
            std::string text = "received " + command_text(e.command);
            if (e.reply != kNoCommand) text += ", replied " + command_text(e.reply);
            return text;
        }
        case SimEventKind::REPEAT:
            return "repeated request: the current reply again";
        case SimEventKind::IGNORED:
            return e.detail == SimDetail::SILENT ? "request ignored: the slave is silent"
                                                 : "empty request ignored";
        case SimEventKind::STATE:
            return "state " + std::string(sim_state_name(e.from)) + " -> " +
                   std::string(sim_state_name(e.state));
        case SimEventKind::ERROR:
            return error_text(e.code) + ": " + check_text(e);
        case SimEventKind::MASTER_RESET:
            return "reset by the master (error " + error_text(e.code) + ")";
        case SimEventKind::WATCHDOG:
            return "WD_EXPIRED: no new frame for " + std::to_string(e.value) + " ms (watchdog " +
                   std::to_string(e.expected) + " ms)";
        case SimEventKind::FAULT:
            return fault_text(e);
        case SimEventKind::HOST_RESET:
            return "reset by the host (error " + error_text(e.code) + ")";
        case SimEventKind::FAILSAFE_NOT_ZERO:
            return "fail-safe data not zero: byte " + std::to_string(e.index) + " is " +
                   std::to_string(e.value) + " (outputs not used)";
    }
    return {};
}

EventLog::EventLog(std::size_t capacity) : ring_(capacity) {}

SimEvent& EventLog::push(SimEventKind kind, double time_ms, SimState state) noexcept {
    SimEvent* slot = &scratch_;
    if (!ring_.empty()) {
        if (size_ < ring_.size()) {
            slot = &ring_[(head_ + size_) % ring_.size()];
            ++size_;
        } else {
            slot = &ring_[head_];
            head_ = (head_ + 1) % ring_.size();
        }
    }
    *slot = SimEvent{};
    slot->number = next_number_++;
    slot->time_ms = time_ms;
    slot->kind = kind;
    slot->state = state;
    slot->from = state;
    return *slot;
}

SimEvent* EventLog::find(std::uint64_t number) noexcept {
    if (size_ == 0) return nullptr;
    const std::uint64_t oldest = next_number_ - size_;
    if (number < oldest || number >= next_number_) return nullptr;
    return &ring_[(head_ + (number - oldest)) % ring_.size()];
}

const SimEvent& EventLog::operator[](std::size_t i) const noexcept {
    return ring_[(head_ + i) % ring_.size()];
}

}  // namespace velmora::sim
