#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>
#include <random>
#include <string>

#include "map_test_items.hpp"
#include "mapping/dictionary_map.hpp"
#include "protocol/errors.hpp"

// Counts allocations while a test asks for it. Weak, so that another test file of the same
// binary may replace operator new as well; the test then checks that counting works at all.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
int* volatile g_escape = nullptr;  // keeps the probe allocation from being elided
}  // namespace

__attribute__((weak)) void* operator new(std::size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
__attribute__((weak)) void operator delete(void* p) noexcept {
    std::free(p);
}
__attribute__((weak)) void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

using namespace velmora;
using namespace velmora::testing;

namespace {

using Words = std::array<std::uint16_t, 8>;

Words words_of(const FSOEFrame& frame) {
    Words w{};
    for (std::size_t i = 0; i < 8; ++i) w[i] = frame.safe_data()[i];
    return w;
}

void fill(FSOEFrame& frame, std::uint16_t value) {
    for (std::size_t i = 0; i < 8; ++i) frame.safe_data()[i] = value;
}

struct TypeCase {
    const char* name;
    int lead;  // padding bits before the entry
    DataType type;
    Value value;
    Words words;
};

class TransferByTypeTest : public ::testing::TestWithParam<TypeCase> {};

TEST_P(TransferByTypeTest, MatchesHandComputedWordsAndReadsBack) {
    const auto& c = GetParam();
    // A fail-safe value unlike every case's value, so reading back always stores.
    auto item =
        std::make_shared<DictionaryItemInputOutput>(1, "x", c.type, Value{std::int64_t{99}});
    DictionaryMap map{std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{item}),
                      {ItemKind::InputOutput}};
    if (c.lead) map.add_padding(c.lead);
    map.insert(static_cast<std::int64_t>(map.size()), item);  // insert: any start bit
    item->set(c.value);

    FSOEFrame frame(36);
    fill(frame, 0xFFFF);
    map._set_data_to_frame(frame);
    EXPECT_EQ(words_of(frame), c.words);

    map._get_data_from_frame(frame);
    EXPECT_TRUE(values_equal(item->get(), c.value));
    EXPECT_EQ(item->get().index(), c.value.index());
}

INSTANTIATE_TEST_SUITE_P(
    DataTypes, TransferByTypeTest,
    ::testing::Values(
        TypeCase{"bool_true", 3, DataType::BOOL, Value{true}, {0x0008}},
        TypeCase{"bool_false", 0, DataType::BOOL, Value{false}, {}},
        TypeCase{"uint8_straddles_words",
                 12,
                 DataType::UINT8,
                 Value{std::int64_t{0xA5}},
                 {0x5000, 0x000A}},
        TypeCase{"int8_negative_straddles",
                 12,
                 DataType::INT8,
                 Value{std::int64_t{-2}},
                 {0xE000, 0x000F}},
        TypeCase{
            "uint16_at_byte_1", 8, DataType::UINT16, Value{std::int64_t{0xBEEF}}, {0xEF00, 0x00BE}},
        TypeCase{"int16_min", 16, DataType::INT16, Value{std::int64_t{-32768}}, {0, 0x8000}},
        TypeCase{
            "int16_at_byte_3", 24, DataType::INT16, Value{std::int64_t{-2}}, {0, 0xFE00, 0x00FF}},
        TypeCase{"uint32_over_three_words",
                 8,
                 DataType::UINT32,
                 Value{std::int64_t{0x12345678}},
                 {0x7800, 0x3456, 0x0012}},
        TypeCase{"int32_negative", 0, DataType::INT32, Value{std::int64_t{-2}}, {0xFFFE, 0xFFFF}},
        TypeCase{"int32_min_in_last_words",
                 96,
                 DataType::INT32,
                 Value{std::int64_t{std::numeric_limits<std::int32_t>::min()}},
                 {0, 0, 0, 0, 0, 0, 0x0000, 0x8000}},
        TypeCase{"uint32_max_to_bit_127",
                 96,
                 DataType::UINT32,
                 Value{std::int64_t{0xFFFFFFFF}},
                 {0, 0, 0, 0, 0, 0, 0xFFFF, 0xFFFF}},
        TypeCase{"float_one", 16, DataType::FLOAT, Value{1.0}, {0, 0x0000, 0x3F80}},
        TypeCase{"float_at_odd_bit", 4, DataType::FLOAT, Value{-2.5}, {0x0000, 0x0200, 0x000C}}),
    [](const auto& info) { return std::string(info.param.name); });

class TransferTest : public ::testing::Test {
  protected:
    std::shared_ptr<DictionaryItemInputOutput> a = in_out(1, "a", DataType::UINT8);
    std::shared_ptr<DictionaryItemInputOutput> b = in_out(2, "b", DataType::UINT16);
    std::shared_ptr<DictionaryItemInputOutput> flag = in_out(3, "flag", DataType::BOOL);
    std::shared_ptr<DictionaryItemInputOutput> kept = std::make_shared<DictionaryItemInputOutput>(
        4, "kept", DataType::UINT8, Value{std::int64_t{7}});
    DictionaryPtr dictionary =
        std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{a, b, flag, kept});
    DictionaryMap map{dictionary, {ItemKind::InputOutput}};
    FSOEFrame frame{36};
};

