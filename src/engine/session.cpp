#include "engine/session.hpp"

namespace velmora {
namespace {

DynamicMappableItemPtr u16_item(std::uint16_t value) {
    return std::make_shared<DynamicMappableItem>(Value{static_cast<std::int64_t>(value)},
                                                 DataType::UINT16);
}

}  // namespace

Session::Session(std::uint16_t slave_address_value, std::uint16_t connection_id_value,
                 std::uint16_t watchdog_ms_value)
    : slave_address(u16_item(slave_address_value)),
      session_id(u16_item(0)),
      error_id(u16_item(0)),
      connection_id(u16_item(connection_id_value)),
      comm_parameter_size_bytes(u16_item(0)),
      watchdog_ms(u16_item(watchdog_ms_value)),
      app_parameter_size_bytes(u16_item(0)) {}

}  // namespace velmora
