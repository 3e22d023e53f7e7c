#pragma once
// The FSoE frame record and its codec. Plain functions over a fixed record: nothing here
// allocates, fails or reads beyond the record and the caller's buffers.
#include <cstdint>

#include "frame/fsoe_frame_control.hpp"
#include "protocol/constants.hpp"

namespace velmora {

struct FSOE_SFrame {
    FSOE_SFrameControl sControl;
    std::uint16_t au16Data[MAX_DATA_WORDS];
    std::uint16_t au16Crc[MAX_CRC_WORDS];
    std::uint16_t u16DataSizeBytes;  // 0, 1 or an even number 2..16
};

// Words that hold any encoded frame (35 bytes, rounded up).
inline constexpr std::uint16_t FSOE_MAX_FRAME_WORDS = 18;
// The longest PDU the record can hold: 16 bytes of safe data, 35 bytes (36 in word form).
inline constexpr std::uint16_t FSOE_MAX_FRAME_BYTES = 35;

// Number of blocks for a safe-data size: (N + 1) / 2, never more than the record holds.
std::uint16_t FSOE_GetDataSizeWords(std::uint16_t u16DataSizeBytes);
// Safe-data size for a PDU of W words: 0 for W <= 2, else W - 2. A size that would be odd
// and above 1 (PDUs of 9, 10, 13, 14 ... bytes) is not a wire format: it is taken as the next
// smaller even size, and the bytes beyond that frame are ignored.
std::uint16_t FSOE_GetDataSizeBytes(std::uint16_t u16FrameSizeWords);
// PDU length in bytes for a safe-data size, as encoded (odd sizes above 1 encode as N - 1).
std::uint16_t FSOE_GetFrameSizeBytes(std::uint16_t u16DataSizeBytes);

void FSOE_FrameInit(FSOE_SFrame* psFrame, std::uint16_t u16FrameSizeWords);
void FSOE_FrameFromArray(FSOE_SFrame* psFrame, const std::uint16_t* pu16Data,
                         std::uint16_t u16SizeWords);
void FSOE_FrameToArray(std::uint16_t* pu16Data, const FSOE_SFrame* psFrame,
                       std::uint16_t* pu16SizeBytes);

// CRC of one block, with the byte sequence of the reference layout.
std::uint16_t FSOE_CalcCrc(std::uint16_t u16Index, const FSOE_SFrame* psFrame);
void FSOE_FrameGenerateCrc(FSOE_SFrame* psFrame);
bool FSOE_FrameCheckCrc(const FSOE_SFrame* psFrame, std::uint16_t* au16CalculatedCrc);
std::uint16_t FSOE_FrameCalcCrc0(const FSOE_SFrame* psFrame);

}  // namespace velmora