TEST_F(TransferTest, ByteAndWordExample) {
    map.add(a);
    map.add(b);
    a->set(Value{std::int64_t{0x01}});
    b->set(Value{std::int64_t{0x1234}});
    map._set_data_to_frame(frame);
    EXPECT_EQ(words_of(frame), (Words{0x3401, 0x0012}));
    std::uint8_t bytes[16];
    frame.get_safe_data_bytes(bytes);
    EXPECT_EQ(bytes[0], 0x01);
    EXPECT_EQ(bytes[1], 0x34);
    EXPECT_EQ(bytes[2], 0x12);
    EXPECT_EQ(bytes[3], 0x00);
    map._get_data_from_frame(frame);
    EXPECT_TRUE(values_equal(a->get(), Value{std::int64_t{0x01}}));
    EXPECT_TRUE(values_equal(b->get(), Value{std::int64_t{0x1234}}));
}

TEST_F(TransferTest, NibbleStraddlingTwoWords) {
    map.add_padding(14);
    map.add(a, 4);
    a->set(Value{std::int64_t{0xB}});
    map._set_data_to_frame(frame);
    EXPECT_EQ(words_of(frame), (Words{0xC000, 0x0002}));
    frame.safe_data()[0] = 0x4000;  // low bits 01
    frame.safe_data()[1] = 0xFFFE;  // high bits 10; everything else belongs to nobody
    map._get_data_from_frame(frame);
    EXPECT_TRUE(values_equal(a->get(), Value{std::int64_t{0x9}}));
}

TEST_F(TransferTest, EmptyMapClearsAndReadsNothing) {
    fill(frame, 0xFFFF);
    map._get_data_from_frame(frame);
    EXPECT_TRUE(values_equal(a->get(), Value{std::int64_t{0}}));
    map._set_data_to_frame(frame);
    EXPECT_EQ(words_of(frame), Words{});
}

TEST_F(TransferTest, BitsOutsideTheEntriesAreZeroOnSendAndIgnoredOnReceive) {
    map.add(flag);
    map.add_padding(2);
    map.add(kept, 3);
    flag->set(Value{true});
    kept->set(Value{std::int64_t{5}});
    fill(frame, 0xFFFF);
    map._set_data_to_frame(frame);
    EXPECT_EQ(words_of(frame), (Words{0x0029}));                  // 1 | 5 << 3
    frame.safe_data()[0] = static_cast<std::uint16_t>(~0x0038u);  // kept's bits all 0
    map._get_data_from_frame(frame);
    EXPECT_TRUE(values_equal(flag->get(), Value{true}));
    EXPECT_TRUE(values_equal(kept->get(), Value{std::int64_t{0}}));
}

