#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "map_test_items.hpp"
#include "mapping/dictionary_map.hpp"
#include "protocol/errors.hpp"

using namespace velmora;
using namespace velmora::testing;

namespace {

class DictionaryMapTest : public ::testing::Test {
  protected:
    std::shared_ptr<DictionaryItemOutput> out8 = output(1, "out8", DataType::UINT8);
    std::shared_ptr<DictionaryItemOutput> out16 = output(2, "out16", DataType::UINT16);
    std::shared_ptr<DictionaryItemInput> in8 = input(3, "in8", DataType::UINT8);
    std::shared_ptr<DictionaryItemInputOutput> io32 = in_out(4, "io32", DataType::INT32);
    std::shared_ptr<DictionaryItemOutput> flag = output(5, "flag", DataType::BOOL);
    DictionaryPtr dictionary =
        std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{out8, out16, in8, io32, flag});
    DictionaryMap map{dictionary, {ItemKind::Output, ItemKind::InputOutput}};
};

template <typename E>
std::string message_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    ADD_FAILURE() << "expected exception not thrown";
    return {};
}

TEST_F(DictionaryMapTest, SizesFollowTheLastEntry) {
    EXPECT_EQ(map.safety_bits(), 0);
    EXPECT_EQ(map.safety_bytes(), 0);
    map.add_padding(12);
    EXPECT_EQ(map.safety_bits(), 12);
    EXPECT_EQ(map.safety_bytes(), 2);
    map.add(out8);
    EXPECT_EQ(map.safety_bits(), 20);
    EXPECT_EQ(map.safety_bytes(), 3);
}

TEST_F(DictionaryMapTest, AddAppendsContiguousEntriesWithTheTypeWidth) {
    auto a = map.add(flag);
    auto b = map.add(out8, 4);
    auto c = map.add(io32, std::nullopt, 8);
    EXPECT_EQ(layout(map),
              (std::vector<Layout>{
                  {flag.get(), 1, 0}, {out8.get(), 4, 1}, {nullptr, 3, 5}, {io32.get(), 32, 8}}));
    EXPECT_EQ(map._items()[0], a);
    EXPECT_EQ(map._items()[1], b);
    EXPECT_EQ(map._items()[3], c);
}

TEST_F(DictionaryMapTest, AddRefusalsLeaveTheMapUnchanged) {
    map.add(out8);
    const auto before = layout(map);
    EXPECT_EQ(message_of<FSoEAlreadyMappedException>([&] { map.add(out8); }),
              "Item out8 is already mapped in the dictionary map");
    EXPECT_THROW(map.add(in8), PermissionError);
    EXPECT_EQ(std::string(message_of<PermissionError>([&] { map.add(in8); })), "");
    EXPECT_EQ(message_of<ValueError>([&] { map.add(nullptr); }),
              "Cannot add padding without indicating bits");
    // Refusals that come after the alignment padding was computed still add nothing.
    EXPECT_THROW(map.add(in8, std::nullopt, 16), PermissionError);
    EXPECT_THROW(map.add(nullptr, std::nullopt, 16), ValueError);
    EXPECT_THROW(map.add(out16, 256), OverflowError);
    EXPECT_THROW(map.add(out16, -1), OverflowError);
    EXPECT_THROW(map.add(out16, std::nullopt, 0), ZeroDivisionError);
    EXPECT_THROW(map.add(out16, std::nullopt, -8), OverflowError);
    EXPECT_EQ(layout(map), before);
}

TEST_F(DictionaryMapTest, AddWithAlignmentPadsFirst) {
    map.add_padding(3);
    auto entry = map.add(out16, std::nullopt, 8);
    EXPECT_EQ(layout(map),
              (std::vector<Layout>{{nullptr, 3, 0}, {nullptr, 5, 3}, {out16.get(), 16, 8}}));
    EXPECT_EQ(entry->position_bits(), 8);
    // Already aligned: no padding.
    map.add(io32, std::nullopt, 8);
    EXPECT_EQ(map.size(), 4u);
}

