// The transfer plan of a map (the per-cycle copy of its entries) follows every edit: after
// any editing operation, a direct change of an entry, a refused edit, a restore or a copy,
// both transfers give what the entries say, bit by bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <random>
#include <string>

#include "map_test_items.hpp"
#include "mapping/dictionary_map.hpp"
#include "protocol/errors.hpp"

using namespace velmora;
using namespace velmora::testing;

namespace {

using Words = std::array<std::uint16_t, 8>;

std::uint64_t read_bits(const Words& w, int start, int bits) {
    std::uint64_t value = 0;
    for (int i = 0; i < bits; ++i) {
        const int b = start + i;
        if ((w[static_cast<std::size_t>(b / 16)] >> (b % 16)) & 1u) value |= std::uint64_t{1} << i;
    }
    return value;
}

void write_bits(Words& w, int start, int bits, std::uint64_t value) {
    for (int i = 0; i < bits && i < 64; ++i) {
        if ((value >> i) & 1u) {
            const int b = start + i;
            w[static_cast<std::size_t>(b / 16)] |= static_cast<std::uint16_t>(1u << (b % 16));
        }
    }
}

Value random_value(DataType type, std::mt19937& rng) {
    if (type == DataType::BOOL) return Value{rng() % 2 == 1};
    if (type == DataType::FLOAT) return Value{static_cast<double>(static_cast<int>(rng() % 512))};
    const std::int64_t lo = data_type_min_value(type), hi = data_type_max_value(type);
    return Value{lo + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(hi - lo + 1))};
}

// values_equal, and a NaN received is the NaN expected.
bool same_value(const Value& a, const Value& b) {
    if (values_equal(a, b)) return true;
    const double* x = std::get_if<double>(&a);
    const double* y = std::get_if<double>(&b);
    return x && y && *x != *x && *y != *y;
}

// Items of every width, some left out of the map for the edits to bring in.
struct Rig {
    std::shared_ptr<DictionaryItemInputOutput> a = in_out(1, "a", DataType::UINT8);
    std::shared_ptr<DictionaryItemInputOutput> b = in_out(2, "b", DataType::UINT16);
    std::shared_ptr<DictionaryItemInputOutput> c = in_out(3, "c", DataType::BOOL);
    std::shared_ptr<DictionaryItemInputOutput> d = in_out(4, "d", DataType::INT8);
    std::shared_ptr<DictionaryItemInputOutput> e = in_out(5, "e", DataType::UINT32);
    std::shared_ptr<DictionaryItemInputOutput> f = in_out(6, "f", DataType::FLOAT);
    std::shared_ptr<DictionaryItemInputOutput> g = in_out(7, "g", DataType::BOOL);
    std::vector<std::shared_ptr<DictionaryItemInputOutput>> all{a, b, c, d, e, f, g};
    DictionaryMap map{std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{a, b, c, d, e,
                                                                                  f, g}),
                      {ItemKind::InputOutput}};
    DictionaryMappedItemPtr ea, eb, ec, ed, ee;

    Rig() {
        // a | pad 4 | c | pad 3 | b | d | pad 2 | pad 6 | e | pad 6: 86 bits
        ea = map.add(a);
        map.add_padding(4);
        ec = map.add(c);
        map.add_padding(3);
        eb = map.add(b);
        ed = map.add(d);
        map.add_padding(2);
        map.add_padding(6);
        ee = map.add(e);
        map.add_padding(6);
    }
};