TEST_F(TransferTest, NarrowEntryNeverSpillsIntoItsNeighbour) {
    map.add(a, 4);
    map.add(flag);
    map.add(kept, 3);
    a->set(Value{std::int64_t{0xFF}});
    flag->set(Value{false});
    kept->set(Value{std::int64_t{0}});
    map._set_data_to_frame(frame);
    EXPECT_EQ(words_of(frame), (Words{0x000F}));
    map._get_data_from_frame(frame);
    EXPECT_TRUE(values_equal(flag->get(), Value{false}));
    EXPECT_TRUE(values_equal(a->get(), Value{std::int64_t{0xF}}));
}

TEST_F(TransferTest, WideEntryIsZeroExtended) {
    map.add(a, 12);
    map.add(flag);
    a->set(Value{std::int64_t{0x80}});
    flag->set(Value{true});
    map._set_data_to_frame(frame);
    EXPECT_EQ(words_of(frame), (Words{0x1080}));
}

TEST_F(TransferTest, ZeroBitEntriesCarryNothing) {
    map.add(kept, 0);
    map.add(flag);
    kept->set(Value{std::int64_t{0xFF}});
    flag->set(Value{true});
    map._set_data_to_frame(frame);
    EXPECT_EQ(words_of(frame), (Words{0x0001}));
    fill(frame, 0xFFFF);
    map._get_data_from_frame(frame);
    EXPECT_TRUE(values_equal(kept->get(), Value{std::int64_t{7}}));  // untouched fail-safe
    EXPECT_TRUE(values_equal(flag->get(), Value{true}));
}

TEST_F(TransferTest, MapsWiderThanTheSafeDataAreRefusedBeforeAnyChange) {
    map.add_padding(128);
    map.add(a);
    a->set(Value{std::int64_t{0x55}});
    fill(frame, 0xABCD);
    try {
        map._set_data_to_frame(frame);
        ADD_FAILURE();
    } catch (const ValueError& e) {
        EXPECT_EQ(std::string(e.what()), too_much_safe_data_message());
    }
    EXPECT_THROW(map._get_data_from_frame(frame), ValueError);
    EXPECT_EQ(words_of(frame),
              (Words{0xABCD, 0xABCD, 0xABCD, 0xABCD, 0xABCD, 0xABCD, 0xABCD, 0xABCD}));
    EXPECT_TRUE(values_equal(a->get(), Value{std::int64_t{0}}));
}

TEST_F(TransferTest, AnEntryMovedBehindTheSafeDataIsRefused) {
    map.add(a);
    auto entry = map.add(flag);
    entry->_set_position_bits(124);  // moved on its own: it would end at bit 125
    EXPECT_NO_THROW(map._set_data_to_frame(frame));
    entry->_set_position_bits(128);
    EXPECT_THROW(map._set_data_to_frame(frame), ValueError);
    EXPECT_THROW(map._get_data_from_frame(frame), ValueError);
    map.at(0)->_set_position_bits(121);  // a middle entry past the end, the last one inside
    entry->_set_position_bits(0);
    EXPECT_THROW(map._set_data_to_frame(frame), ValueError);
}

TEST_F(TransferTest, ReadErrorsPropagate) {
    auto in = input(9, "in", DataType::UINT8);
    DictionaryMap inputs{std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{in}),
                         {ItemKind::Input}};
    inputs.add(in);
    EXPECT_THROW(inputs._set_data_to_frame(frame), NotImplementedError);
}

struct Probe : Subscriber {
    std::function<void()> body;
    void operator()() override { body(); }
    bool equals(const Subscriber& other) const override { return this == &other; }
};

