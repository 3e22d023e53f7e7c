#include "protocol/helpers.hpp"

#include "protocol/errors.hpp"

namespace velmora {

std::uint16_t to_u16(std::int64_t value) {
    if (value < 0) throw OverflowError("can't convert negative value to uint16_t");
    if (value > 0xFFFF) throw OverflowError("value too large to convert to uint16_t");
    return static_cast<std::uint16_t>(value);
}

std::uint8_t to_u8(std::int64_t value) {
    if (value < 0) throw OverflowError("can't convert negative value to uint8_t");
    if (value > 0xFF) throw OverflowError("value too large to convert to uint8_t");
    return static_cast<std::uint8_t>(value);
}

std::uint16_t div_ceil(std::int64_t a, std::int64_t b) {
    to_u16(a);
    to_u16(b);
    if (b == 0) throw ZeroDivisionError("integer division or modulo by zero");
    // Negated floor division by -b, as the reference formula; for non-negative a and b > 0
    // this is the quotient rounded up.
    return to_u16((a + b - 1) / b);
}

std::uint16_t align_bits(std::int64_t number, std::int64_t boundary) {
    std::int64_t words = div_ceil(number, boundary);
    return to_u16(words * boundary);
}

}  // namespace velmora
