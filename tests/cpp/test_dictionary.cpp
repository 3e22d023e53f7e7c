#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "model/dictionary.hpp"
#include "protocol/errors.hpp"

using namespace velmora;

namespace {

// A subscriber with a body; equal only to itself.
class FnSubscriber : public Subscriber {
  public:
    explicit FnSubscriber(std::function<void()> body) : body_(std::move(body)) {}
    void operator()() override { body_(); }
    bool equals(const Subscriber& other) const override { return &other == this; }

  private:
    std::function<void()> body_;
};

SubscriberPtr subscriber(std::function<void()> body) {
    return std::make_shared<FnSubscriber>(std::move(body));
}

Value I(std::int64_t v) {
    return Value{v};
}

TEST(DictionaryItem, BaseRefusesEverythingButFailSafe) {
    DictionaryItem item(1, "x", DataType::UINT8);
    EXPECT_THROW(item.get(), NotImplementedError);
    EXPECT_THROW(item.set(I(1)), NotImplementedError);
    EXPECT_THROW(item._read(), NotImplementedError);
    EXPECT_THROW(item._write(1), NotImplementedError);
    EXPECT_NO_THROW(item._set_fail_safe());
}

TEST(DictionaryItem, KeyMustFitInt32) {
    EXPECT_NO_THROW(DictionaryItem(-2147483648LL, "x", DataType::UINT8));
    EXPECT_THROW(DictionaryItem(2147483648LL, "x", DataType::UINT8), OverflowError);
    EXPECT_THROW(DictionaryItem(-2147483649LL, "x", DataType::UINT8), OverflowError);
}

TEST(DictionaryItemInput, NotifiesOnlyOnChangeAfterStoring) {
    DictionaryItemInput input(1, "in", DataType::INT16, I(0));
    std::vector<Value> seen;
    input.subscribe_changed(subscriber([&] { seen.push_back(input.get()); }));
    input._write(0xFFFE);
    input._write(0xFFFE);
    input._set_fail_safe();
    input._set_fail_safe();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], I(-2));
    EXPECT_EQ(seen[1], I(0));
}

TEST(DictionaryItemInput, EqualNumbersOfOtherKindsAreNoChange) {
    DictionaryItemInput input(1, "in", DataType::BOOL, Value{1.0});
    int calls = 0;
    input.subscribe_changed(subscriber([&] { ++calls; }));
    input._write(1);  // true == 1.0
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(input.get(), Value{1.0});
}

TEST(DictionaryItemInput, SetIsRefusedWithTheName) {
    DictionaryItemInput input(1, "door", DataType::UINT8, I(3));
    try {
        input.set(I(1));
        FAIL();
    } catch (const PermissionError& e) {
        EXPECT_STREQ(e.what(), "Cannot set safe input item door");
    }
    EXPECT_EQ(input.get(), I(3));
    EXPECT_THROW(input._read(), NotImplementedError);
}

TEST(SubscriberList, OrderedWithoutDuplicatesAndErrorsStopTheLoop) {
    DictionaryItemInput input(1, "in", DataType::UINT8, I(0));
    std::vector<int> order;
    auto a = subscriber([&] { order.push_back(1); });
    auto b = subscriber([&] { throw RuntimeError("boom"); });
    auto c = subscriber([&] { order.push_back(3); });
    input.subscribe_changed(a);
    input.subscribe_changed(b);
    input.subscribe_changed(a);
    input.subscribe_changed(c);
    EXPECT_EQ(input.subscribers().size(), 3u);
    EXPECT_THROW(input._write(7), RuntimeError);
    EXPECT_EQ(input.get(), I(7));  // stored before notifying
    EXPECT_EQ(order, std::vector<int>{1});
    input.unsubscribe_changed(b);
    input.unsubscribe_changed(subscriber([] {}));  // unknown: ignored
    input._write(8);
    EXPECT_EQ(order, (std::vector<int>{1, 1, 3}));
}

TEST(SubscriberList, SubscriberMayUnsubscribeItselfWhileNotified) {
    DictionaryItemInput input(1, "in", DataType::UINT8, I(0));
    int first = 0, second = 0;
    SubscriberPtr self;
    self = subscriber([&] {
        ++first;
        input.unsubscribe_changed(self);
        self.reset();  // the list's copy keeps the running subscriber alive
    });
    input.subscribe_changed(self);
    input.subscribe_changed(subscriber([&] { ++second; }));
    input._write(1);
    input._write(2);
    EXPECT_EQ(first, 1);
    // Removing the running entry shifts the next one to its index, as list iteration does.
    EXPECT_EQ(second, 1);
}