// A frame is stored whole before any subscriber runs: a subscriber sees every value of its
// frame, and one that raises neither stops the transfer nor the other subscribers.
TEST_F(TransferTest, SubscribersRunOnceTheWholeFrameIsStored) {
    map.add(a);
    map.add(b);
    auto probe_a = std::make_shared<Probe>();
    auto probe_b = std::make_shared<Probe>();
    Value seen_b;
    int b_calls = 0;
    probe_a->body = [&] {
        seen_b = b->get();
        throw ValueError("subscriber of a");
    };
    probe_b->body = [&] { ++b_calls; };
    a->subscribe_input_changed(probe_a);
    b->subscribe_input_changed(probe_b);
    frame.safe_data()[0] = 0x3401;
    frame.safe_data()[1] = 0x0012;
    EXPECT_THROW(map._get_data_from_frame(frame), ValueError);
    EXPECT_TRUE(values_equal(seen_b, Value{std::int64_t{0x1234}}));
    EXPECT_TRUE(values_equal(b->get(), Value{std::int64_t{0x1234}}));
    EXPECT_EQ(b_calls, 1);
}

// A recorder given to the transfer receives the changes in layout order instead of the
// subscribers being called.
TEST_F(TransferTest, ARecorderCollectsTheChangesInsteadOfNotifying) {
    struct Recorder final : ChangeRecorder {
        std::vector<DictionaryItemPtr> items;
        void item_changed(const DictionaryItemPtr& item) override { items.push_back(item); }
    } recorder;
    map.add(a);
    map.add(b);
    auto probe = std::make_shared<Probe>();
    int calls = 0;
    probe->body = [&] { ++calls; };
    a->subscribe_input_changed(probe);
    b->subscribe_input_changed(probe);
    frame.safe_data()[0] = 0x3401;
    frame.safe_data()[1] = 0x0012;
    map._get_data_from_frame(frame, &recorder);
    EXPECT_EQ(calls, 0);
    ASSERT_EQ(recorder.items.size(), 2u);
    EXPECT_EQ(recorder.items[0].get(), a.get());
    EXPECT_EQ(recorder.items[1].get(), b.get());
    map._get_data_from_frame(frame, &recorder);  // unchanged values: nothing recorded
    EXPECT_EQ(recorder.items.size(), 2u);
}

