#include "engine/states/state_session.hpp"

#include "engine/master_handler.hpp"
#include "protocol/errors.hpp"

namespace velmora {

StateId StateSession::_process_frame_received_event() {
    MasterHandler& c = context();
    bool valid = false;
    const FSOECommand command = received_command(valid);
    if (!valid) {
        report("SESSION_FAIL4", kInvalidCommandMessage);
        return fail("SESSION_FAIL4", BaseError::UNKNOWN_CMD);
    }
    switch (command) {
        case FSOECommand::SESSION:
            // The data of the slave's Session frames is neither recorded nor compared.
            if (_check_received_crcs()) {
                return c._dynamic_map_pending() ? session_stay1_action_() : session_ok_action_();
            }
            // A CRC failure is tolerated until a second Session frame has been sent.
            if (c._second_session_frame_sent) {
                report("SESSION_FAIL1", kInvalidCrcMessage);
                return fail("SESSION_FAIL1", BaseError::INVALID_CRC);
            }
            report("SESSION_STAY2", kInvalidCrcMessage);
            return session_stay2_action_();
        case FSOECommand::RESET:
            report_slave_reset("SESSION_RESET1");
            return session_reset1_action_();
        case FSOECommand::CONNECTION:
        case FSOECommand::PARAMETER:
        case FSOECommand::PROCESS_DATA:
        case FSOECommand::FAILSAFE_DATA:
            report("SESSION_FAIL3", kInvalidCommandMessage);
            return fail("SESSION_FAIL3", BaseError::INVALID_CMD);
    }
    throw NotImplementedError();
}

StateId StateSession::_process_watchdog_expired_event() {
    report("SESSION_WD", kWatchdogExpiredMessage);
    return fail("SESSION_WD", BaseError::WD_EXPIRED);
}

StateId StateSession::_process_reset_connection_event() {
    return fail("SESSION_RESET2", BaseError::RESET);
}

void StateSession::map_frame() {
    MasterHandler& c = context();
    c.master().frame().control().set_command(FSOECommand::SESSION);
    c.master()._dynamic_map().clear();
    c.slave()._dynamic_map().clear();
    c.master()._dynamic_map().add(c.master().session().session_id);
}

StateId StateSession::_reset_session() {
    MasterHandler& c = context();
    restart_frames();
    // The slave restarts at 1 after its reset: its first Session reply is expected with 1,
    // whichever state the restart came from.
    c._reset_slave_sequence_number_after_frame = true;
    c.set_inputs_to_failsafe();
    c._create_session_id();
    StateSession(c).map_frame();
    c.activate_and_reset_watchdog();
    return StateId::Session;
}

StateId StateSession::session_ok_action_() {
    log_transition("SESSION_OK");
    MasterHandler& c = context();
    // The Connection state has no frame mapping of its own: its first frame is made here.
    c.master().frame().control().set_command(FSOECommand::CONNECTION);
    FSOEDynamicMap& sent = c.master()._dynamic_map();
    FSOEDynamicMap& echoed = c.slave()._dynamic_map();
    sent.clear();
    echoed.clear();
    sent.add(c.master().session().connection_id);
    sent.add(c.master().session().slave_address);
    echoed.add(c.slave().session().connection_id);
    echoed.add(c.slave().session().slave_address);
    c._generate_crcs_cyclic_for_next_frame = true;
    c.activate_and_reset_watchdog();
    return StateId::Connection;
}

StateId StateSession::session_stay1_action_() {
    log_transition("SESSION_STAY1");
    context()._second_session_frame_sent = true;
    context().activate_and_reset_watchdog();
    return StateId::Session;
}

StateId StateSession::session_stay2_action_() {
    log_transition("SESSION_STAY2");
    context().activate_and_reset_watchdog();
    return StateId::Session;
}

StateId StateSession::session_reset1_action_() {
    log_transition("SESSION_RESET1");
    context()._reset_slave_sequence_number_after_frame = true;
    return _reset_session();
}

}  // namespace velmora