// Both transfers against the bit-by-bit reading of the current entries.
void expect_transfers_follow_entries(DictionaryMap& map,
                                     const std::vector<std::shared_ptr<DictionaryItemInputOutput>>& all,
                                     unsigned seed) {
    std::mt19937 rng(seed);
    Words expected{};
    for (const auto& item : all) item->set(random_value(item->data_type(), rng));
    for (const auto& entry : map._items()) {
        if (entry->is_padding()) continue;
        std::uint64_t raw = static_cast<std::uint64_t>(entry->item()->_read());
        if (entry->bits() < 64) raw &= (std::uint64_t{1} << entry->bits()) - 1;
        write_bits(expected, entry->position_bits(), entry->bits(), raw);
    }
    FSOEFrame frame(36);
    for (std::size_t i = 0; i < 8; ++i) frame.safe_data()[i] = 0xA5A5;
    map._set_data_to_frame(frame);
    Words sent{};
    for (std::size_t i = 0; i < 8; ++i) sent[i] = frame.safe_data()[i];
    EXPECT_EQ(sent, expected);

    Words received{};
    for (auto& w : received) w = static_cast<std::uint16_t>(rng());
    for (std::size_t i = 0; i < 8; ++i) frame.safe_data()[i] = received[i];
    std::vector<Value> before;
    for (const auto& item : all) before.push_back(item->get());
    map._get_data_from_frame(frame);
    for (std::size_t i = 0; i < all.size(); ++i) {
        const auto& item = all[i];
        const auto entry =
            std::find_if(map._items().begin(), map._items().end(),
                         [&](const DictionaryMappedItemPtr& e) { return e->item() == item; });
        if (entry == map._items().end() || (*entry)->bits() == 0) {
            // Out of the map (or carrying nothing): untouched.
            EXPECT_EQ(item->get(), before[i]) << item->name();
            continue;
        }
        const int kept = std::min<int>((*entry)->bits(), data_type_bits(item->data_type()));
        const auto raw = static_cast<std::int64_t>(read_bits(received, (*entry)->position_bits(), kept));
        EXPECT_TRUE(same_value(item->get(), unserialize_value(item->data_type(), raw)))
            << item->name() << " at " << int((*entry)->position_bits());
    }
}

struct Edit {
    const char* name;
    std::function<void(Rig&)> apply;
};

void PrintTo(const Edit& edit, std::ostream* os) {
    *os << edit.name;
}

class PlanAfterEdit : public ::testing::TestWithParam<Edit> {};

TEST_P(PlanAfterEdit, TransfersFollowTheEdit) {
    Rig rig;
    expect_transfers_follow_entries(rig.map, rig.all, 1);  // the plan is in use
    GetParam().apply(rig);
    expect_transfers_follow_entries(rig.map, rig.all, 2);
    // And again, with no edit in between.
    expect_transfers_follow_entries(rig.map, rig.all, 3);
}

template <typename F>
void refused(F&& f) {
    try {
        f();
    } catch (const std::exception&) {
        return;
    }
    ADD_FAILURE() << "the edit was expected to fail";
}

