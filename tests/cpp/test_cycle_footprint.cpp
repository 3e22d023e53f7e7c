// The cache lines a handler fetches at the start of a cycle: every byte of what it lists,
// each line once, and the entries and items of a map.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>

#include "engine/cycle_footprint.hpp"
#include "map_test_items.hpp"

using namespace velmora;
using namespace velmora::testing;

class FootprintRanges : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(FootprintRanges, ListsEveryLineOfARangeOnce) {
    const auto [offset, bytes] = GetParam();
    alignas(64) static char buffer[1024];
    CycleFootprint footprint;
    footprint.add(buffer + offset, bytes);
    footprint.add(buffer + offset, bytes);  // twice: still each line once
    footprint.finish();
    const std::size_t first = offset / 64;
    const std::size_t last = (offset + bytes - 1) / 64;
    EXPECT_EQ(footprint.lines(), last - first + 1);
    for (std::size_t i = 0; i < bytes; ++i) ASSERT_TRUE(footprint.covers(buffer + offset + i));
    if (first > 0) {
        EXPECT_FALSE(footprint.covers(buffer + first * 64 - 1));
    }
    EXPECT_FALSE(footprint.covers(buffer + (last + 1) * 64));
}

INSTANTIATE_TEST_SUITE_P(Offsets, FootprintRanges,
                         ::testing::Values(std::pair<std::size_t, std::size_t>{0, 1},
                                           std::pair<std::size_t, std::size_t>{0, 64},
                                           std::pair<std::size_t, std::size_t>{63, 2},
                                           std::pair<std::size_t, std::size_t>{70, 200},
                                           std::pair<std::size_t, std::size_t>{128, 129}));

TEST(Footprint, EmptyRangesAddNothing) {
    CycleFootprint footprint;
    char byte = 0;
    footprint.add(nullptr, 64);
    footprint.add(&byte, 0);
    footprint.finish();
    EXPECT_EQ(footprint.lines(), 0u);
}

TEST(Footprint, MergesRunsThatTouchOrOverlap) {
    alignas(64) static char buffer[1024];
    CycleFootprint footprint;
    footprint.add(buffer + 512, 64);
    footprint.add(buffer, 10);
    footprint.add(buffer + 64, 100);  // lines 1-2, next to line 0
    footprint.add(buffer + 130, 4);   // inside line 2
    footprint.finish();
    EXPECT_EQ(footprint.runs(), 2u);
    EXPECT_EQ(footprint.lines(), 4u);
    EXPECT_TRUE(footprint.covers(buffer + 191));
    EXPECT_FALSE(footprint.covers(buffer + 192));
    EXPECT_TRUE(footprint.covers(buffer + 575));
}

TEST(Footprint, BeyondItsCapacityRunsAreLeftOut) {
    alignas(64) static char buffer[64 * 2 * (CycleFootprint::kCapacity + 4)];
    CycleFootprint footprint;
    for (std::size_t i = 0; i < CycleFootprint::kCapacity + 4; ++i) {
        footprint.add(buffer + 128 * i, 1);  // every other line: nothing merges
    }
    footprint.finish();
    EXPECT_EQ(footprint.runs(), CycleFootprint::kCapacity);
    EXPECT_TRUE(footprint.covers(buffer));
    EXPECT_FALSE(footprint.covers(buffer + 128 * (CycleFootprint::kCapacity + 3)));
}

TEST(Footprint, CoversTheMapItsPlanAndItsItemsStates) {
    auto a = input(1, "a", DataType::UINT16);
    auto b = input(2, "b", DataType::UINT8);
    auto dictionary = std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{a, b});
    DictionaryMap map(dictionary, {ItemKind::Input});
    map.add(a);
    map.add_padding(3);
    map.add(b);
    CycleFootprint footprint;
    footprint.add_map(map);
    footprint.finish();
    const auto plan = map._transfer_plan();
    ASSERT_EQ(plan.size(), 2u);  // the padding carries nothing
    EXPECT_TRUE(footprint.covers(&map));
    EXPECT_TRUE(footprint.covers(plan.data()));
    EXPECT_TRUE(footprint.covers(reinterpret_cast<const char*>(plan.data()) + plan.size_bytes() - 1));
    for (const DictionaryItem* item : {static_cast<const DictionaryItem*>(a.get()),
                                       static_cast<const DictionaryItem*>(b.get())}) {
        const char* state = static_cast<const char*>(item->_cycle_state());
        EXPECT_TRUE(footprint.covers(state));
        EXPECT_TRUE(footprint.covers(state + item->_cycle_state_bytes() - 1));
    }
    // The map's line, the plan's 32 bytes (one line) and the two states: at most two lines.
    EXPECT_LE(footprint.lines(), 4u);
}

// Each item's state lies inside one line and no two overlap, whatever slots earlier items
// freed (slot reuse is how the states of items made together end up side by side).
TEST(Footprint, ItemStatesAreDistinctAndInsideOneLine) {
    std::vector<DictionaryItemPtr> items;
    for (int i = 0; i < 40; ++i) {
        items.push_back(output(i, "o", DataType::UINT16));
        items.push_back(input(100 + i, "i", DataType::INT8));
        if (i % 3 == 0) items.push_back(in_out(200 + i, "io", DataType::FLOAT));
        if (i % 5 == 0) items.erase(items.begin() + i / 2);  // frees a slot to reuse
    }
    std::vector<std::pair<std::uintptr_t, std::uintptr_t>> spans;
    for (const auto& item : items) {
        const auto at = reinterpret_cast<std::uintptr_t>(item->_cycle_state());
        const std::size_t bytes = item->_cycle_state_bytes();
        ASSERT_GT(bytes, 0u);
        EXPECT_EQ(at / 64, (at + bytes - 1) / 64) << "across a line";
        spans.emplace_back(at, at + bytes);
    }
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i) EXPECT_LE(spans[i - 1].second, spans[i].first);
    EXPECT_EQ(item_state_bytes(ItemKind::Base), 0u);
    DictionaryItem bare(1, "bare", DataType::UINT8);
    EXPECT_EQ(bare._cycle_state(), nullptr);
}