TEST_F(DictionaryMapTest, AlignmentRuleRefusesMisplacedWideItems) {
    map.add_padding(4);
    const auto before = layout(map);
    EXPECT_EQ(message_of<IndexError>([&] { map.add(out16); }),
              "Variables with more than 8 bits must be aligned in 8-bit safe-data slots");
    EXPECT_EQ(layout(map), before);
    // 8 bits or fewer may start anywhere.
    map.add(out8);
    EXPECT_EQ(map.safety_bits(), 12);
    // An alignment boundary that is not a multiple of 8 pads, then refuses: the padding stays.
    map.add_padding(5);
    EXPECT_THROW(map.add(out16, std::nullopt, 4), IndexError);
    EXPECT_EQ(map.safety_bits(), 20);
    EXPECT_FALSE(map.is_mapped(*out16));
}

TEST_F(DictionaryMapTest, PositionsAboveTheEightBitFieldOverflow) {
    map.add_padding(255);
    map.add_padding(1);  // starts at bit 255, the last valid start
    const auto before = entries(map);
    EXPECT_THROW(map.add_padding(1), OverflowError);
    EXPECT_THROW(map.add(out8), OverflowError);
    EXPECT_THROW(map.insert(0, flag), OverflowError);
    EXPECT_EQ(entries(map), before);
    EXPECT_EQ(layout(map).back(), (Layout{nullptr, 1, 255}));
    EXPECT_EQ(map.safety_bits(), 256);
    EXPECT_EQ(map.safety_bytes(), 32);
}

TEST_F(DictionaryMapTest, AddByKeyLooksUpTheDictionary) {
    auto entry = map.add_by_key(2);
    EXPECT_EQ(entry->item(), out16);
    auto narrow = map.add_by_key(1, 3);
    EXPECT_EQ(narrow->bits(), 3);
    EXPECT_THROW(map.add_by_key(99), KeyError);
    EXPECT_THROW(map.add_by_key(3), PermissionError);
}

struct InsertCase {
    std::int64_t index;
    int expected_slot;
};

class InsertIndexTest : public DictionaryMapTest,
                        public ::testing::WithParamInterface<InsertCase> {};

TEST_P(InsertIndexTest, FollowsListSemantics) {
    map.add(out8);
    map.add_padding(8);
    map.add(out16);
    auto entry = map.insert(GetParam().index, flag);
    ASSERT_EQ(map.size(), 4u);
    EXPECT_EQ(map._items()[static_cast<std::size_t>(GetParam().expected_slot)], entry);
    int running = 0;
    for (const auto& e : map._items()) {
        EXPECT_EQ(e->position_bits(), running);
        running += e->bits();
    }
    EXPECT_EQ(map.safety_bits(), 33);
}

INSTANTIATE_TEST_SUITE_P(Indexes, InsertIndexTest,
                         ::testing::Values(InsertCase{0, 0}, InsertCase{1, 1}, InsertCase{3, 3},
                                           InsertCase{100, 3}, InsertCase{-1, 2}, InsertCase{-3, 0},
                                           InsertCase{-100, 0}));

TEST_F(DictionaryMapTest, InsertSkipsTheAlignmentRuleButNotTheOtherChecks) {
    map.add_padding(4);
    auto entry = map.insert(1, out16);
    EXPECT_EQ(entry->position_bits(), 4);
    EXPECT_THROW(map.insert(0, out16), FSoEAlreadyMappedException);
    EXPECT_THROW(map.insert(0, in8), PermissionError);
    EXPECT_THROW(map.insert(0, nullptr), ValueError);
    EXPECT_EQ(map.size(), 2u);
}

TEST_F(DictionaryMapTest, InsertBeforeAndAfterUseTheEntryIndex) {
    auto a = map.add(out8);
    auto b = map.add(out16);
    auto mid = map.insert_after(*a, nullptr, 8);
    auto first = map.insert_before(*a, flag);
    EXPECT_EQ(layout(map),
              (std::vector<Layout>{
                  {flag.get(), 1, 0}, {out8.get(), 8, 1}, {nullptr, 8, 9}, {out16.get(), 16, 17}}));
    EXPECT_EQ(map._items()[0], first);
    EXPECT_EQ(map._items()[2], mid);
    auto last = map.insert_after(*b, io32);
    EXPECT_EQ(map._items().back(), last);

    DictionaryMappedItem stranger(nullptr, 4, 0);
    const auto before = entries(map);
    EXPECT_EQ(message_of<ValueError>([&] { map.insert_before(stranger, nullptr, 1); }),
              "The item does not belong to this map");
    EXPECT_THROW(map.insert_after(*a->copy(), nullptr, 1), ValueError);
    EXPECT_EQ(entries(map), before);
}

