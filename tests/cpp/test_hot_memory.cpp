// The memory of the cycle data: blocks of every class aligned, apart and reused, the memory
// flat when objects come and go, and a handler's cycle data in it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "engine/master_handler.hpp"
#include "map_test_items.hpp"
#include "model/hot_memory.hpp"

using namespace velmora;
using namespace velmora::testing;

namespace {

struct Block {
    void* at;
    std::size_t bytes;
    std::size_t alignment;
    unsigned char fill;
};

Block take(std::size_t bytes, std::size_t alignment, unsigned char fill) {
    void* at = hot_allocate(bytes, alignment);
    std::memset(at, fill, bytes);
    return {at, bytes, alignment, fill};
}

// Every byte still holds what was written: no block was handed out twice.
bool intact(const Block& b) {
    const auto* p = static_cast<const unsigned char*>(b.at);
    for (std::size_t i = 0; i < b.bytes; ++i) {
        if (p[i] != b.fill) return false;
    }
    return true;
}

void give_back(const Block& b) { hot_release(b.at, b.bytes, b.alignment); }

}  // namespace

class HotBlocks : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(HotBlocks, AreAlignedApartAndReusedOnceReleased) {
    const auto [bytes, alignment] = GetParam();
    std::vector<Block> blocks;
    for (unsigned i = 0; i < 64; ++i) {
        blocks.push_back(take(bytes, alignment, static_cast<unsigned char>(i)));
    }
    for (const Block& b : blocks) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.at) % alignment, 0u) << bytes;
        ASSERT_TRUE(intact(b)) << bytes;
        EXPECT_EQ(hot_memory_holds(b.at), hot_memory_pooled() && bytes <= kMaxBlockBytes);
    }
    if (hot_memory_pooled() && bytes <= kMaxBlockBytes) {
        void* released = blocks[10].at;
        give_back(blocks[10]);
        blocks[10] = take(bytes, alignment, 10);
        EXPECT_EQ(blocks[10].at, released);
    }
    for (const Block& b : blocks) give_back(b);
}

using SizeAndAlignment = std::pair<std::size_t, std::size_t>;
INSTANTIATE_TEST_SUITE_P(SizesAndAlignments, HotBlocks,
                         ::testing::Values(SizeAndAlignment{1, 1}, SizeAndAlignment{16, 16},
                                           SizeAndAlignment{24, 32}, SizeAndAlignment{40, 8},
                                           SizeAndAlignment{40, 32}, SizeAndAlignment{48, 16},
                                           SizeAndAlignment{8, 64}, SizeAndAlignment{65, 64},
                                           SizeAndAlignment{1500, 16}, SizeAndAlignment{4096, 64},
                                           SizeAndAlignment{kMaxBlockBytes, 64},
                                           SizeAndAlignment{kMaxBlockBytes + 1, 64},
                                           SizeAndAlignment{100000, 16}));

TEST(HotMemory, StaysFlatWhenObjectsComeAndGo) {
    if (!hot_memory_pooled()) GTEST_SKIP() << "plain operator new in sanitizer builds";
    const std::size_t sizes[] = {16, 48, 200, 1500, 5000, 24, 4096};
    auto round = [&] {
        std::vector<Block> blocks;
        for (int copy = 0; copy < 50; ++copy) {
            for (std::size_t s : sizes) blocks.push_back(take(s, 16, 0x5a));
        }
        for (const Block& b : blocks) ASSERT_TRUE(intact(b));
        for (const Block& b : blocks) give_back(b);
    };
    round();
    const std::size_t reserved = hot_memory_reserved_bytes();
    EXPECT_GT(reserved, 0u);
    for (int i = 0; i < 200; ++i) round();
    EXPECT_EQ(hot_memory_reserved_bytes(), reserved);
}

TEST(HotMemory, HandsOutEachBlockOnceAcrossThreads) {
    auto worker = [](unsigned char fill, bool* ok) {
        std::vector<Block> live;
        for (int i = 0; i < 4000; ++i) {
            live.push_back(take(16 + 40 * (i % 9), 16, fill));
            if (live.size() > 50) {
                if (!intact(live.front())) *ok = false;
                give_back(live.front());
                live.erase(live.begin());
            }
        }
        for (const Block& b : live) {
            if (!intact(b)) *ok = false;
            give_back(b);
        }
    };
    bool ok[3] = {true, true, true};
    std::thread a(worker, 0x11, &ok[0]), b(worker, 0x22, &ok[1]);
    worker(0x33, &ok[2]);
    a.join();
    b.join();
    EXPECT_TRUE(ok[0] && ok[1] && ok[2]);
}

TEST(HotMemory, HoldsTheCycleDataOfAHandler) {
    if (!hot_memory_pooled()) GTEST_SKIP() << "plain operator new in sanitizer builds";
    auto out = output(1, "out", DataType::UINT16);
    auto in = input(2, "in", DataType::UINT16);
    auto dictionary = std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{out, in});
    auto handler =
        std::allocate_shared<MasterHandler>(HotAllocator<MasterHandler>{}, dictionary, 1, 1, 1.0);
    handler->master().dictionary_map()->add(out);
    handler->slave().dictionary_map()->add(in);
    EXPECT_TRUE(hot_memory_holds(handler.get()));
    EXPECT_TRUE(hot_memory_holds(&handler->_watchdog()));
    for (Node* node : {&handler->master(), &handler->slave()}) {
        EXPECT_TRUE(hot_memory_holds(node));
        const DictionaryMap& map = *node->dictionary_map();
        EXPECT_TRUE(hot_memory_holds(&map));
        ASSERT_EQ(map._transfer_plan().size(), 1u);
        EXPECT_TRUE(hot_memory_holds(map._transfer_plan().data()));
        EXPECT_TRUE(hot_memory_holds(map._transfer_plan()[0].state));
    }
    handler->delete_();
}
