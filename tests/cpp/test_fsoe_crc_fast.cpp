// The table-folded and the carry-less-multiplication block CRCs against the straightforward
// per-block computation.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "frame/frame.hpp"
#include "frame/fsoe_crc_fast.hpp"
#include "frame/fsoe_frame.hpp"

using namespace velmora;

namespace {

FSOE_SFrame random_frame(std::mt19937& rng, std::uint16_t size) {
    std::uniform_int_distribution<unsigned> word(0, 0xFFFF);
    FSOE_SFrame f{};
    // The command is a byte on the wire; a wider value must be reduced the same way by both.
    f.sControl = {static_cast<std::uint16_t>(word(rng) & (rng() % 4 == 0 ? 0xFFFF : 0xFF)),
                  static_cast<std::uint16_t>(word(rng)), static_cast<std::uint16_t>(word(rng)),
                  static_cast<std::uint16_t>(word(rng))};
    for (auto& w : f.au16Data) w = static_cast<std::uint16_t>(word(rng));
    for (auto& w : f.au16Crc) w = static_cast<std::uint16_t>(word(rng));
    f.u16DataSizeBytes = size;
    return f;
}

}  // namespace

class FastCrcBySize : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(FastCrcBySize, SameCrcsAndCheckResultsAsTheReference) {
    const std::uint16_t size = GetParam();
    std::mt19937 rng(0xC0FFEEu + size);
    for (int round = 0; round < 2000; ++round) {
        const FSOE_SFrame original = random_frame(rng, size);

        FSOE_SFrame plain = original;
        FSOE_SFrame fast = original;
        FSOE_FrameGenerateCrc(&plain);
        FSOE_FrameGenerateCrcFast(&fast);
        ASSERT_EQ(std::memcmp(&plain, &fast, sizeof plain), 0) << "size " << size;
        ASSERT_EQ(FSOE_FrameCalcCrc0Fast(&original), FSOE_FrameCalcCrc0(&original));

        // Valid, one block corrupted, and the random CRCs of the original: the verdict and
        // the calculated CRCs agree, and neither touches entries beyond the blocks.
        FSOE_SFrame corrupted = plain;
        const std::uint16_t blocks = FSOE_GetDataSizeWords(size);
        if (blocks > 0) {
            corrupted.au16Crc[rng() % blocks] ^= static_cast<std::uint16_t>(1u << (rng() % 16));
        }
        const FSOE_SFrame* frames[] = {&plain, &corrupted, &original};
        for (const FSOE_SFrame* frame : frames) {
            std::uint16_t out_plain[MAX_CRC_WORDS], out_fast[MAX_CRC_WORDS];
            std::memset(out_plain, 0xA5, sizeof out_plain);
            std::memset(out_fast, 0xA5, sizeof out_fast);
            const bool result_plain = FSOE_FrameCheckCrc(frame, out_plain);
            ASSERT_EQ(FSOE_FrameCheckCrcFast(frame, out_fast), result_plain);
            ASSERT_EQ(std::memcmp(out_plain, out_fast, sizeof out_plain), 0);
            ASSERT_EQ(FSOE_FrameCheckCrcFast(frame, nullptr), FSOE_FrameCheckCrc(frame, nullptr));
        }
        // Both ways of computing them, whichever the CPU makes the cycle use.
        std::uint16_t by_table[MAX_CRC_WORDS], by_product[MAX_CRC_WORDS];
        std::memset(by_table, 0x5A, sizeof by_table);
        std::memset(by_product, 0x5A, sizeof by_product);
        ASSERT_EQ(detail::fsoe_block_crcs_table(&original, by_table), blocks);
        ASSERT_EQ(detail::fsoe_block_crcs_clmul(&original, by_product), blocks);
        ASSERT_EQ(std::memcmp(by_table, by_product, sizeof by_table), 0) << "size " << size;
        ASSERT_EQ(std::memcmp(by_table, plain.au16Crc, blocks * sizeof(std::uint16_t)), 0);
        EXPECT_TRUE(FSOE_FrameCheckCrcFast(&plain, nullptr));
        if (blocks > 0) {
            EXPECT_FALSE(FSOE_FrameCheckCrcFast(&corrupted, nullptr));
        }
    }
}

// Every valid size, the odd sizes a host may set, and sizes beyond the record (clamped).
INSTANTIATE_TEST_SUITE_P(AllSizes, FastCrcBySize,
                         ::testing::Values<std::uint16_t>(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                                          13, 14, 15, 16, 17, 255, 0xFFFF));

TEST(FastCrc, ControlPrefixIsTheRegisterAfterTheSharedSevenBytes) {
    FSOE_SFrameControl c{0x2A, 0x0102, 0x0304, 0x0506};
    const std::uint16_t words[4] = {0x0506, 0x0304, 0x0102, 0x002A};
    // Three words and then the command byte alone.
    std::uint16_t reg = FSOE_Crc(words, 3);
    reg = FSOE_CrcByte(reg, 0x2A);
    EXPECT_EQ(FSOE_CrcControlPrefix(&c), reg);
}

TEST(FastCrc, FrameObjectsUseResultsOfTheReference) {
    std::mt19937 rng(7);
    for (std::uint16_t size : {1, 2, 16}) {
        FSOEFrame frame(0);
        frame.record() = random_frame(rng, size);
        FSOE_SFrame reference = frame.record();
        FSOE_FrameGenerateCrc(&reference);
        frame.generate_crcs();
        EXPECT_EQ(std::memcmp(&frame.record(), &reference, sizeof reference), 0);
        EXPECT_EQ(frame.calc_crc0(), reference.au16Crc[0]);
        EXPECT_TRUE(frame.check_crcs());
    }
}
