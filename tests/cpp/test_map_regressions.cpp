// Map faults once found by misuse: wide entries, zero-width maps, refused list edits.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <variant>

#include "frame/frame.hpp"
#include "map_test_items.hpp"
#include "mapping/dictionary_map.hpp"
#include "protocol/errors.hpp"

using namespace velmora;
using namespace velmora::testing;

namespace {

struct WideEntry {
    DataType type;
    int bits;
};

class WideEntryTest : public ::testing::TestWithParam<WideEntry> {};

// An entry wider than its type hands the item only the type's own bits, and its neighbour
// still gets its value.
TEST_P(WideEntryTest, ReceivedBitsAboveTheTypeStayOut) {
    const auto [type, bits] = GetParam();
    auto wide = in_out(1, "wide", type);
    auto after = in_out(2, "after", DataType::UINT8);
    DictionaryMap map{std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{wide, after}),
                      {ItemKind::Output, ItemKind::InputOutput}};
    map.add(wide, bits);
    map.add(after, 8, 8);
    FSOEFrame frame{36};
    for (std::size_t i = 0; i < 8; ++i) frame.safe_data()[i] = 0xFFFF;
    ASSERT_NO_THROW(map._get_data_from_frame(frame));
    EXPECT_EQ(std::get<std::int64_t>(after->get()), 255);
    if (data_type_is_integer(type)) {
        const auto value = std::get<std::int64_t>(wide->get());
        EXPECT_GE(value, data_type_min_value(type));
        EXPECT_LE(value, data_type_max_value(type));
        EXPECT_EQ(value, data_type_is_signed(type) ? -1 : data_type_max_value(type));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Types, WideEntryTest,
    ::testing::Values(WideEntry{DataType::UINT8, 12}, WideEntry{DataType::INT8, 12},
                      WideEntry{DataType::UINT16, 24}, WideEntry{DataType::INT16, 20},
                      WideEntry{DataType::FLOAT, 40}, WideEntry{DataType::BOOL, 3}));

class MapRegressionTest : public ::testing::Test {
  protected:
    std::shared_ptr<DictionaryItemOutput> out8 = output(1, "out8", DataType::UINT8);
    std::shared_ptr<DictionaryItemOutput> flag = output(2, "flag", DataType::BOOL);
    std::shared_ptr<DictionaryItemInputOutput> io32 = in_out(3, "io32", DataType::INT32);
    DictionaryPtr dictionary =
        std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{out8, flag, io32});
    DictionaryMap map{dictionary, {ItemKind::Output, ItemKind::InputOutput}};
};

TEST_F(MapRegressionTest, ZeroWidthEntriesAreCompletedToOneByte) {
    map.add(out8, 0);
    map.complete_with_padding();
    EXPECT_EQ(map.safety_bits(), 8);
    map.clear();
    map.add_padding(0);
    map.complete_with_padding();
    EXPECT_EQ(layout(map), (std::vector<Layout>{{nullptr, 8, 0}}));
    map.clear();
    map.add(out8, 0);
    map.trim_map();
    EXPECT_EQ(map.safety_bits(), 8);
}

// [out8, flag, io32, padding] with flag widened behind the map's back, so that every
// position recalculation overflows.
TEST_F(MapRegressionTest, RefusedRecalculationLeavesTheListAlone) {
    const std::vector<std::function<void(DictionaryMap&)>> edits = {
        [&](DictionaryMap& m) { m.remove(*m._items()[0]); },
        [&](DictionaryMap& m) { m.remove(*out8); },
        [&](DictionaryMap& m) { m.transform_to_padding(*m._items()[0]); },
        [&](DictionaryMap& m) { m.transform_to_padding(*out8); },
    };
    for (std::size_t i = 0; i < edits.size(); ++i) {
        SCOPED_TRACE(i);
        map.clear();
        map.add(out8);
        auto widened = map.add(flag);
        map.add(io32, std::nullopt, 8);
        map.add_padding(8);
        widened->_set_bits(250);
        const auto before = layout(map);
        const auto identity = entries(map);
        EXPECT_THROW(edits[i](map), OverflowError);
        EXPECT_EQ(layout(map), before);
        EXPECT_EQ(entries(map), identity);
    }
}

}  // namespace