TEST_F(DictionaryMapTest, RemoveByEntryOrItemClosesTheGap) {
    auto a = map.add(out8);
    map.add_padding(4);
    auto c = map.add(flag);
    map.remove(*a);
    EXPECT_EQ(layout(map), (std::vector<Layout>{{nullptr, 4, 0}, {flag.get(), 1, 4}}));
    map.remove(*flag);
    EXPECT_EQ(layout(map), (std::vector<Layout>{{nullptr, 4, 0}}));
    // Unmapped item: nothing happens; foreign entry: value error.
    EXPECT_NO_THROW(map.remove(*out16));
    EXPECT_THROW(map.remove(*c), ValueError);
    EXPECT_EQ(map.size(), 1u);
    // Works on a locked map.
    map._lock();
    map.remove(*map._items()[0]);
    EXPECT_EQ(map.size(), 0u);
}

TEST_F(DictionaryMapTest, MovesSwapNeighbours) {
    auto a = map.add(out8);
    auto b = map.add(flag);
    EXPECT_FALSE(map.move_item_up(*a));
    EXPECT_FALSE(map.move_item_down(*b));
    EXPECT_EQ(entries(map), (std::vector<const DictionaryMappedItem*>{a.get(), b.get()}));
    EXPECT_TRUE(map.move_item_up(*b));
    EXPECT_EQ(layout(map), (std::vector<Layout>{{flag.get(), 1, 0}, {out8.get(), 8, 1}}));
    EXPECT_TRUE(map.move_item_down(*b));
    EXPECT_EQ(layout(map), (std::vector<Layout>{{out8.get(), 8, 0}, {flag.get(), 1, 8}}));
    EXPECT_EQ(message_of<ValueError>([&] { map.move_item_up(*a->copy()); }),
              "The item does not belong to this map");
    EXPECT_THROW(map.move_item_down(*a->copy()), ValueError);
}

TEST_F(DictionaryMapTest, MoveThatWouldOverflowIsUndone) {
    map.add_padding(250);
    auto small = map.add(flag);
    map.add_padding(10);
    const auto before = layout(map);
    EXPECT_THROW(map.move_item_down(*small), OverflowError);
    EXPECT_EQ(layout(map), before);
}

TEST_F(DictionaryMapTest, SetBitsResizesAndShifts) {
    auto a = map.add(out8);
    map.add(flag);
    map.set_bits(*a, 3);
    EXPECT_EQ(layout(map), (std::vector<Layout>{{out8.get(), 3, 0}, {flag.get(), 1, 3}}));
    map.set_bits(*a, 0);
    EXPECT_EQ(layout(map), (std::vector<Layout>{{out8.get(), 0, 0}, {flag.get(), 1, 0}}));
    EXPECT_THROW(map.set_bits(*a, 256), OverflowError);
    EXPECT_THROW(map.set_bits(*a, -1), OverflowError);
    EXPECT_THROW(map.set_bits(*a->copy(), 2), ValueError);
    map.add_padding(255);
    const auto before = layout(map);
    EXPECT_THROW(map.set_bits(*a, 255), OverflowError);  // the padding would start at bit 256
    EXPECT_EQ(layout(map), before);
}

using MapEdit =
    std::function<void(DictionaryMap&, const DictionaryMappedItemPtr&, const DictionaryItemPtr&)>;

class LockedMapTest : public DictionaryMapTest,
                      public ::testing::WithParamInterface<std::pair<const char*, MapEdit>> {};

