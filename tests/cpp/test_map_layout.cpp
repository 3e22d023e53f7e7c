#include <gtest/gtest.h>

#include <string>

#include "map_test_items.hpp"
#include "mapping/dictionary_map.hpp"
#include "protocol/errors.hpp"

using namespace velmora;
using namespace velmora::testing;

namespace {

class MapLayoutTest : public ::testing::Test {
  protected:
    std::shared_ptr<DictionaryItemOutput> a8 = output(1, "a8", DataType::UINT8);
    std::shared_ptr<DictionaryItemOutput> b16 = output(2, "b16", DataType::UINT16);
    std::shared_ptr<DictionaryItemOutput> x8 = output(3, "x8", DataType::INT8);
    std::shared_ptr<DictionaryItemOutput> flag = output(4, "flag", DataType::BOOL);
    std::shared_ptr<DictionaryItemInputOutput> c32 = in_out(5, "c32", DataType::FLOAT);
    std::shared_ptr<DictionaryItemInput> in8 = input(6, "in8", DataType::UINT8);
    DictionaryPtr dictionary =
        std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{a8, b16, x8, flag, c32, in8});
    DictionaryMap map{dictionary, {ItemKind::Output, ItemKind::InputOutput}};
};

TEST_F(MapLayoutTest, BestPositionFillsAPaddingThatShrinksToNothing) {
    map.add(a8);
    map.add_padding(16);
    auto b = map.insert_in_best_position(b16, 8);
    EXPECT_EQ(b->position_bits(), 8);
    EXPECT_EQ(layout(map), (std::vector<Layout>{{a8.get(), 8, 0}, {b16.get(), 16, 8}}));
}

TEST_F(MapLayoutTest, BestPositionAppendsWhenNoPaddingIsWideEnough) {
    map.add(flag);
    map.add_padding(15);
    map.insert_in_best_position(b16, 8);
    EXPECT_EQ(layout(map),
              (std::vector<Layout>{{flag.get(), 1, 0}, {nullptr, 7, 1}, {b16.get(), 16, 8}}));
}

TEST_F(MapLayoutTest, BestPositionKeepsTheGapBeforeTheAlignedPosition) {
    map.add(a8, 4);
    auto padding = map.add_padding(12);
    map.insert_in_best_position(x8, 8);
    EXPECT_EQ(layout(map),
              (std::vector<Layout>{{a8.get(), 4, 0}, {nullptr, 4, 4}, {x8.get(), 8, 8}}));
    EXPECT_EQ(map.at(1), padding);
}

TEST_F(MapLayoutTest, BestPositionWithoutAlignmentMayLandOnAnOddBit) {
    map.add(flag);
    map.add_padding(20);
    auto b = map.insert_in_best_position(b16);
    EXPECT_EQ(b->position_bits(), 1);
    EXPECT_EQ(layout(map),
              (std::vector<Layout>{{flag.get(), 1, 0}, {b16.get(), 16, 1}, {nullptr, 4, 17}}));
}

TEST_F(MapLayoutTest, BestPositionTakesTheFirstFitNotTheTightest) {
    map.add_padding(20);
    map.add(a8);
    map.add_padding(8);
    map.insert_in_best_position(x8, 8);
    EXPECT_EQ(layout(map),
              (std::vector<Layout>{
                  {x8.get(), 8, 0}, {nullptr, 12, 8}, {a8.get(), 8, 20}, {nullptr, 8, 28}}));
}

TEST_F(MapLayoutTest, BestPositionMergesPaddingsFirst) {
    map.add(a8);
    map.add_padding(4);
    map.add_padding(4);
    map.insert_in_best_position(x8, 8);
    EXPECT_EQ(layout(map), (std::vector<Layout>{{a8.get(), 8, 0}, {x8.get(), 8, 8}}));
}

TEST_F(MapLayoutTest, BestPositionRefusalsChangeNothing) {
    map.add(a8);
    map.add_padding(4);
    map.add_padding(12);
    const auto before = entries(map);
    EXPECT_THROW(map.insert_in_best_position(a8, 8), FSoEAlreadyMappedException);
    EXPECT_THROW(map.insert_in_best_position(in8, 8), PermissionError);
    EXPECT_THROW(map.insert_in_best_position(nullptr, 8), TypeError);
    EXPECT_THROW(map.insert_in_best_position(x8, 0), ZeroDivisionError);
    EXPECT_THROW(map.insert_in_best_position(x8, 70000), OverflowError);
    EXPECT_EQ(entries(map), before);
}

TEST_F(MapLayoutTest, MisalignedAppendKeepsTheDroppedAndAddedPaddings) {
    map.add(flag);
    map.add_padding(3);
    EXPECT_THROW(map.insert_in_best_position(b16, 4), IndexError);
    EXPECT_EQ(layout(map), (std::vector<Layout>{{flag.get(), 1, 0}, {nullptr, 3, 1}}));
    EXPECT_FALSE(map.is_mapped(*b16));
}

TEST_F(MapLayoutTest, OverflowWhileScanningRestoresTheMergedPaddings) {
    map.add(b16, 250);
    map.add_padding(4);
    map.add_padding(5);
    const auto before = layout(map);
    EXPECT_THROW(map.insert_in_best_position(x8, 8), OverflowError);  // aligned start 256
    EXPECT_EQ(layout(map), before);
}

TEST_F(MapLayoutTest, OverflowWhilePlacingRestoresTheShrunkPadding) {
    map.add(b16, 248);
    map.add_padding(100);
    const auto before = layout(map);
    EXPECT_THROW(map.insert_in_best_position(c32, 8), OverflowError);  // rest starts at 280
    EXPECT_EQ(layout(map), before);
    EXPECT_FALSE(map.is_mapped(*c32));
}

