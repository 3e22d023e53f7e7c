#include "frame/fsoe_crc_fast.hpp"

namespace velmora {
namespace {

// CRC of "lo, hi, 0, 0, 0": a data word and the three trailing zero bytes of its block.
inline std::uint16_t data_tail(std::uint16_t u16Word) {
    return static_cast<std::uint16_t>(detail::kFsoeCrcLead5[u16Word & 0xFF] ^
                                      detail::kFsoeCrcLead4[u16Word >> 8]);
}

// Feeding five zero bytes into a register gives the CRC of its two bytes (high first)
// followed by three zeros, which is data_tail of the byte-swapped register.
inline std::uint16_t zeros5(std::uint16_t u16Reg) {
    return data_tail(static_cast<std::uint16_t>((u16Reg >> 8) | (u16Reg << 8)));
}

std::uint16_t block0_crc(const FSOE_SFrame* psFrame, std::uint16_t u16Prefix) {
    if (psFrame->u16DataSizeBytes == 1) {
        // The leading zero byte of the one-byte form leaves the register at 0, so the prefix
        // is the same; then "Data lo, 0, 0, 0".
        const auto u8Lo = static_cast<std::uint8_t>(psFrame->au16Data[0] & 0xFF);
        return detail::fsoe_crc_zeros(FSOE_CrcByte(u16Prefix, u8Lo), 3);
    }
    return static_cast<std::uint16_t>(zeros5(u16Prefix) ^ data_tail(psFrame->au16Data[0]));
}

// Computes the CRC of every block into au16Out and returns the number of blocks.
std::uint16_t block_crcs(const FSOE_SFrame* psFrame, std::uint16_t* au16Out) {
    const std::uint16_t u16Blocks = FSOE_GetDataSizeWords(psFrame->u16DataSizeBytes);
    if (u16Blocks == 0) return 0;
    const std::uint16_t u16Prefix = FSOE_CrcControlPrefix(&psFrame->sControl);
    au16Out[0] = block0_crc(psFrame, u16Prefix);
    if (u16Blocks == 1) return 1;
    // Blocks 1.. (never in the one-byte form) share the prefix fed with "i, 0, lo, hi, 0, 0,
    // 0": the prefix part is seven zero bytes, the index part a constant per block.
    const std::uint16_t u16Zeros7 = detail::fsoe_crc_zeros(zeros5(u16Prefix), 2);
    for (std::uint16_t i = 1; i < u16Blocks; ++i) {
        au16Out[i] = static_cast<std::uint16_t>(u16Zeros7 ^ detail::kFsoeCrcIndex[i] ^
                                                data_tail(psFrame->au16Data[i]));
    }
    return u16Blocks;
}

}  // namespace

std::uint16_t FSOE_CrcControlPrefix(const FSOE_SFrameControl* psControl) {
    std::uint16_t u16Crc = 0;
    for (std::uint16_t u16Field :
         {psControl->u16Crc0, psControl->u16ConnectionId, psControl->u16SequenceNum}) {
        u16Crc = FSOE_CrcByte(u16Crc, static_cast<std::uint8_t>(u16Field & 0xFF));
        u16Crc = FSOE_CrcByte(u16Crc, static_cast<std::uint8_t>(u16Field >> 8));
    }
    return FSOE_CrcByte(u16Crc, static_cast<std::uint8_t>(psControl->u16Command & 0xFF));
}

void FSOE_FrameGenerateCrcFast(FSOE_SFrame* psFrame) {
    block_crcs(psFrame, psFrame->au16Crc);
}

bool FSOE_FrameCheckCrcFast(const FSOE_SFrame* psFrame, std::uint16_t* au16CalculatedCrc) {
    std::uint16_t au16Crc[MAX_CRC_WORDS];
    const std::uint16_t u16Blocks = block_crcs(psFrame, au16Crc);
    bool bValid = true;
    for (std::uint16_t i = 0; i < u16Blocks; ++i) {
        if (au16CalculatedCrc != nullptr) au16CalculatedCrc[i] = au16Crc[i];
        if (au16Crc[i] != psFrame->au16Crc[i]) bValid = false;
    }
    return bValid;
}

std::uint16_t FSOE_FrameCalcCrcsFast(const FSOE_SFrame* psFrame, std::uint16_t* au16Crc) {
    return block_crcs(psFrame, au16Crc);
}

std::uint16_t FSOE_FrameCalcCrc0Fast(const FSOE_SFrame* psFrame) {
    return block0_crc(psFrame, FSOE_CrcControlPrefix(&psFrame->sControl));
}

}  // namespace velmora
