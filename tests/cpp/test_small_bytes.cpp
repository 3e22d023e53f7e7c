// Copies and comparisons of a few bytes without the C library, against memcpy and memcmp.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>

#include "engine/steady_now.hpp"
#include "protocol/small_bytes.hpp"

using namespace velmora;

class SmallBytesByLength : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SmallBytesByLength, CopiesExactlyTheBytesAndComparesEveryOne) {
    const std::size_t n = GetParam();
    std::array<std::uint8_t, 100> source{};
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 37 + 11);
    // Offsets make the accesses unaligned; the guard bytes around the copy must stay.
    for (std::size_t offset : {0u, 1u, 3u}) {
        std::array<std::uint8_t, 100> target;
        target.fill(0xEE);
        small_copy(target.data() + offset, source.data(), n);
        EXPECT_EQ(std::memcmp(target.data() + offset, source.data(), n), 0) << n;
        for (std::size_t i = 0; i < offset; ++i) EXPECT_EQ(target[i], 0xEE);
        for (std::size_t i = offset + n; i < target.size(); ++i) EXPECT_EQ(target[i], 0xEE) << n;

        EXPECT_TRUE(small_equal(target.data() + offset, source.data(), n));
        // A difference in any single bit of any byte is found.
        for (std::size_t at = 0; at < n; ++at) {
            for (unsigned bit : {0u, 7u}) {
                target[offset + at] ^= static_cast<std::uint8_t>(1u << bit);
                EXPECT_FALSE(small_equal(target.data() + offset, source.data(), n)) << n << " " << at;
                target[offset + at] ^= static_cast<std::uint8_t>(1u << bit);
            }
        }
    }
}

// Every length a frame can have, each boundary of the pairs, and the library's range.
INSTANTIATE_TEST_SUITE_P(Lengths, SmallBytesByLength,
                         ::testing::Values<std::size_t>(0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31,
                                                        32, 33, 35, 36, 63, 64, 65, 90));

TEST(SmallBytes, NoBytesNeedNoValidPointers) {
    small_copy(nullptr, nullptr, 0);
    EXPECT_TRUE(small_equal(nullptr, nullptr, 0));
}

TEST(SteadyNow, IsTheStandardSteadyClock) {
    for (int i = 0; i < 100; ++i) {
        const auto before = std::chrono::steady_clock::now();
        const auto now = steady_now();
        const auto after = std::chrono::steady_clock::now();
        ASSERT_LE(before, now);
        ASSERT_LE(now, after);
    }
}