struct CompleteCase {
    const char* name;
    std::vector<int> widths;  // negative: padding of -width bits
    std::vector<int> expected;
};

class CompleteWithPaddingTest : public MapLayoutTest,
                                public ::testing::WithParamInterface<CompleteCase> {};

std::vector<int> widths_of(const DictionaryMap& map) {
    std::vector<int> result;
    for (const auto& e : map._items()) result.push_back(e->is_padding() ? -e->bits() : e->bits());
    return result;
}

TEST_P(CompleteWithPaddingTest, ReachesTheSizeRule) {
    for (int w : GetParam().widths) {
        if (w < 0) {
            map.add_padding(-w);
        } else {
            map.insert(static_cast<std::int64_t>(map.size()), map.unmapped_dictionary_items()[0],
                       w);
        }
    }
    map.complete_with_padding();
    EXPECT_EQ(widths_of(map), GetParam().expected);
    const int bits = map.safety_bits();
    EXPECT_TRUE(bits == 8 || bits % 16 == 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, CompleteWithPaddingTest,
                         ::testing::Values(CompleteCase{"empty", {}, {-8}},
                                           CompleteCase{"five_bits", {5}, {5, -3}},
                                           CompleteCase{"eight_bits", {8}, {8}},
                                           CompleteCase{"nine_bits_padding_last", {8, -1}, {8, -8}},
                                           CompleteCase{"nine_bits_item_last", {1, 8}, {1, 8, -7}},
                                           CompleteCase{"sixteen_bits", {16}, {16}},
                                           CompleteCase{"seventeen_bits", {16, 1}, {16, 1, -15}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MapLayoutTest, CompleteWidensTheSameTrailingPadding) {
    map.add(a8);
    auto padding = map.add_padding(1);
    map.complete_with_padding();
    EXPECT_EQ(map.at(-1), padding);
    EXPECT_EQ(padding->bits(), 8);
}

TEST_F(MapLayoutTest, CompleteRefusesAWidthAboveTheField) {
    map.add_padding(250);
    EXPECT_THROW(map.complete_with_padding(), OverflowError);
    EXPECT_EQ(layout(map), (std::vector<Layout>{{nullptr, 250, 0}}));
}

class TrimMapTest : public CompleteWithPaddingTest {};

TEST_P(TrimMapTest, KeepsItemsAndTheSizeRule) {
    for (int w : GetParam().widths) {
        if (w < 0) {
            map.add_padding(-w);
        } else {
            map.insert(static_cast<std::int64_t>(map.size()), map.unmapped_dictionary_items()[0],
                       w);
        }
    }
    map.trim_map();
    EXPECT_EQ(widths_of(map), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrimMapTest,
    ::testing::Values(CompleteCase{"empty", {}, {-8}}, CompleteCase{"item8_pad24", {8, -24}, {8}},
                      CompleteCase{"item12_pad20", {12, -20}, {12, -4}},
                      CompleteCase{"only_paddings", {-3, -5, -16}, {-8}},
                      CompleteCase{"split_trailing", {8, -4, -4, -8}, {8}},
                      CompleteCase{"inner_padding_kept", {4, -30, 8, -2}, {4, -30, 8, -6}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MapLayoutTest, TrimOverflowRestoresTheMerge) {
    map.add(b16, 200);
    map.add_padding(20);
    map.add_padding(20);
    map.add(a8, 20);  // ends at bit 260: completing it would start a padding there
    const auto before = layout(map);
    EXPECT_THROW(map.trim_map(), OverflowError);
    EXPECT_EQ(layout(map), before);
}

TEST_F(MapLayoutTest, MergeKeepsPositions) {
    auto first = map.add_padding(3);
    map.add_padding(5);
    map.add(a8);
    auto third = map.add_padding(2);
    map.add_padding(2);
    map.merge_adjacent_paddings();
    EXPECT_EQ(layout(map),
              (std::vector<Layout>{{nullptr, 8, 0}, {a8.get(), 8, 8}, {nullptr, 4, 16}}));
    EXPECT_EQ(map.at(0), first);
    EXPECT_EQ(map.at(2), third);
}

TEST_F(MapLayoutTest, MergeRefusesAWidthAboveTheFieldBeforeMergingAnything) {
    map.add_padding(3);
    map.add_padding(5);
    map.add(a8);
    map.add_padding(200);
    map.add_padding(100);  // 200 + 100 does not fit 8 bits
    const auto before = entries(map);
    EXPECT_THROW(map.merge_adjacent_paddings(), OverflowError);
    EXPECT_EQ(entries(map), before);
    EXPECT_EQ(map.at(0)->bits(), 3);
}

TEST_F(MapLayoutTest, TransformToPaddingKeepsEveryPosition) {
    auto a = map.add(a8);
    map.add(b16);
    auto f = map.add(flag);
    const auto before = layout(map);
    map.transform_to_padding(*b16);
    auto after = layout(map);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].bits, before[i].bits);
        EXPECT_EQ(after[i].position, before[i].position);
    }
    EXPECT_EQ(after[1].item, nullptr);
    EXPECT_FALSE(map.is_mapped(*b16));
    map.transform_to_padding(*f);
    EXPECT_FALSE(map.contains(*f));
    EXPECT_TRUE(map.at(2)->is_padding());
    // Not in the map: an entry is a value error, an item is ignored.
    EXPECT_THROW(map.transform_to_padding(*f), ValueError);
    EXPECT_NO_THROW(map.transform_to_padding(*x8));
    EXPECT_EQ(map.at(0), a);
}

}  // namespace
