#include "engine/states/state_reset.hpp"

#include "engine/master_handler.hpp"
#include "engine/states/state_session.hpp"

namespace velmora {

StateId StateReset::_process_frame_received_event() {
    // Neither CRCs nor connection id nor sequence number are looked at here.
    bool valid = false;
    const FSOECommand command = received_command(valid);
    if (valid && command == FSOECommand::RESET) return reset_ok_action_();
    report("RESET_STAY1", kInvalidCommandMessage);
    return reset_stay1_action_();
}

StateId StateReset::_process_watchdog_expired_event() {
    report("RESET_WD", kWatchdogExpiredMessage);
    return reset_wd_action_();
}

StateId StateReset::_process_reset_connection_event() {
    return reset_start_action_();
}

void StateReset::map_frame() {
    MasterHandler& c = context();
    c.master().frame().control().set_command(FSOECommand::RESET);
    c.master()._dynamic_map().clear();
    c.slave()._dynamic_map().clear();
    c.master()._dynamic_map().add(c.master().session().error_id);
}

StateId StateReset::_reset_handler(std::uint16_t error) {
    MasterHandler& c = context();
    restart_frames();
    // The slave restarts at 1 too; the increment that follows the reply which led here
    // must not count against its first Session reply.
    c._reset_slave_sequence_number_after_frame = true;
    c.set_inputs_to_failsafe();
    c.master().session().set_error(error);
    map_frame();
    c.master()._last_crc0_sent.reset();
    c._generate_crcs_cyclic_for_next_frame = false;
    c.master().frame().control().sequence_number(1);
    c.activate_and_reset_watchdog();
    return StateId::Reset;
}

StateId StateReset::reset_start_action_() {
    log_transition("RESET_START");
    restart_with_reset_frame_();
    context().activate_and_reset_watchdog();
    return StateId::Reset;
}

StateId StateReset::reset_stay1_action_() {
    // Leaves the watchdog running, so that repeated wrong frames still end in "RESET_WD".
    log_transition("RESET_STAY1");
    restart_with_reset_frame_();
    return StateId::Reset;
}

// The Reset frame of a host reset (error code RESET) from sequence number 1, plainly
// protected; the inputs keep their values.
void StateReset::restart_with_reset_frame_() {
    MasterHandler& c = context();
    restart_frames();
    c.master().session().set_error(static_cast<std::uint16_t>(BaseError::RESET));
    map_frame();
    c._generate_crcs_cyclic_for_next_frame = false;
    c.master().frame().control().sequence_number(1);
}

StateId StateReset::reset_ok_action_() {
    return open_session_("RESET_OK");
}
StateId StateReset::reset_wd_action_() {
    return open_session_("RESET_WD");
}

StateId StateReset::open_session_(std::string_view transition_name) {
    log_transition(transition_name);
    MasterHandler& c = context();
    c._create_session_id();
    StateSession(c).map_frame();
    c._generate_crcs_cyclic_for_next_frame = false;
    c.activate_and_reset_watchdog();
    return StateId::Session;
}

}  // namespace velmora
