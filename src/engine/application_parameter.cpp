#include "engine/application_parameter.hpp"

#include "protocol/errors.hpp"

namespace velmora {
DataType ApplicationParameter::resolve_type(std::optional<std::int64_t> n_bytes,
                                            std::optional<DataType> data_type) {
    if (!data_type) {
        if (!n_bytes) {
            throw ValueError(
                "data type or number of bytes for application parameter must be specified");
        }
        switch (*n_bytes) {
            case 1:
                return DataType::UINT8;
            case 2:
                return DataType::UINT16;
            case 4:
                return DataType::UINT32;
            default:
                throw ValueError("n_bytes must be 1, 2 or 4, or type be specified");
        }
    }
    if (n_bytes && *n_bytes != data_type_bytes(*data_type)) {
        throw ValueError("n_bytes must be equal to the number of bytes of the data type");
    }
    return *data_type;
}

ApplicationParameter::ApplicationParameter(std::string name, const Value& initial_value,
                                           std::optional<std::int64_t> n_bytes,
                                           std::optional<DataType> data_type)
    : DynamicMappableItem(initial_value, resolve_type(n_bytes, data_type)),
      name_(std::move(name)) {}

void ApplicationParameter::set(const Value& value) {
    if (handler_running()) {
        throw FSOEMasterRunningException(
            "Application parameters cannot be changed while the master is running");
    }
    DynamicMappableItem::set(value);
}

void ApplicationParameter::_set_use_by_master(RunningFlag handler_running) {
    if (claimed_) throw PermissionError(kParameterAlreadyUsedMessage);
    claimed_ = true;
    running_ = std::move(handler_running);
}

}  // namespace velmora
