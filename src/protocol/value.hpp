#pragma once
// A value in application form: a boolean, an integer or a real number.
#include <cstdint>
#include <variant>

namespace velmora {

using Value = std::variant<bool, std::int64_t, double>;

// Numeric comparison across the three kinds (1 == 1.0 == true), as the host compares values.
bool values_equal(const Value& a, const Value& b) noexcept;

}  // namespace velmora