TEST_P(LockedMapTest, CheckingOperationsRefuseBeforeAnyChange) {
    auto first = map.add(out8);
    map.add_padding(3);
    map.add_padding(5);
    map._lock();
    const auto before = layout(map);
    const auto objects = entries(map);
    EXPECT_EQ(
        message_of<FSOEMasterMappingLockedException>([&] { GetParam().second(map, first, out16); }),
        "Mapping is locked, cannot be modified");
    EXPECT_EQ(layout(map), before);
    EXPECT_EQ(entries(map), objects);
    map._lock(false);
    EXPECT_NO_THROW(GetParam().second(map, first, out16));
}

INSTANTIATE_TEST_SUITE_P(
    Operations, LockedMapTest,
    ::testing::Values(
        std::pair<const char*, MapEdit>{"clear", [](auto& m, auto&, auto&) { m.clear(); }},
        std::pair<const char*, MapEdit>{"set_bits",
                                        [](auto& m, auto& e, auto&) { m.set_bits(*e, 2); }},
        std::pair<const char*, MapEdit>{"move_up",
                                        [](auto& m, auto&, auto&) { m.move_item_up(*m.at(1)); }},
        std::pair<const char*, MapEdit>{"move_down",
                                        [](auto& m, auto& e, auto&) { m.move_item_down(*e); }},
        std::pair<const char*, MapEdit>{"add", [](auto& m, auto&, auto& i) { m.add(i); }},
        std::pair<const char*, MapEdit>{"add_by_key",
                                        [](auto& m, auto&, auto&) { m.add_by_key(2); }},
        std::pair<const char*, MapEdit>{"add_padding",
                                        [](auto& m, auto&, auto&) { m.add_padding(2); }},
        std::pair<const char*, MapEdit>{"insert", [](auto& m, auto&, auto& i) { m.insert(0, i); }},
        std::pair<const char*, MapEdit>{"insert_before",
                                        [](auto& m, auto& e, auto& i) { m.insert_before(*e, i); }},
        std::pair<const char*, MapEdit>{"insert_after",
                                        [](auto& m, auto& e, auto& i) { m.insert_after(*e, i); }},
        std::pair<const char*, MapEdit>{
            "insert_in_best_position",
            [](auto& m, auto&, auto& i) { m.insert_in_best_position(i, 8); }},
        std::pair<const char*, MapEdit>{"merge",
                                        [](auto& m, auto&, auto&) { m.merge_adjacent_paddings(); }},
        std::pair<const char*, MapEdit>{"complete",
                                        [](auto& m, auto&, auto&) { m.complete_with_padding(); }},
        std::pair<const char*, MapEdit>{"trim", [](auto& m, auto&, auto&) { m.trim_map(); }}),
    [](const auto& info) { return std::string(info.param.first); });

TEST_F(DictionaryMapTest, LockedMapStillAllowsRemovalAndBlanking) {
    auto a = map.add(out8);
    map.add(flag);
    map._lock();
    EXPECT_TRUE(map.locked());
    map.transform_to_padding(*a);
    map.remove(*flag);
    EXPECT_EQ(layout(map), (std::vector<Layout>{{nullptr, 8, 0}}));
    // Queries never check the lock.
    EXPECT_EQ(map.safety_bits(), 8);
    EXPECT_EQ(map.unmapped_dictionary_items().size(), 4u);
}

TEST_F(DictionaryMapTest, CopySharesItemsButNotEntries) {
    auto a = map.add(out8);
    map.add_padding(4);
    map._lock();
    auto copy = map.copy();
    EXPECT_TRUE(copy->locked());
    EXPECT_EQ(copy->dictionary(), map.dictionary());
    EXPECT_EQ(copy->item_types_accepted(), map.item_types_accepted());
    EXPECT_EQ(layout(*copy), layout(map));
    EXPECT_NE(copy->_items()[0], a);
    EXPECT_FALSE(copy->contains(*a));
    copy->_lock(false);
    copy->set_bits(*copy->at(0), 2);
    copy->add(flag);
    EXPECT_EQ(layout(map), (std::vector<Layout>{{out8.get(), 8, 0}, {nullptr, 4, 8}}));
    EXPECT_TRUE(map.locked());
}

