#pragma once
// The frame codec straight between the record and PDU bytes, without the word form that
// FSOE_FrameFromArray / FSOE_FrameToArray go through. Same results as those two on the
// bytes of the word form (they stay as the reference).
#include <cstdint>

#include "frame/fsoe_frame.hpp"

namespace velmora {

// Decodes a PDU of u16SizeBytes bytes (at most 2 * FSOE_MAX_FRAME_WORDS), all present at
// pu8Data. Sequence number and reference CRC_0 are left as they are.
void FSOE_FrameFromBytes(FSOE_SFrame* psFrame, const std::uint8_t* pu8Data,
                         std::uint16_t u16SizeBytes);
// Encodes into pu8Data (room for FSOE_MAX_FRAME_BYTES) and returns the PDU length.
std::uint16_t FSOE_FrameToBytes(std::uint8_t* pu8Data, const FSOE_SFrame* psFrame);

}  // namespace velmora
