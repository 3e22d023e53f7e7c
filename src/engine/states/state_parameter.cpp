#include "engine/states/state_parameter.hpp"

#include "engine/master_handler.hpp"
#include "protocol/errors.hpp"

namespace velmora {

StateId StateParameter::_process_frame_received_event() {
    MasterHandler& c = context();
    bool valid = false;
    const FSOECommand command = received_command(valid);
    if (!valid) {
        report("PARA_FAIL5", kInvalidCommandMessage);
        return fail("PARA_FAIL5", BaseError::UNKNOWN_CMD);
    }
    switch (command) {
        case FSOECommand::PARAMETER:
            if (c.slave().frame().control().connection_id() !=
                u16_value(*c.master().session().connection_id)) {
                report_connection_id("PARA_FAIL3");
                return fail("PARA_FAIL3", BaseError::INVALID_CONNID);
            }
            // Any mismatch of the echo is invalid data, whichever item it is in.
            if (!c.slave()._dynamic_map().is_safedata_correct(c.master()._dynamic_map())) {
                report("PARA_FAIL2", "Data exchanged during parameter state does not match");
                return fail("PARA_FAIL2", BaseError::INVALID_DATA);
            }
            if (!_check_received_crcs()) {
                report("PARA_FAIL1", kInvalidCrcMessage);
                return fail("PARA_FAIL1", BaseError::INVALID_CRC);
            }
            return c._dynamic_map_pending() ? para_stay1_action_() : para_ok_action_();
        case FSOECommand::RESET:
            report_slave_reset("PARA_RESET1");
            return restart_session("PARA_RESET1");
        case FSOECommand::SESSION:
        case FSOECommand::CONNECTION:
        case FSOECommand::PROCESS_DATA:
        case FSOECommand::FAILSAFE_DATA:
            report("PARA_FAIL4", kInvalidCommandMessage);
            return fail("PARA_FAIL4", BaseError::INVALID_CMD);
    }
    throw NotImplementedError();
}

StateId StateParameter::_process_watchdog_expired_event() {
    report("PARA_WD", kWatchdogExpiredMessage);
    return fail("PARA_WD", BaseError::WD_EXPIRED);
}

StateId StateParameter::_process_reset_connection_event() {
    return fail("PARA_RESET2", BaseError::RESET);
}

void StateParameter::map_frame() {
    MasterHandler& c = context();
    c.master().frame().control().set_command(FSOECommand::PARAMETER);
    calculate_master_size_bytes_();
    clear_slave_parameters_();
    map_node_(c.master());
    map_node_(c.slave());
}

void StateParameter::calculate_master_size_bytes_() {
    Session& session = context().master().session();
    session.comm_parameter_size_bytes->set_raw_value(2);
    std::uint32_t total = 0;
    for (const auto& param : context().master().application_parameters()) total += param->n_bytes();
    // The handler refuses parameter sets whose total does not fit 16 bits.
    session.app_parameter_size_bytes->set_raw_value(total & 0xFFFFu);
}

void StateParameter::clear_slave_parameters_() {
    // The slave's fields hold only what the slave has actually sent.
    Node& slave = context().slave();
    slave.session().comm_parameter_size_bytes->set_raw_value(0);
    slave.session().watchdog_ms->set_raw_value(0);
    slave.session().app_parameter_size_bytes->set_raw_value(0);
    for (const auto& param : slave.application_parameters()) param->set_raw_value(0);
}

void StateParameter::map_node_(Node& node) {
    FSOEDynamicMap& map = node._dynamic_map();
    map.clear();
    map.add(node.session().comm_parameter_size_bytes);
    map.add(node.session().watchdog_ms);
    map.add(node.session().app_parameter_size_bytes);
    for (const auto& param : node.application_parameters()) map.add(param);
}

StateId StateParameter::para_ok_action_() {
    // No frame to map: the handler maps every Data-state request itself.
    log_transition("PARA_OK");
    context()._generate_crcs_cyclic_for_next_frame = true;
    context().activate_and_reset_watchdog();
    return StateId::Data;
}

StateId StateParameter::para_stay1_action_() {
    log_transition("PARA_STAY1");
    context().activate_and_reset_watchdog();
    return StateId::Parameter;
}

}  // namespace velmora