TEST_F(DictionaryMapTest, IndexingCountsFromEitherEnd) {
    auto a = map.add(out8);
    auto b = map.add(flag);
    EXPECT_EQ(map.at(0), a);
    EXPECT_EQ(map.at(1), b);
    EXPECT_EQ(map.at(-1), b);
    EXPECT_EQ(map.at(-2), a);
    EXPECT_THROW(map.at(2), IndexError);
    EXPECT_THROW(map.at(-3), IndexError);
    EXPECT_TRUE(map.contains(*a));
    EXPECT_FALSE(map.contains(*a->copy()));
}

TEST_F(DictionaryMapTest, MappedAndUnmappedItems) {
    map.add(io32);
    map.add_padding(3);
    map.add(out8);
    EXPECT_EQ(map.mapped_dictionary_items(), (std::vector<DictionaryItemPtr>{io32, out8}));
    // Dictionary order, accepted kinds only.
    EXPECT_EQ(map.unmapped_dictionary_items(), (std::vector<DictionaryItemPtr>{out16, flag}));
    map.clear();
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.unmapped_dictionary_items(),
              (std::vector<DictionaryItemPtr>{out8, out16, io32, flag}));
}

struct NothingButFlags : ItemTypeFilter {
    bool accepts(const DictionaryItem& item) const override { return item.name() == "flag"; }
};

TEST_F(DictionaryMapTest, AnInstalledFilterDecidesAloneAndIsShared) {
    auto copy = map.copy();
    map.item_types_accepted()->set_filter(std::make_shared<NothingButFlags>());
    EXPECT_THROW(map.add(out8), PermissionError);
    EXPECT_THROW(copy->add(out8), PermissionError);
    EXPECT_NO_THROW(map.add(flag));
    EXPECT_EQ(copy->unmapped_dictionary_items(), (std::vector<DictionaryItemPtr>{flag}));
}

TEST_F(DictionaryMapTest, MappedItemBasics) {
    DictionaryMappedItem entry(out16, 13, 21);
    EXPECT_EQ(entry.size_bytes_bits(), (std::pair<std::uint8_t, std::uint8_t>{1, 5}));
    EXPECT_EQ(entry.position_byte_bits(), (std::pair<std::uint8_t, std::uint8_t>{2, 5}));
    auto padding = entry.copy_as_padding();
    EXPECT_TRUE(padding->is_padding());
    EXPECT_EQ(padding->bits(), 13);
    EXPECT_EQ(padding->position_bits(), 21);
    EXPECT_EQ(padding->_read(), 0);
    EXPECT_NO_THROW(padding->_write(12345));
    EXPECT_EQ(entry.copy()->item(), out16);
    EXPECT_THROW(DictionaryMappedItem(nullptr, 256, 0), OverflowError);
    EXPECT_THROW(DictionaryMappedItem(nullptr, 0, -1), OverflowError);
    EXPECT_THROW(entry._set_bits(300), OverflowError);
    EXPECT_EQ(entry.bits(), 13);
    out16->set(Value{std::int64_t{0x1234}});
    EXPECT_EQ(entry._read(), 0x1234);
    EXPECT_THROW(entry._write(1), NotImplementedError);
}

TEST_F(DictionaryMapTest, RestoreValidatesTheEntries) {
    auto a = std::make_shared<DictionaryMappedItem>(out8, 8, 99);
    auto b = std::make_shared<DictionaryMappedItem>(nullptr, 4, 0);
    map._restore({a, b}, true);
    EXPECT_TRUE(map.locked());
    EXPECT_EQ(layout(map), (std::vector<Layout>{{out8.get(), 8, 0}, {nullptr, 4, 8}}));
    EXPECT_THROW(map._restore({a, a}, false), ValueError);
    EXPECT_THROW(map._restore({a, nullptr}, false), ValueError);
    EXPECT_THROW(map._restore({a, std::make_shared<DictionaryMappedItem>(out8, 1, 0)}, false),
                 FSoEAlreadyMappedException);
    EXPECT_TRUE(map.locked());
    EXPECT_EQ(entries(map), (std::vector<const DictionaryMappedItem*>{a.get(), b.get()}));
}

TEST(DictionaryMapConstruction, NeedsADictionary) {
    EXPECT_THROW(DictionaryMap(nullptr, std::vector<ItemKind>{}), TypeError);
}

}  // namespace
