#pragma once
// Data types of safety variables: widths, ranges, initial values and the unsigned-integer
// encoding that travels in safe data.
#include <cstdint>
#include <string_view>
#include <vector>

#include "protocol/value.hpp"

namespace velmora {

// Member values are identities only; nothing encodes them.
enum class DataType : std::uint8_t {
    BOOL = 1,
    FLOAT = 2,
    UINT8 = 3,
    INT8 = 4,
    UINT16 = 5,
    INT16 = 6,
    UINT32 = 7,
    INT32 = 8,
};

std::string_view data_type_name(DataType type) noexcept;

std::uint16_t data_type_bits(DataType type) noexcept;
std::uint16_t data_type_bytes(DataType type) noexcept;
bool data_type_is_integer(DataType type) noexcept;
bool data_type_is_signed(DataType type) noexcept;
// Not-implemented error for BOOL and FLOAT.
std::int64_t data_type_min_value(DataType type);
std::int64_t data_type_max_value(DataType type);
Value data_type_initial_value(DataType type) noexcept;

// The unsigned integer that represents value in the type's bits (errors as the host's:
// value error for out of range and for a bad BOOL, type error for a non-integral number
// of an integer type, overflow error for a FLOAT that single precision cannot hold).
std::uint32_t serialize_value(DataType type, const Value& value);
// serialize_value as data_type_bytes(type) little-endian bytes, appended to `out`
// (at most 4 bytes; the caller's buffer).
std::uint8_t serialize_bytes(DataType type, const Value& value, std::uint8_t out[4]);
// The inverse. No masking: bits above the width pass through (UINT8 300 stays 300).
// FLOAT: a value that does not fit 4 bytes is an overflow error.
Value unserialize_value(DataType type, std::int64_t value);

}  // namespace velmora
