#include "engine/states/state.hpp"

#include <string>

#include "engine/master_handler.hpp"
#include "engine/states/state_reset.hpp"
#include "engine/states/state_session.hpp"
#include "protocol/errors.hpp"
#include "protocol/trace.hpp"
#include "protocol/cycle_code.hpp"

namespace velmora {

StateId State::_process_frame_received_event() {
    throw NotImplementedError();
}
StateId State::_process_watchdog_expired_event() {
    throw NotImplementedError();
}
StateId State::_process_reset_connection_event() {
    throw NotImplementedError();
}
void State::map_frame() {
    throw NotImplementedError();
}

VELMORA_CYCLE_CODE
bool State::_check_received_crcs() {
    MasterHandler& c = context();
    FSOEFrame& reply = c.slave().frame();
    const bool valid = c.slave()._last_crc0_sent
                           ? reply.check_crcs_cyclic(*c.slave()._last_crc0_sent)
                           : reply.check_crcs();
    return valid && c.reply_length_matches();
}

VELMORA_CYCLE_CODE
void State::log_transition(std::string_view name) {
    if (trace::enabled()) trace::log_transition(name);
}

void State::report(std::string_view transition_name, std::string_view message) {
    context()._report_error(transition_name, message);
}

void State::restart_frames() {
    MasterHandler& c = context();
    FSOEFrameControl& master = c.master().frame().control();
    FSOEFrameControl& slave = c.slave().frame().control();
    master.crc0(0);
    slave.crc0(0);
    master.sequence_number(1);
    slave.sequence_number(1);
    c._data_command = FSOECommand::FAILSAFE_DATA;
}

void State::report_slave_reset(std::string_view transition_name) {
    const std::uint16_t code = context().slave().session().error();
    // A code outside the error set is reported by its number.
    const std::optional<std::string> name = fsoe_error_name(code);
    const std::string message = "Connection was reset by the slave (slave reported error " +
                                (name ? *name : std::to_string(code)) + ")";
    report(transition_name, message);
}

void State::report_connection_id(std::string_view transition_name) {
    MasterHandler& c = context();
    const std::string message =
        "Connection id exchanged does not match " +
        std::to_string(c.slave().frame().control().connection_id()) +
        " != " + std::to_string(u16_value(*c.master().session().connection_id));
    report(transition_name, message);
}

StateId State::fail(std::string_view transition_name, BaseError code) {
    log_transition(transition_name);
    return StateReset(context())._reset_handler(static_cast<std::uint16_t>(code));
}

StateId State::restart_session(std::string_view transition_name) {
    log_transition(transition_name);
    return StateSession(context())._reset_session();
}

VELMORA_CYCLE_CODE
FSOECommand State::received_command(bool& valid) const noexcept {
    const FSOEFrameControl& control = context().slave().frame().control();
    valid = control.command_is_valid();
    return static_cast<FSOECommand>(control.command_raw());
}

}  // namespace velmora
