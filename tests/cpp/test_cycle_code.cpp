// The Data cycle's code is kept in one section, apart from code no cycle runs.
#include <gtest/gtest.h>

#include <cstdint>

#include "frame/fsoe_crc_fast.hpp"
#include "frame/fsoe_frame_bytes.hpp"
#include "protocol/cycle_code.hpp"
#include "protocol/value.hpp"

using namespace velmora;

namespace {

bool inside(std::span<const char> code, const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const auto begin = reinterpret_cast<std::uintptr_t>(code.data());
    return at >= begin && at < begin + code.size();
}

}  // namespace

TEST(CycleCode, HoldsTheCyclesFunctions) {
#if defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
    const std::span<const char> code = cycle_code_section();
    ASSERT_FALSE(code.empty()) << "no section";
    EXPECT_GT(code.size(), 1024u);  // a few lines are not the cycle's code
    // Functions of the cycle from three parts of the library.
    EXPECT_TRUE(inside(code, reinterpret_cast<const void*>(&FSOE_FrameCalcCrcsFast)));
    EXPECT_TRUE(inside(code, reinterpret_cast<const void*>(&FSOE_FrameFromBytes)));
    EXPECT_TRUE(inside(code, reinterpret_cast<const void*>(&values_equal)));
    // Code that no cycle runs stays out.
    EXPECT_FALSE(inside(code, reinterpret_cast<const void*>(&FSOE_FrameCalcCrc0Fast)));
#else
    GTEST_SKIP() << "no named sections on this platform";
#endif
}