TEST(DictionaryItemOutput, SetChecksAndKeepsTheOldValue) {
    DictionaryItemOutput output(2, "out", DataType::INT8);
    EXPECT_EQ(output.get(), I(0));
    output.set(I(-1));
    EXPECT_EQ(output._read(), 255);
    EXPECT_THROW(output.set(I(128)), ValueError);
    EXPECT_THROW(output.set(Value{1.5}), TypeError);
    EXPECT_EQ(output.get(), I(-1));
    EXPECT_THROW(output._write(1), NotImplementedError);

    DictionaryItemOutput flag(3, "flag", DataType::BOOL);
    EXPECT_EQ(flag.get(), Value{false});
    EXPECT_THROW(flag.set(I(2)), ValueError);
    flag.set(Value{1.0});
    EXPECT_EQ(flag._read(), 1);
}

TEST(DictionaryItemInputOutput, TwoSidesAreSeparate) {
    DictionaryItemInputOutput io(4, "io", DataType::UINT16, I(7));
    int calls = 0;
    io.subscribe_input_changed(subscriber([&] { ++calls; }));
    EXPECT_EQ(io.get(), I(7));
    EXPECT_EQ(io.get_output(), I(0));
    io.set(I(500));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(io._read(), 500);
    EXPECT_THROW(io.set(I(70000)), ValueError);
    EXPECT_EQ(io.get_output(), I(500));
    io._write(9);
    EXPECT_EQ(io.get(), I(9));
    io._set_fail_safe();
    EXPECT_EQ(io.get(), I(7));
    EXPECT_EQ(io.get_output(), I(500));
    EXPECT_EQ(calls, 2);
}

std::vector<DictionaryItemPtr> sample_items() {
    return {std::make_shared<DictionaryItemInput>(1, "a", DataType::UINT8, I(5)),
            std::make_shared<DictionaryItemOutput>(2, "b", DataType::INT16),
            std::make_shared<DictionaryItemInputOutput>(3, "c", DataType::BOOL, Value{false})};
}

TEST(Dictionary, LookupsAndAccess) {
    Dictionary d(sample_items());
    ASSERT_EQ(d.items().size(), 3u);
    EXPECT_EQ(d.items()[1]->name(), "b");
    EXPECT_EQ(d.find_key(3), d.items()[2].get());
    EXPECT_EQ(d.find_name("zz"), nullptr);
    d.set("b", I(-3));
    EXPECT_EQ(d._read(2), 0xFFFD);
    d._write(1, 9);
    EXPECT_EQ(d.get("a"), I(9));
    EXPECT_THROW(d.set("a", I(1)), PermissionError);
    try {
        d._read(42);
        FAIL();
    } catch (const KeyError& e) {
        EXPECT_EQ(std::get<std::int64_t>(e.key()), 42);
    }
    try {
        d.get("nope");
        FAIL();
    } catch (const KeyError& e) {
        EXPECT_EQ(std::get<std::string>(e.key()), "nope");
    }
}

TEST(Dictionary, FailSafeTouchesOnlyInputs) {
    Dictionary d(sample_items());
    d._write(1, 200);
    d._write(3, 1);
    d.set("b", I(11));
    d.set("c", Value{true});
    d._set_inputs_to_failsafe();
    EXPECT_EQ(d.get("a"), I(5));
    EXPECT_EQ(d.get("c"), Value{false});
    EXPECT_EQ(d._read(2), 11);
    EXPECT_EQ(d._read(3), 1);
}

struct Duplicate {
    std::int64_t key2;
    const char* name2;
    const char* message;
};

class DictionaryDuplicates : public ::testing::TestWithParam<Duplicate> {};

TEST_P(DictionaryDuplicates, FirstDuplicateKeyBeforeName) {
    const Duplicate& p = GetParam();
    std::vector<DictionaryItemPtr> items{
        std::make_shared<DictionaryItemOutput>(-7, "a", DataType::UINT8),
        std::make_shared<DictionaryItemOutput>(p.key2, p.name2, DataType::UINT8)};
    try {
        Dictionary d(items);
        FAIL();
    } catch (const ValueError& e) {
        EXPECT_STREQ(e.what(), p.message);
    }
}

INSTANTIATE_TEST_SUITE_P(All, DictionaryDuplicates,
                         ::testing::Values(Duplicate{-7, "b", "Duplicated Key -7"},
                                           Duplicate{-7, "a", "Duplicated Key -7"},
                                           Duplicate{8, "a", "Duplicated name a"}));

TEST(DictionaryItemInput, ConcurrentWritesAndReadsStayWhole) {
    // The watchdog thread writes while the host reads: a read is always one of the values.
    DictionaryItemInput input(1, "in", DataType::FLOAT, Value{0.5});
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            input._write(i % 2 ? 0x3F800000 : 0);
        }
        stop = true;
    });
    while (!stop) {
        Value v = input.get();
        ASSERT_TRUE(std::holds_alternative<double>(v));
        double d = std::get<double>(v);
        ASSERT_TRUE(d == 0.0 || d == 1.0 || d == 0.5);
    }
    writer.join();
}

}  // namespace
