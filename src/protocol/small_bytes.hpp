#pragma once
// Copying and comparing a few bytes (a frame is at most 36) without a call into the C
// library. Cold, a call to memcpy or memcmp is code on a page of its own to fetch; these are
// a handful of loads and stores: two fixed-size, possibly overlapping, accesses cover any
// length between a power of two and twice that. Beyond 64 bytes they call the library.
// Always inlined: a call would put them on lines of their own, outside the code that uses
// them (a file built for size keeps small functions out of line).
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmora {
namespace detail {

template <std::size_t N>
[[gnu::always_inline]]
inline void copy_pair(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept {
    // Both loads before the stores: the ranges may be the same buffer's overlapping halves.
    std::uint8_t head[N];
    std::uint8_t tail[N];
    __builtin_memcpy(head, src, N);
    __builtin_memcpy(tail, src + n - N, N);
    __builtin_memcpy(dst, head, N);
    __builtin_memcpy(dst + n - N, tail, N);
}

// The bits in which N bytes at a and at b differ, folded into one word.
template <std::size_t N>
[[gnu::always_inline]]
inline std::uint64_t difference(const std::uint8_t* a, const std::uint8_t* b) noexcept {
    if constexpr (N >= 8) {
        std::uint64_t folded = 0;
        for (std::size_t i = 0; i < N; i += 8) {
            std::uint64_t x = 0;
            std::uint64_t y = 0;
            __builtin_memcpy(&x, a + i, 8);
            __builtin_memcpy(&y, b + i, 8);
            folded |= x ^ y;
        }
        return folded;
    } else if constexpr (N == 4) {
        std::uint32_t x = 0;
        std::uint32_t y = 0;
        __builtin_memcpy(&x, a, 4);
        __builtin_memcpy(&y, b, 4);
        return x ^ y;
    } else {
        static_assert(N == 2);
        std::uint16_t x = 0;
        std::uint16_t y = 0;
        __builtin_memcpy(&x, a, 2);
        __builtin_memcpy(&y, b, 2);
        return static_cast<std::uint64_t>(x ^ y);
    }
}

template <std::size_t N>
[[gnu::always_inline]]
inline bool equal_pair(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
    return (difference<N>(a, b) | difference<N>(a + n - N, b + n - N)) == 0;
}

}  // namespace detail

[[gnu::always_inline]]
inline void small_copy(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept {
    if (n >= 32) {
        if (n > 64) {
            std::memcpy(dst, src, n);
        } else {
            detail::copy_pair<32>(dst, src, n);
        }
    } else if (n >= 16) {
        detail::copy_pair<16>(dst, src, n);
    } else if (n >= 8) {
        detail::copy_pair<8>(dst, src, n);
    } else if (n >= 4) {
        detail::copy_pair<4>(dst, src, n);
    } else if (n >= 2) {
        detail::copy_pair<2>(dst, src, n);
    } else if (n == 1) {
        dst[0] = src[0];
    }
}

[[gnu::always_inline]]
inline bool small_equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
    if (n >= 32) {
        return n > 64 ? std::memcmp(a, b, n) == 0 : detail::equal_pair<32>(a, b, n);
    }
    if (n >= 16) return detail::equal_pair<16>(a, b, n);
    if (n >= 8) return detail::equal_pair<8>(a, b, n);
    if (n >= 4) return detail::equal_pair<4>(a, b, n);
    if (n >= 2) return detail::equal_pair<2>(a, b, n);
    return n == 0 || a[0] == b[0];
}

}  // namespace velmora
