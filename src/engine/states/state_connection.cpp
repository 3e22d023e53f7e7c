#include "engine/states/state_connection.hpp"

#include "engine/master_handler.hpp"
#include "engine/states/state_parameter.hpp"
#include "protocol/errors.hpp"

namespace velmora {

StateId StateConnection::_process_frame_received_event() {
    MasterHandler& c = context();
    bool valid = false;
    const FSOECommand command = received_command(valid);
    if (!valid) {
        report("CONN_FAIL5", kInvalidCommandMessage);
        return fail("CONN_FAIL5", BaseError::UNKNOWN_CMD);
    }
    switch (command) {
        case FSOECommand::CONNECTION:
            // Connection id field, echoed data, CRCs: the first failing check is reported.
            if (c.slave().frame().control().connection_id() !=
                u16_value(*c.master().session().connection_id)) {
                report_connection_id("CONN_FAIL3");
                return fail("CONN_FAIL3", BaseError::INVALID_CONNID);
            }
            if (!c.slave()._dynamic_map().is_safedata_correct(c.master()._dynamic_map())) {
                report("CONN_FAIL2", "Data exchanged during session state does not match");
                return fail("CONN_FAIL2", BaseError::INVALID_DATA);
            }
            if (!_check_received_crcs()) {
                report("CONN_FAIL1", kInvalidCrcMessage);
                return fail("CONN_FAIL1", BaseError::INVALID_CRC);
            }
            return c._dynamic_map_pending() ? conn_stay1_action_() : conn_ok_action_();
        case FSOECommand::RESET:
            report_slave_reset("CONN_RESET1");
            return restart_session("CONN_RESET1");
        case FSOECommand::SESSION:
        case FSOECommand::PARAMETER:
        case FSOECommand::PROCESS_DATA:
        case FSOECommand::FAILSAFE_DATA:
            report("CONN_FAIL4", kInvalidCommandMessage);
            return fail("CONN_FAIL4", BaseError::INVALID_CMD);
    }
    throw NotImplementedError();
}

StateId StateConnection::_process_watchdog_expired_event() {
    report("CONN_WD", kWatchdogExpiredMessage);
    return fail("CONN_WD", BaseError::WD_EXPIRED);
}

StateId StateConnection::_process_reset_connection_event() {
    return fail("CONN_RESET2", BaseError::RESET);
}

StateId StateConnection::conn_ok_action_() {
    log_transition("CONN_OK");
    MasterHandler& c = context();
    StateParameter(c).map_frame();
    c._generate_crcs_cyclic_for_next_frame = true;
    c.activate_and_reset_watchdog();
    return StateId::Parameter;
}

StateId StateConnection::conn_stay1_action_() {
    log_transition("CONNECTION_STAY1");
    context().activate_and_reset_watchdog();
    return StateId::Connection;
}

}  // namespace velmora
