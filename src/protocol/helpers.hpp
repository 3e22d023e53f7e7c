#pragma once
// Small integer helpers with the range rules of the host interface.
#include <cstdint>

namespace velmora {

// a / b rounded up, as an unsigned 16-bit number. Arguments and result outside 0..65535 are
// overflow errors; b == 0 is a division by zero.
std::uint16_t div_ceil(std::int64_t a, std::int64_t b);

// The smallest multiple of boundary that is not below number.
std::uint16_t align_bits(std::int64_t number, std::int64_t boundary);

// Checked conversion to an unsigned 16-bit value, with the host's messages.
std::uint16_t to_u16(std::int64_t value);
std::uint8_t to_u8(std::int64_t value);

}  // namespace velmora
