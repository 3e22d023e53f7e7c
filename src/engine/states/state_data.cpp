#include "engine/states/state_data.hpp"

#include "engine/master_handler.hpp"
#include "protocol/errors.hpp"
#include "protocol/cycle_code.hpp"

namespace velmora {

VELMORA_CYCLE_CODE
StateId StateData::_process_frame_received_event() {
    MasterHandler& c = context();
    bool valid = false;
    const FSOECommand command = received_command(valid);
    // The command is classified before any check; no data is compared here.
    if (!valid) {
        report("DATA_FAIL4", kInvalidCommandMessage);
        return fail("DATA_FAIL4", BaseError::UNKNOWN_CMD);
    }
    switch (command) {
        case FSOECommand::SESSION:
        case FSOECommand::CONNECTION:
        case FSOECommand::PARAMETER:
            report("DATA_FAIL3", kInvalidCommandMessage);
            return fail("DATA_FAIL3", BaseError::INVALID_CMD);
        case FSOECommand::RESET:
            report_slave_reset("DATA_RESET1");
            return restart_session("DATA_RESET1");
        case FSOECommand::PROCESS_DATA:
        case FSOECommand::FAILSAFE_DATA:
            break;
        default:
            throw NotImplementedError();
    }
    if (c.slave().frame().control().connection_id() !=
        u16_value(*c.master().session().connection_id)) {
        report_connection_id("DATA_FAIL2");
        return fail("DATA_FAIL2", BaseError::INVALID_CONNID);
    }
    if (!_check_received_crcs()) {
        report("DATA_FAIL1", kInvalidCrcMessage);
        return fail("DATA_FAIL1", BaseError::INVALID_CRC);
    }
    return command == FSOECommand::PROCESS_DATA ? data_ok1_action_() : data_ok2_action_();
}

StateId StateData::_process_watchdog_expired_event() {
    report("DATA_WD", kWatchdogExpiredMessage);
    return fail("DATA_WD", BaseError::WD_EXPIRED);
}

StateId StateData::_process_reset_connection_event() {
    return fail("DATA_RESET2", BaseError::RESET);
}

VELMORA_CYCLE_CODE
void StateData::map_frame() {
    MasterHandler& c = context();
    FSOEFrame& request = c.master().frame();
    request.control().set_command(c._data_command);
    // Fail-safe data is all zeros: a slave that hands a fail-safe frame's data to its
    // application must never see live output values. The output items keep their values for
    // the first process-data frame.
    if (c._data_command == FSOECommand::FAILSAFE_DATA) {
        request.safe_data().clear();
    } else {
        c.master().dictionary_map()->_set_data_to_frame(request);
    }
}

VELMORA_CYCLE_CODE
StateId StateData::data_ok1_action_() {
    log_transition("DATA_OK1");
    MasterHandler& c = context();
    // Every input of the reply is stored before any subscriber hears of it: the changes are
    // delivered after the operation.
    c.slave().dictionary_map()->_get_data_from_frame(c.slave().frame(), &c.notifications());
    c._generate_crcs_cyclic_for_next_frame = true;
    c.activate_and_reset_watchdog();
    return StateId::Data;
}

StateId StateData::data_ok2_action_() {
    log_transition("DATA_OK2");
    MasterHandler& c = context();
    c.set_inputs_to_failsafe();
    c._generate_crcs_cyclic_for_next_frame = true;
    c.activate_and_reset_watchdog();
    return StateId::Data;
}

}  // namespace velmora
