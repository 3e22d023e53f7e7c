#pragma once
// Block CRCs of a whole frame at a fraction of the per-block cost. Every block starts with
// the same seven bytes (Crc0, ConnId, Seq, Cmd), so their register is computed once per
// frame; the rest of a block (index, data word, trailing zeros) enters through tables,
// because the CRC is linear: CRC(prefix, tail) = (prefix register fed with zeros) ^ CRC(tail).
// Same contract as FSOE_FrameGenerateCrc / FSOE_FrameCheckCrc / FSOE_FrameCalcCrc0, which
// stay as the reference form.
#include <array>
#include <cstdint>

#include "frame/fsoe_crc.hpp"
#include "frame/fsoe_frame.hpp"

namespace velmora {

namespace detail {

// The register after feeding `count` zero bytes.
constexpr std::uint16_t fsoe_crc_zeros(std::uint16_t reg, int count) {
    for (int i = 0; i < count; ++i) reg = FSOE_CrcByte(reg, 0);
    return reg;
}

// Entry x: the CRC (from a zero register) of byte x followed by `length` - 1 zero bytes.
constexpr std::array<std::uint16_t, 256> make_fsoe_crc_lead_table(int length) {
    std::array<std::uint16_t, 256> table{};
    for (unsigned x = 0; x < 256; ++x) {
        table[x] = fsoe_crc_zeros(FSOE_CrcByte(0, static_cast<std::uint8_t>(x)), length - 1);
    }
    return table;
}

// Entry i: the CRC of the block-index tail "i, 0, 0, 0, 0, 0, 0" of block i.
constexpr std::array<std::uint16_t, MAX_DATA_WORDS> make_fsoe_crc_index_table() {
    std::array<std::uint16_t, MAX_DATA_WORDS> table{};
    for (unsigned i = 0; i < MAX_DATA_WORDS; ++i) {
        table[i] = fsoe_crc_zeros(FSOE_CrcByte(0, static_cast<std::uint8_t>(i)), 6);
    }
    return table;
}

inline constexpr auto kFsoeCrcLead4 = make_fsoe_crc_lead_table(4);
inline constexpr auto kFsoeCrcLead5 = make_fsoe_crc_lead_table(5);
inline constexpr auto kFsoeCrcIndex = make_fsoe_crc_index_table();

// The two ways the block CRCs are computed: by the tables above, and, where the CPU
// multiplies carry-less, by multiplication with no table (what a cycle uses there: cold, the
// tables are lines to fetch). Both write every block's CRC and return the number of blocks;
// the second falls back to the first on a CPU without it.
std::uint16_t fsoe_block_crcs_table(const FSOE_SFrame* psFrame, std::uint16_t* au16Crc);
std::uint16_t fsoe_block_crcs_clmul(const FSOE_SFrame* psFrame, std::uint16_t* au16Crc);

}  // namespace detail

// The register after Crc0, ConnId, Seq (each low byte first) and the command byte.
std::uint16_t FSOE_CrcControlPrefix(const FSOE_SFrameControl* psControl);

void FSOE_FrameGenerateCrcFast(FSOE_SFrame* psFrame);
bool FSOE_FrameCheckCrcFast(const FSOE_SFrame* psFrame, std::uint16_t* au16CalculatedCrc);
std::uint16_t FSOE_FrameCalcCrc0Fast(const FSOE_SFrame* psFrame);
// The CRC of every block into au16Crc (8 words); returns the number of blocks.
std::uint16_t FSOE_FrameCalcCrcsFast(const FSOE_SFrame* psFrame, std::uint16_t* au16Crc);

}  // namespace velmora
