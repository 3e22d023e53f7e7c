#include "model/data_type.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "protocol/errors.hpp"
#include "protocol/cycle_code.hpp"

namespace velmora {
namespace {

constexpr const char* kInvalidBool = "Invalid value for BOOL type";

}  // namespace

std::string_view data_type_name(DataType type) noexcept {
    switch (type) {
        case DataType::BOOL:
            return "BOOL";
        case DataType::FLOAT:
            return "FLOAT";
        case DataType::UINT8:
            return "UINT8";
        case DataType::INT8:
            return "INT8";
        case DataType::UINT16:
            return "UINT16";
        case DataType::INT16:
            return "INT16";
        case DataType::UINT32:
            return "UINT32";
        case DataType::INT32:
            return "INT32";
    }
    return "";
}

std::uint16_t data_type_bits(DataType type) noexcept {
    switch (type) {
        case DataType::BOOL:
            return 1;
        case DataType::UINT8:
        case DataType::INT8:
            return 8;
        case DataType::UINT16:
        case DataType::INT16:
            return 16;
        case DataType::FLOAT:
        case DataType::UINT32:
        case DataType::INT32:
            return 32;
    }
    return 0;
}

std::uint16_t data_type_bytes(DataType type) noexcept {
    return static_cast<std::uint16_t>((data_type_bits(type) + 7) / 8);
}

bool data_type_is_integer(DataType type) noexcept {
    return type != DataType::BOOL && type != DataType::FLOAT;
}

VELMORA_CYCLE_CODE
bool data_type_is_signed(DataType type) noexcept {
    return type == DataType::INT8 || type == DataType::INT16 || type == DataType::INT32;
}

std::int64_t data_type_max_value(DataType type) {
    if (!data_type_is_integer(type)) throw NotImplementedError();
    const int bits = data_type_bits(type);
    if (data_type_is_signed(type)) return (std::int64_t{1} << (bits - 1)) - 1;
    return (std::int64_t{1} << bits) - 1;
}

std::int64_t data_type_min_value(DataType type) {
    if (!data_type_is_integer(type)) throw NotImplementedError();
    if (data_type_is_signed(type)) return -data_type_max_value(type) - 1;
    return 0;
}

Value data_type_initial_value(DataType type) noexcept {
    if (type == DataType::BOOL) return Value{false};
    if (type == DataType::FLOAT) return Value{0.0};
    return Value{std::int64_t{0}};
}

namespace {

std::uint32_t serialize_float(const Value& value) {
    double d = 0.0;
    if (auto* b = std::get_if<bool>(&value)) {
        d = *b ? 1.0 : 0.0;
    } else if (auto* i = std::get_if<std::int64_t>(&value)) {
        d = static_cast<double>(*i);
    } else {
        d = std::get<double>(value);
    }
    // Rounds to nearest; only a finite value beyond single precision's range fails.
    float f = static_cast<float>(d);
    if (std::isinf(f) && !std::isinf(d)) {
        throw OverflowError("float too large to pack with f format");
    }
    std::uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

std::uint32_t serialize_bool(const Value& value) {
    if (values_equal(value, Value{true})) return 1;
    if (values_equal(value, Value{false})) return 0;
    throw ValueError(kInvalidBool);
}

std::uint32_t serialize_integer(DataType type, const Value& value) {
    const std::int64_t min = data_type_min_value(type);
    const std::int64_t max = data_type_max_value(type);
    std::int64_t integer = 0;
    if (auto* d = std::get_if<double>(&value)) {
        // Range first (NaN passes both tests, as it compares false), then the type: a real
        // number is never taken for an integer, so nothing is truncated.
        if (*d < static_cast<double>(min) || *d > static_cast<double>(max)) throw ValueError();
        throw TypeError("value must be an integer for " + std::string(data_type_name(type)) +
                        ", not float");
    }
    if (auto* b = std::get_if<bool>(&value)) {
        integer = *b ? 1 : 0;
    } else {
        integer = std::get<std::int64_t>(value);
    }
    if (integer < min || integer > max) throw ValueError();
    if (integer < 0) integer += std::int64_t{1} << data_type_bits(type);
    return static_cast<std::uint32_t>(integer);
}

}  // namespace

std::uint32_t serialize_value(DataType type, const Value& value) {
    switch (type) {
        case DataType::FLOAT:
            return serialize_float(value);
        case DataType::BOOL:
            return serialize_bool(value);
        default:
            return serialize_integer(type, value);
    }
}

std::uint8_t serialize_bytes(DataType type, const Value& value, std::uint8_t out[4]) {
    const std::uint32_t raw = serialize_value(type, value);
    const std::uint8_t n = static_cast<std::uint8_t>(data_type_bytes(type));
    for (std::uint8_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(raw >> (8 * i));
    return n;
}

VELMORA_CYCLE_CODE
Value unserialize_value(DataType type, std::int64_t value) {
    if (type == DataType::BOOL) return Value{value != 0};
    if (type == DataType::FLOAT) {
        if (value < 0) throw OverflowError("can't convert negative int to unsigned");
        if (value > std::int64_t{0xFFFFFFFF}) throw OverflowError("int too big to convert");
        const auto bits = static_cast<std::uint32_t>(value);
        float f = 0.0F;
        std::memcpy(&f, &bits, sizeof f);
        return Value{static_cast<double>(f)};
    }
    if (data_type_is_signed(type)) {
        const int bits = data_type_bits(type);
        // The sign bit of the type's width, on the full integer: bits above pass through.
        if ((value >> (bits - 1)) & 1) {
            const std::int64_t offset = std::int64_t{1} << bits;
            if (value < std::numeric_limits<std::int64_t>::min() + offset) {
                throw OverflowError("value too small to convert");
            }
            return Value{value - offset};
        }
    }
    return Value{value};
}

}  // namespace velmora
