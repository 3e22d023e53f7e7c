#include "frame/fsoe_crc.hpp"

namespace velmora {

std::uint16_t FSOE_Crc(const std::uint16_t* pu16Data, std::uint16_t u16SizeWords) {
    std::uint16_t u16Crc = 0;
    for (std::uint16_t i = 0; i < u16SizeWords; ++i) {
        u16Crc = FSOE_CrcByte(u16Crc, static_cast<std::uint8_t>(pu16Data[i] & 0xFF));
        u16Crc = FSOE_CrcByte(u16Crc, static_cast<std::uint8_t>(pu16Data[i] >> 8));
    }
    return u16Crc;
}

}  // namespace velmora