INSTANTIATE_TEST_SUITE_P(
    Edits, PlanAfterEdit,
    ::testing::Values(
        Edit{"add", [](Rig& r) { r.map.add(r.g); }},
        Edit{"add_aligned", [](Rig& r) { r.map.add(r.f, std::nullopt, 16); }},
        Edit{"add_by_key", [](Rig& r) { r.map.add_by_key(7); }},
        Edit{"add_padding_then_item", [](Rig& r) {
                 r.map.add_padding(5);
                 r.map.add(r.g);
             }},
        Edit{"insert_front", [](Rig& r) { r.map.insert(0, r.f); }},
        Edit{"insert_before", [](Rig& r) { r.map.insert_before(*r.eb, r.g); }},
        Edit{"insert_after", [](Rig& r) { r.map.insert_after(*r.ea, r.g, 3); }},
        Edit{"remove_entry", [](Rig& r) { r.map.remove(*r.ec); }},
        Edit{"remove_item", [](Rig& r) { r.map.remove(*r.b); }},
        Edit{"move_up", [](Rig& r) { r.map.move_item_up(*r.ed); }},
        Edit{"move_down", [](Rig& r) { r.map.move_item_down(*r.ea); }},
        Edit{"set_bits", [](Rig& r) { r.map.set_bits(*r.ea, 4); }},
        Edit{"clear", [](Rig& r) { r.map.clear(); }},
        Edit{"clear_and_rebuild", [](Rig& r) {
                 r.map.clear();
                 r.map.add(r.e);
                 r.map.add(r.c);
             }},
        Edit{"insert_in_best_position", [](Rig& r) { r.map.insert_in_best_position(r.g); }},
        Edit{"insert_in_best_position_at_end",
             [](Rig& r) { r.map.insert_in_best_position(r.f, 8); }},
        Edit{"complete_with_padding", [](Rig& r) { r.map.complete_with_padding(); }},
        Edit{"merge_adjacent_paddings", [](Rig& r) { r.map.merge_adjacent_paddings(); }},
        Edit{"trim_map", [](Rig& r) { r.map.trim_map(); }},
        Edit{"transform_entry_to_padding", [](Rig& r) { r.map.transform_to_padding(*r.eb); }},
        Edit{"transform_item_to_padding", [](Rig& r) { r.map.transform_to_padding(*r.d); }},
        Edit{"restore_reversed", [](Rig& r) {
                 auto entries = r.map._items();
                 std::reverse(entries.begin(), entries.end());
                 r.map._restore(entries, false);
             }},
        Edit{"entry_moved_on_its_own", [](Rig& r) { r.ee->_set_position_bits(90); }},
        Edit{"entry_narrowed_on_its_own", [](Rig& r) { r.ea->_set_bits(3); }},
        Edit{"entry_of_another_map_restored_here", [](Rig& r) {
                 // Both maps hold the entry; an edit of the other map moves it.
                 DictionaryMap other{r.map.dictionary(), r.map.item_types_accepted()};
                 other._restore({r.eb}, false);
                 other.insert(0, nullptr, 40);
             }},
        Edit{"refused_duplicate", [](Rig& r) { refused([&] { r.map.add(r.a); }); }},
        Edit{"refused_insert_of_a_mapped_item",
             [](Rig& r) { refused([&] { r.map.insert(1, r.e); }); }},
        Edit{"refused_misaligned_add_keeps_its_padding", [](Rig& r) {
                 r.map.add_padding(3);  // to bit 89; aligned to 2 bits: 90, not a byte
                 refused([&] { r.map.add(r.f, std::nullopt, 2); });
             }},
        Edit{"refused_while_locked", [](Rig& r) {
                 r.map._lock();
                 refused([&] { r.map.add(r.f); });
                 refused([&] { r.map.clear(); });
                 r.map._lock(false);
             }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TransferPlan, ACopyHasItsOwnPlan) {
    Rig rig;
    expect_transfers_follow_entries(rig.map, rig.all, 1);
    auto copy = rig.map.copy();
    rig.map.remove(*rig.ea);
    rig.map.insert(0, rig.f);
    expect_transfers_follow_entries(*copy, rig.all, 2);
    expect_transfers_follow_entries(rig.map, rig.all, 3);
    // Entries of the copy are its own: moving one leaves the original's layout alone.
    copy->set_bits(*copy->at(0), 2);
    expect_transfers_follow_entries(*copy, rig.all, 4);
    expect_transfers_follow_entries(rig.map, rig.all, 5);
}

TEST(TransferPlan, CarriesOneStepPerItemEntry) {
    Rig rig;
    const auto plan = rig.map._transfer_plan();
    ASSERT_EQ(plan.size(), 5u);
    const DictionaryItem* expected[] = {rig.a.get(), rig.c.get(), rig.b.get(), rig.d.get(),
                                        rig.e.get()};
    for (std::size_t i = 0; i < plan.size(); ++i) {
        EXPECT_EQ(plan[i].state, expected[i]->_cycle_state());
        EXPECT_EQ(plan[i].kind, ItemKind::InputOutput);
        EXPECT_EQ(plan[i].data_type, expected[i]->data_type());
    }
    EXPECT_EQ(plan[2].position_bits, 16);
    EXPECT_EQ(plan[2].bits, 16);
    // A wider entry than its type takes only the type's bits of a received value.
    rig.map.set_bits(*rig.ec, 5);
    EXPECT_EQ(rig.map._transfer_plan()[1].bits, 5);
    EXPECT_EQ(rig.map._transfer_plan()[1].received_bits, 1);
}

}  // namespace
