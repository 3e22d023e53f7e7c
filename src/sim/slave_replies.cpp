// The slave's replies: setup-data echoes, Reset frames, CRCs and sequence numbers, and the
// faults that change a reply.
#include <cstring>

#include "sim/sim_crc.hpp"
#include "sim/slave_simulator.hpp"

namespace velmora::sim {

namespace {

// A valid command that the master does not expect in reply to the one the slave would send.
std::uint16_t default_wrong_command(std::uint16_t command) noexcept {
    FSOECommand wrong = FSOECommand::SESSION;
    switch (static_cast<FSOECommand>(command)) {
        case FSOECommand::SESSION:
            wrong = FSOECommand::CONNECTION;
            break;
        case FSOECommand::CONNECTION:
            wrong = FSOECommand::PARAMETER;
            break;
        case FSOECommand::PARAMETER:
            wrong = FSOECommand::PROCESS_DATA;
            break;
        case FSOECommand::RESET:
        case FSOECommand::PROCESS_DATA:
        case FSOECommand::FAILSAFE_DATA:
            break;
    }
    return static_cast<std::uint16_t>(wrong);
}
}  // namespace

std::size_t SlaveSimulator::echo_item(const EchoOverride& o) const noexcept {
    if (o.fault != SimFault::WRONG_PARAMETER) return 1;
    const std::uint16_t index = o.active ? o.index : faults_.get(o.fault).index;
    return kParameterHeaderItems + index;
}

void SlaveSimulator::send_echo() {
    transfer_.echo_received();
    for (const EchoOverride& o : echo_overrides_) {
        if (o.phase != transfer_.phase()) continue;
        if (!o.active && !faults_.armed(o.fault)) continue;
        const ArmedFault& fault = faults_.get(o.fault);
        const bool has_value = o.active ? o.has_value : fault.has_value;
        const std::uint16_t value = o.active ? o.value : fault.value;
        const std::size_t item = echo_item(o);
        const std::uint32_t mask = SetupTransfer::item_bytes(item) == 2 ? 0xFFFF : 0xFF;
        transfer_.set_echo(item, has_value ? value : (transfer_.received(item) ^ mask));
    }
    const SetupTransfer::Piece piece = transfer_.send(tx_, init_bytes_);
    // An echo fault is spent by the first reply that carries a byte of its item; the item
    // stays wrong for the rest of that setup.
    for (EchoOverride& o : echo_overrides_) {
        if (o.phase != transfer_.phase() || o.active || !faults_.armed(o.fault)) continue;
        const std::size_t item = echo_item(o);
        const std::uint32_t start = SetupTransfer::item_offset(item);
        const std::uint32_t end = start + SetupTransfer::item_bytes(item);
        if (piece.first_byte >= end || start >= piece.end_byte) continue;
        const ArmedFault fault = faults_.get(o.fault);
        o.active = true;
        o.has_value = fault.has_value;
        o.value = fault.value;
        o.index = fault.index;
        faults_.use(o.fault);
        log_fault(o.fault, transfer_.received(item));
    }
}
void SlaveSimulator::send_reset(bool apply_faults) {
    // Each Reset frame carries the error code from its first byte on.
    transfer_.begin(SetupPhase::RESET, error_code_);
    transfer_.send(tx_, init_bytes_);
    finish_reply(FSOECommand::RESET, 0, true, apply_faults);
}

void SlaveSimulator::finish_reply(FSOECommand command, std::uint16_t connection_id,
                                  bool reset_frame, bool apply_faults) {
    auto cmd = static_cast<std::uint16_t>(command);
    if (apply_faults) apply_reply_faults(cmd, connection_id);
    FSOE_SFrameControl& control = tx_.record().sControl;
    control.u16Command = cmd;
    control.u16ConnectionId = connection_id;
    if (reset_frame) {
        // Like the master's Reset frames: sequence number 1, reference CRC_0 0, plain CRCs.
        control.u16SequenceNum = 1;
        control.u16Crc0 = 0;
        generate_crcs(tx_, std::nullopt);
    } else {
        // Chained on the master's frame just received, and distinct from the last CRC_0.
        control.u16SequenceNum = own_seq_;
        control.u16Crc0 = rx_.crcs()[0];
        generate_crcs(tx_, own_last_crc0_);
    }
    if (apply_faults && faults_.armed(SimFault::CORRUPT_CRC)) {
        faults_.use(SimFault::CORRUPT_CRC);
        for (std::uint16_t i = 0; i < FSOE_GetDataSizeWords(tx_.safe_data_size_bytes()); ++i) {
            tx_.crcs()[i] = static_cast<std::uint16_t>(tx_.crcs()[i] ^ 0xFFFF);
        }
        log_fault(SimFault::CORRUPT_CRC);
    }
    reply_length_ = tx_.to_array(reply_);
    reply_crc0_ = tx_.crcs()[0];
    // The master chains its next frame on this reply, but on 0 after a reset.
    own_ref_ = reset_frame ? 0 : reply_crc0_;
    if (!reset_frame) {
        tx_.control().increment_sequence_number();
        own_seq_ = tx_.control().sequence_number();
    }
}

void SlaveSimulator::apply_reply_faults(std::uint16_t& command, std::uint16_t& connection_id) {
    const auto process_data = static_cast<std::uint16_t>(FSOECommand::PROCESS_DATA);
    if (command == process_data && faults_.armed(SimFault::FAILSAFE_DATA)) {
        faults_.use(SimFault::FAILSAFE_DATA);
        command = static_cast<std::uint16_t>(FSOECommand::FAILSAFE_DATA);
        tx_.set_safe_data_bytes({});
        log_fault(SimFault::FAILSAFE_DATA, command);
    }
    if (faults_.armed(SimFault::WRONG_COMMAND)) {
        const ArmedFault fault = faults_.get(SimFault::WRONG_COMMAND);
        faults_.use(SimFault::WRONG_COMMAND);
        command = fault.has_value ? fault.value : default_wrong_command(command);
        log_fault(SimFault::WRONG_COMMAND, command);
    }
    if (faults_.armed(SimFault::UNKNOWN_COMMAND)) {
        const ArmedFault fault = faults_.get(SimFault::UNKNOWN_COMMAND);
        faults_.use(SimFault::UNKNOWN_COMMAND);
        command = fault.value;
        log_fault(SimFault::UNKNOWN_COMMAND, command);
    }
    if (faults_.armed(SimFault::WRONG_CONNECTION_ID)) {
        const ArmedFault fault = faults_.get(SimFault::WRONG_CONNECTION_ID);
        faults_.use(SimFault::WRONG_CONNECTION_ID);
        connection_id =
            fault.has_value ? fault.value : static_cast<std::uint16_t>(connection_id ^ 0xFFFF);
        log_fault(SimFault::WRONG_CONNECTION_ID, connection_id);
    }
}

void SlaveSimulator::log_fault(SimFault fault, std::uint32_t value, std::uint16_t code) noexcept {
    SimEvent& event = log(SimEventKind::FAULT);
    event.fault = fault;
    event.value = value;
    event.code = code;
}
}  // namespace velmora::sim
