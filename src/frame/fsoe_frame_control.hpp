#pragma once
// The control fields of one FSoE frame record.
#include <cstdint>

namespace velmora {

struct FSOE_SFrameControl {
    std::uint16_t u16Command;       // only the low byte travels
    std::uint16_t u16SequenceNum;   // never on the wire; enters every block CRC
    std::uint16_t u16ConnectionId;  // at the end of the PDU
    std::uint16_t u16Crc0;          // reference CRC_0: the peer's last CRC_0; never on the wire
};

}  // namespace velmora