// Plain bit-by-bit form of the transfer, the oracle for the word-wise one.
std::uint64_t read_bits(const Words& w, int start, int bits) {
    std::uint64_t value = 0;
    for (int i = 0; i < bits && i < 63; ++i) {
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

class RandomLayoutTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomLayoutTest, WordWiseTransferMatchesTheBitWiseOracle) {
    std::mt19937 rng(GetParam());
    const DataType types[] = {DataType::BOOL,   DataType::FLOAT, DataType::UINT8,  DataType::INT8,
                              DataType::UINT16, DataType::INT16, DataType::UINT32, DataType::INT32};
    std::vector<DictionaryItemPtr> items;
    std::vector<std::shared_ptr<DictionaryItemInputOutput>> typed;
    for (int k = 0; k < 40; ++k) {
        auto item = in_out(k, ("i" + std::to_string(k)).c_str(), types[rng() % 8]);
        items.push_back(item);
        typed.push_back(item);
    }
    DictionaryMap map{std::make_shared<Dictionary>(items), {ItemKind::InputOutput}};
    std::size_t next = 0;
    while (true) {
        const DataType type = typed[next]->data_type();
        int width = static_cast<int>(data_type_bits(type));
        const unsigned pick = rng() % 4;
        if (pick == 0) width = static_cast<int>(rng() % width);                          // narrower
        if (pick == 1 && type != DataType::FLOAT) width += static_cast<int>(rng() % 9);  // wider
        const bool padding = rng() % 5 == 0;
        if (padding) width = 1 + static_cast<int>(rng() % 12);
        if (map.safety_bits() + width > 128) break;
        if (padding) {
            map.add_padding(width);
        } else {
            map.insert(static_cast<std::int64_t>(map.size()), typed[next++], width);
        }
    }
    // Send: random encodable values.
    Words expected{};
    for (const auto& e : map._items()) {
        if (e->is_padding()) continue;
        auto& item = static_cast<DictionaryItemInputOutput&>(*e->item());
        const DataType type = item.data_type();
        Value v;
        if (type == DataType::BOOL) {
            v = Value{rng() % 2 == 1};
        } else if (type == DataType::FLOAT) {
            v = Value{static_cast<double>(
                static_cast<float>(static_cast<int>(rng() % 2000) - 1000) / 8.0f)};
        } else {
            const std::int64_t lo = data_type_min_value(type), hi = data_type_max_value(type);
            v = Value{lo +
                      static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(hi - lo + 1))};
        }
        item.set(v);
        std::uint64_t raw = serialize_value(type, v);
        if (e->bits() < 64) raw &= (std::uint64_t{1} << e->bits()) - 1;
        write_bits(expected, e->position_bits(), e->bits(), raw);
    }
    FSOEFrame frame(36);
    fill(frame, 0x5A5A);
    map._set_data_to_frame(frame);
    EXPECT_EQ(words_of(frame), expected);

    // Receive: random safe data.
    Words received{};
    for (auto& w : received) w = static_cast<std::uint16_t>(rng());
    for (std::size_t i = 0; i < 8; ++i) frame.safe_data()[i] = received[i];
    map._get_data_from_frame(frame);
    for (const auto& e : map._items()) {
        if (e->is_padding() || e->bits() == 0) continue;
        const DataType type = e->item()->data_type();
        // An entry wider than its type delivers only the type's own bits.
        const int kept = std::min<int>(e->bits(), data_type_bits(type));
        const auto raw = static_cast<std::int64_t>(read_bits(received, e->position_bits(), kept));
        EXPECT_TRUE(values_equal(e->item()->get(), unserialize_value(type, raw)))
            << e->item()->name() << " bits " << int(e->bits());
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomLayoutTest, ::testing::Range(1u, 41u));

TEST_F(TransferTest, PerCycleTransfersAllocateNothing) {
    map.add(a);
    map.add_padding(4);
    map.add(b, std::nullopt, 8);
    map.add(flag);
    // Make sure the counter sees allocations at all in this binary.
    g_allocations = 0;
    g_counting = true;
    g_escape = new int(1);
    delete g_escape;
    g_counting = false;
    if (g_allocations.load() == 0) GTEST_SKIP() << "operator new is replaced elsewhere";

    g_allocations = 0;
    g_counting = true;
    for (int i = 0; i < 100; ++i) {
        map._set_data_to_frame(frame);
        frame.safe_data()[0] = static_cast<std::uint16_t>(i);
        map._get_data_from_frame(frame);
    }
    g_counting = false;
    EXPECT_EQ(g_allocations.load(), 0);
}

TEST_F(TransferTest, TextRepresentationFormat) {
    auto mode = in_out(10, "mode", DataType::UINT8);
    DictionaryMap m{std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{mode}),
                    {ItemKind::InputOutput}};
    EXPECT_EQ(m.get_text_representation(), std::string("Item") + std::string(36, ' ') +
                                               " | Position bytes..bits | Size bytes..bits    ");
    m.add(mode);
    m.add_padding(4);
    EXPECT_EQ(m.get_text_representation(10),
              "Item       | Position bytes..bits | Size bytes..bits    \n"
              "mode       | 0..0                 | 1..0                \n"
              "Padding    | 1..0                 | 0..4                ");
    // Longer texts are not cut.
    EXPECT_EQ(m.get_text_representation(2).substr(0, 10), "Item | Pos");
    EXPECT_THROW(m.get_text_representation(-1), OverflowError);
    EXPECT_THROW(m.get_text_representation(65536), OverflowError);
}

}  // namespace
