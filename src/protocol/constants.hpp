#pragma once
// Size limits of one FSoE frame, shared by every layer.
#include <cstdint>

namespace velmora {

inline constexpr std::uint16_t BYTES_PER_WORD = 2;
inline constexpr std::uint16_t MAX_DATA_WORDS = 8;
inline constexpr std::uint16_t MAX_DATA_BYTES = MAX_DATA_WORDS * BYTES_PER_WORD;
inline constexpr std::uint16_t MAX_CRC_WORDS = 8;

}  // namespace velmora
