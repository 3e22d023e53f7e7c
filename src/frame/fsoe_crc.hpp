#pragma once
// The FSoE block CRC: CRC-16, polynomial 0x139B7, MSB first, no reflection, initial 0.
#include <array>
#include <cstdint>

namespace velmora {

namespace detail {
constexpr std::array<std::uint16_t, 256> make_fsoe_crc_table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t reg = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            bool top = (reg & 0x8000u) != 0;
            reg = static_cast<std::uint16_t>(reg << 1);
            if (top) reg ^= 0x39B7u;
        }
        table[i] = reg;
    }
    return table;
}
}  // namespace detail

// Generated from the polynomial at compile time.
inline constexpr std::array<std::uint16_t, 256> au16CrcTable = detail::make_fsoe_crc_table();

// One byte into the register.
constexpr std::uint16_t FSOE_CrcByte(std::uint16_t u16Crc, std::uint8_t u8Byte) {
    return static_cast<std::uint16_t>((u16Crc << 8) ^
                                      au16CrcTable[((u16Crc >> 8) ^ u8Byte) & 0xFF]);
}

// CRC over words, each entering low byte first. A count of 0 gives 0.
std::uint16_t FSOE_Crc(const std::uint16_t* pu16Data, std::uint16_t u16SizeWords);

}  // namespace velmora
