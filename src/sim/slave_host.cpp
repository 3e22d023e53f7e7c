// The host's operations on the simulator: reset, inputs, fault injection.
#include <limits>
#include <string>

#include "protocol/errors.hpp"
#include "protocol/helpers.hpp"
#include "sim/slave_simulator.hpp"

namespace velmora::sim {

void SlaveSimulator::reset(std::int64_t error) {
    const std::uint16_t code = to_u16(error);
    log(SimEventKind::HOST_RESET).code = code;
    enter_reset(code);
    send_reset(false);
}

void SlaveSimulator::set_inputs(std::span<const std::uint8_t> inputs) {
    if (inputs.size() != input_bytes_) {
        throw ValueError("inputs must be " + std::to_string(input_bytes_) + " bytes, not " +
                         std::to_string(inputs.size()));
    }
    std::copy(inputs.begin(), inputs.end(), inputs_);
}

void SlaveSimulator::inject(SimFault fault, const FaultOptions& options) {
    const std::string name(fault_name(fault));
    ArmedFault armed;
    armed.armed = true;
    if (options.count == FaultOptions::kDefaultCount) {
        armed.until_cleared = fault == SimFault::SILENT;
        armed.remaining = 1;
    } else if (options.count == FaultOptions::kUntilCleared) {
        armed.until_cleared = true;
    } else if (options.count < 0) {
        throw ValueError("count must be a positive integer or None");
    } else if (options.count > std::numeric_limits<std::uint32_t>::max()) {
        throw OverflowError("count too large");
    } else {
        armed.remaining = static_cast<std::uint32_t>(options.count);
    }

    const bool takes_value =
        fault == SimFault::RESET || fault == SimFault::UNKNOWN_COMMAND ||
        fault == SimFault::WRONG_COMMAND || fault == SimFault::WRONG_CONNECTION_ID ||
        fault == SimFault::WRONG_ADDRESS || fault == SimFault::WRONG_WATCHDOG ||
        fault == SimFault::WRONG_PARAMETER;
    if (options.value && !takes_value) throw ValueError("fault '" + name + "' takes no value");
    if (options.index && fault != SimFault::WRONG_PARAMETER) {
        throw ValueError("fault '" + name + "' takes no index");
    }
    if (options.value) {
        armed.has_value = true;
        const bool byte_value =
            fault == SimFault::UNKNOWN_COMMAND || fault == SimFault::WRONG_PARAMETER;
        armed.value = byte_value ? to_u8(*options.value) : to_u16(*options.value);
    }
    switch (fault) {
        case SimFault::RESET:
            armed.has_value = true;  // error code 0 (RESET) unless given
            break;
        case SimFault::UNKNOWN_COMMAND:
            if (!options.value) {
                armed.has_value = true;
                armed.value = 0xFF;
            } else if (command_has_value(armed.value)) {
                throw ValueError("command " + std::to_string(armed.value) +
                                 " is an FSoE command; use 'wrong_command'");
            }
            break;
        case SimFault::WRONG_COMMAND:
            if (options.value && !command_has_value(armed.value)) {
                throw ValueError("command " + std::to_string(armed.value) +
                                 " is no FSoE command; use 'unknown_command'");
            }
            break;
        case SimFault::WRONG_PARAMETER: {
            if (application_parameters_.empty()) {
                throw ValueError("the simulator has no application parameters to echo wrongly");
            }
            const std::int64_t index = options.index.value_or(0);
            if (index < 0 || index >= static_cast<std::int64_t>(application_parameters_.size())) {
                throw IndexError("application parameter index out of range");
            }
            armed.index = static_cast<std::uint16_t>(index);
            break;
        }
        default:
            break;
    }
    faults_.arm(fault, armed);
    // A re-injected echo fault starts afresh.
    for (EchoOverride& o : echo_overrides_) {
        if (o.fault == fault) o.active = false;
    }
}

void SlaveSimulator::clear_faults() noexcept {
    faults_.clear();
    for (EchoOverride& o : echo_overrides_) o.active = false;
}

void SlaveSimulator::clear_fault(SimFault fault) noexcept {
    faults_.clear(fault);
    for (EchoOverride& o : echo_overrides_) {
        if (o.fault == fault) o.active = false;
    }
}
}  // namespace velmora::sim
