#include "frame/sra_crc.hpp"

namespace velmora {

std::uint32_t calculate_sra_crc(std::span<const std::uint16_t> params) {
    std::uint32_t crc = 0;
    for (std::uint16_t word : params) crc = SraCrcCalculation(crc, word);
    return crc;
}

}  // namespace velmora
