#pragma once
// The SRA CRC: CRC-32, polynomial 0x814141AB, MSB first, no reflection, no final XOR,
// over 16-bit parameter words entering low byte first.
#include <array>
#include <cstdint>
#include <span>

namespace velmora {

namespace detail {
constexpr std::array<std::uint32_t, 256> make_sra_crc_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t reg = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            bool top = (reg & 0x80000000u) != 0;
            reg <<= 1;
            if (top) reg ^= 0x814141ABu;
        }
        table[i] = reg;
    }
    return table;
}
}  // namespace detail

inline constexpr std::array<std::uint32_t, 256> au32CrcTable = detail::make_sra_crc_table();

constexpr std::uint32_t SraCrcByte(std::uint32_t u32Crc, std::uint8_t u8Byte) {
    return (u32Crc << 8) ^ au32CrcTable[((u32Crc >> 24) ^ u8Byte) & 0xFF];
}

constexpr std::uint32_t SraCrcCalculation(std::uint32_t u32SeedCrc, std::uint16_t u16Data) {
    u32SeedCrc = SraCrcByte(u32SeedCrc, static_cast<std::uint8_t>(u16Data & 0xFF));
    return SraCrcByte(u32SeedCrc, static_cast<std::uint8_t>(u16Data >> 8));
}

std::uint32_t calculate_sra_crc(std::span<const std::uint16_t> params);

}  // namespace velmora
