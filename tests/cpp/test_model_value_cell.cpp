// The lock-free value cell of the items: every value comes back with its kind and exact
// payload, a change is only a change by the host's comparison, and readers never see a
// value half written, whichever threads write.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

#include "model/dictionary_item.hpp"
#include "model/value_cell.hpp"

using namespace velmora;

namespace {

class CellRoundTrip : public ::testing::TestWithParam<Value> {};

TEST_P(CellRoundTrip, KeepsKindAndPayload) {
    const Value value = GetParam();
    ValueCell cell(Value{std::int64_t{5}}, 9);
    EXPECT_EQ(cell.wire(), 9u);
    cell.store(value, 123);
    const Value back = cell.load();
    ASSERT_EQ(back.index(), value.index());
    if (const double* d = std::get_if<double>(&value)) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(std::get<double>(back)),
                  std::bit_cast<std::uint64_t>(*d));
    } else {
        EXPECT_EQ(back, value);
    }
    EXPECT_EQ(cell.wire(), 123u);
    ValueCell constructed(value);
    EXPECT_EQ(constructed.load().index(), value.index());
}

INSTANTIATE_TEST_SUITE_P(
    Values, CellRoundTrip,
    ::testing::Values(Value{true}, Value{false}, Value{std::int64_t{0}},
                      Value{std::numeric_limits<std::int64_t>::min()},
                      Value{std::numeric_limits<std::int64_t>::max()}, Value{std::int64_t{-1}},
                      Value{-0.0}, Value{0.1}, Value{std::numeric_limits<double>::infinity()},
                      Value{std::numeric_limits<double>::quiet_NaN()},
                      Value{std::numeric_limits<double>::denorm_min()}));

TEST(ValueCell, StoresOnlyARealChange) {
    ValueCell cell(Value{true});
    EXPECT_FALSE(cell.store_if_changed(Value{std::int64_t{1}}));  // 1 == True: kept as is
    EXPECT_EQ(cell.load(), Value{true});
    EXPECT_FALSE(cell.store_if_changed(Value{1.0}));
    EXPECT_TRUE(cell.store_if_changed(Value{std::int64_t{2}}));
    EXPECT_EQ(cell.load(), Value{std::int64_t{2}});
    // -0.0 equals 0: no change, the integer stays.
    cell.store(Value{std::int64_t{0}});
    EXPECT_FALSE(cell.store_if_changed(Value{-0.0}));
    EXPECT_EQ(cell.load(), Value{std::int64_t{0}});
    // NaN equals nothing, itself included: always a change.
    const Value nan{std::numeric_limits<double>::quiet_NaN()};
    EXPECT_TRUE(cell.store_if_changed(nan));
    EXPECT_TRUE(cell.store_if_changed(nan));
}

// Two writers store values whose kinds and payloads differ in every byte; readers must
// only ever see one of them whole. A torn read would pair one value's kind with the other's
// payload, or mix their bytes.
TEST(ValueCell, ConcurrentWritersAndReadersSeeWholeValues) {
    const Value values[] = {Value{std::int64_t{-1}}, Value{0.5}, Value{true},
                            Value{std::int64_t{0x0123456789ABCDEF}}};
    ValueCell cell(values[0]);
    constexpr long kReads = 200000;
    std::atomic<long> reads{0};
    std::atomic<long> torn{0};
    std::atomic<long> changes{0};
    // The reader starts once both writers run, and they write until it is done: all three
    // always overlap.
    std::atomic<int> started{0};
    std::thread reader([&] {
        while (started.load() < 2) std::this_thread::yield();
        for (; reads.load() < kReads; ++reads) {
            const Value v = cell.load();
            bool known = false;
            for (const Value& candidate : values) known = known || v == candidate;
            if (!known) ++torn;
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            ++started;
            for (int i = 0; reads.load(std::memory_order_relaxed) < kReads; ++i) {
                if (cell.store_if_changed(values[(i + w) % 4])) ++changes;
                cell.store(values[(i + 2 * w + 1) % 4]);
            }
        });
    }
    reader.join();
    for (auto& t : writers) t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(changes.load(), 0);
}

// An input's change notification costs nothing without subscribers; the count follows the
// list through subscribe, unsubscribe (also from inside a notification) and clear.
class CountingSubscriber : public Subscriber {
  public:
    explicit CountingSubscriber(std::function<void()> body = {}) : body_(std::move(body)) {}
    void operator()() override {
        ++calls;
        if (body_) body_();
    }
    bool equals(const Subscriber& other) const override { return &other == this; }
    int calls = 0;

  private:
    std::function<void()> body_;
};

TEST(SubscriberCount, FollowsTheListAndNotificationsStillArrive) {
    DictionaryItemInput input(1, "in", DataType::UINT8, Value{std::int64_t{0}});
    EXPECT_EQ(input.subscribers().size(), 0u);
    input._write(1);  // nobody to tell
    auto later = std::make_shared<CountingSubscriber>();
    auto first = std::make_shared<CountingSubscriber>([&] { input.subscribe_changed(later); });
    input.subscribe_changed(first);
    EXPECT_EQ(input.subscribers().size(), 1u);
    input._write(2);
    EXPECT_EQ(first->calls, 1);
    EXPECT_EQ(later->calls, 1);  // added during the loop: called in it, as list iteration does
    EXPECT_EQ(input.subscribers().size(), 2u);
    input.unsubscribe_changed(first);
    EXPECT_EQ(input.subscribers().size(), 1u);
    input._write(3);
    EXPECT_EQ(first->calls, 1);
    EXPECT_EQ(later->calls, 2);
    input.clear_subscribers();
    EXPECT_EQ(input.subscribers().size(), 0u);
    input._write(4);
    EXPECT_EQ(later->calls, 2);
    input.subscribe_changed(later);
    input._set_fail_safe();
    EXPECT_EQ(later->calls, 3);
}

TEST(ItemRestore, InputOutputRefusesAnOutputItCouldNotSend) {
    DictionaryItemInputOutput io(1, "io", DataType::UINT8, Value{std::int64_t{0}});
    io.restore_values(Value{std::int64_t{300}}, Value{true});
    EXPECT_EQ(io.get(), Value{std::int64_t{300}});  // an input is never checked
    EXPECT_EQ(io.get_output(), Value{true});
    EXPECT_EQ(io._read(), 1);
    EXPECT_ANY_THROW(io.restore_values(Value{std::int64_t{1}}, Value{std::int64_t{256}}));
    EXPECT_EQ(io.get(), Value{std::int64_t{300}});
    EXPECT_EQ(io.get_output(), Value{true});
}

}  // namespace
