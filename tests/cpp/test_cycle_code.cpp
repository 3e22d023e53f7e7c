// The Data cycle's code is kept in one section that a new reply fetches at once.
#include <gtest/gtest.h>

#include <cstdint>

#include "frame/fsoe_crc_fast.hpp"
#include "frame/fsoe_frame_bytes.hpp"
#include "protocol/cycle_code.hpp"

using namespace velmora;

namespace {

bool inside(std::span<const char> code, const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const auto begin = reinterpret_cast<std::uintptr_t>(code.data());
    return at >= begin && at < begin + code.size();
}

}  // namespace

TEST(CycleCode, HoldsTheCyclesFunctionsAndIsSmall) {
#if defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
    const std::span<const char> code = cycle_code();
    ASSERT_FALSE(code.empty()) << "the section is missing or far too large";
    // A few lines are no section; several pages would be more than a cycle runs.
    EXPECT_GT(code.size(), 1024u);
    EXPECT_LE(code.size(), 48u * 1024u);
    // Functions of the cycle from three parts of the library, and the prefetch itself.
    EXPECT_TRUE(inside(code, reinterpret_cast<const void*>(&FSOE_FrameCalcCrcsFast)));
    EXPECT_TRUE(inside(code, reinterpret_cast<const void*>(&FSOE_FrameFromBytes)));
    EXPECT_TRUE(inside(code, reinterpret_cast<const void*>(&prefetch_cycle_code)));
    // Code that no cycle runs stays out.
    EXPECT_FALSE(inside(code, reinterpret_cast<const void*>(&FSOE_FrameCalcCrc0Fast)));
#else
    GTEST_SKIP() << "no named sections on this platform";
#endif
}
