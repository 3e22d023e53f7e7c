#pragma once
// The connection-setup data that the slave exchanges piecewise outside the Data state, on
// the dynamic map: the error codes of Reset frames, the session ids, the echo of the
// connection data and of the parameter block. Every item and list is allocated at
// construction, so a transfer allocates nothing.
#include <cstdint>
#include <vector>

#include "frame/frame.hpp"
#include "mapping/dynamic_map.hpp"

namespace velmora::sim {

enum class SetupPhase : std::uint8_t {
    RESET,       // receives the master's error code, sends the slave's (1 item)
    SESSION,     // receives the master's session id, sends the slave's (1 item)
    CONNECTION,  // connection id, slave address: received and echoed (2 items)
    PARAMETER,   // comm. parameter length, watchdog time, application parameter length,
                 // then the application parameters byte by byte: received and echoed
};

// Items of the parameter block before the application parameter bytes.
inline constexpr std::size_t kParameterHeaderItems = 3;

class SetupTransfer {
  public:
    explicit SetupTransfer(std::size_t application_bytes);

    // Starts a phase: both maps restart with the phase's items, all 0. RESET and SESSION send
    // `value` (the error code, the session id).
    void begin(SetupPhase phase, std::uint16_t value = 0);
    SetupPhase phase() const noexcept { return phase_; }
    std::size_t items() const noexcept { return count_; }

    // Bytes and items of one frame's piece: items [first_item, end_item) were completed by
    // it, and it carried bytes [first_byte, end_byte) of the phase's data.
    struct Piece {
        std::uint32_t first_item = 0;
        std::uint32_t end_item = 0;
        std::uint32_t first_byte = 0;
        std::uint32_t end_byte = 0;
    };
    Piece receive(const FSOEFrame& frame, std::uint16_t bytes);
    bool received_all() const noexcept { return !rx_.pending(); }
    std::uint32_t received(std::size_t item) const noexcept;

    // Echo phases: the values sent back are those received; set_echo replaces one of them.
    void echo_received() noexcept;
    void set_echo(std::size_t item, std::uint32_t raw) noexcept;
    Piece send(FSOEFrame& frame, std::uint16_t bytes);

    // Where an item lies in the phase's data, and its size.
    static std::uint32_t item_offset(std::size_t item) noexcept;
    static std::uint16_t item_bytes(std::size_t item) noexcept;

  private:
    SetupPhase phase_ = SetupPhase::RESET;
    std::size_t count_ = 0;
    FSOEDynamicMap rx_;
    FSOEDynamicMap tx_;
    // Three 16-bit items, then one 8-bit item per application parameter byte; a phase uses
    // a prefix of each list.
    std::vector<DynamicMappableItemPtr> rx_items_;
    std::vector<DynamicMappableItemPtr> tx_items_;
};

}  // namespace velmora::sim
