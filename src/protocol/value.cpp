#include "protocol/value.hpp"
#include "protocol/cycle_code.hpp"

namespace velmora {

VELMORA_CYCLE_CODE
bool values_equal(const Value& a, const Value& b) noexcept {
    auto as_int = [](const Value& v, std::int64_t& out) {
        if (auto* flag = std::get_if<bool>(&v)) {
            out = *flag ? 1 : 0;
            return true;
        }
        if (auto* i = std::get_if<std::int64_t>(&v)) {
            out = *i;
            return true;
        }
        return false;
    };
    std::int64_t ia = 0, ib = 0;
    if (as_int(a, ia) && as_int(b, ib)) return ia == ib;
    auto as_double = [](const Value& v) {
        if (auto* flag = std::get_if<bool>(&v)) return *flag ? 1.0 : 0.0;
        if (auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
        return std::get<double>(v);
    };
    // An integer against a real: compare exactly, as Python does, not through a lossy cast.
    if (std::holds_alternative<double>(a) != std::holds_alternative<double>(b)) {
        double d = std::holds_alternative<double>(a) ? std::get<double>(a) : std::get<double>(b);
        const Value& other = std::holds_alternative<double>(a) ? b : a;
        std::int64_t i = 0;
        as_int(other, i);
        if (d != d) return false;
        if (d < -9.2233720368547758e18 || d >= 9.2233720368547758e18) return false;
        auto truncated = static_cast<std::int64_t>(d);
        return static_cast<double>(truncated) == d && truncated == i;
    }
    return as_double(a) == as_double(b);
}

}  // namespace velmora
