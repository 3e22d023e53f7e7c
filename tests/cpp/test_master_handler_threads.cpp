// The exclusion between host calls and watchdog expiries.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "test_master_handler_support.hpp"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 3000ms) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Records from any thread.
class ThreadErrors final : public ErrorCallback {
  public:
    void operator()(std::optional<std::string_view> name,
                    std::optional<std::string_view>) override {
        std::lock_guard lock(mutex);
        names.emplace_back(name.value_or(""));
        threads.push_back(std::this_thread::get_id());
        if (on_call) on_call();
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return names;
    }
    std::mutex mutex;
    std::vector<std::string> names;
    std::vector<std::thread::id> threads;
    std::function<void()> on_call;
};

struct ThreadRig {
    explicit ThreadRig(double watchdog_s) {
        auto in = std::make_shared<DictionaryItemInput>(1, "in", DataType::UINT16,
                                                        Value{std::int64_t{0}});
        auto out = std::make_shared<DictionaryItemOutput>(2, "out", DataType::UINT16);
        auto dictionary = std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{in, out});
        handler = std::make_shared<MasterHandler>(dictionary, 1, 1, watchdog_s,
                                                  std::vector<ApplicationParameterPtr>{}, errors);
        handler->master().dictionary_map()->add(out);
        handler->slave().dictionary_map()->add(in);
    }
    std::shared_ptr<ThreadErrors> errors = std::make_shared<ThreadErrors>();
    std::shared_ptr<MasterHandler> handler;
};

TEST(HandlerThreads, ExpiryDuringAHostCallRunsBeforeItReturns) {
    ThreadRig rig(0.01);
    rig.handler->start();
    rig.handler->exclusive([&] {
        std::this_thread::sleep_for(100ms);
        // Nothing ran meanwhile: the host call holds the handler.
        EXPECT_EQ(rig.handler->state(), StateId::Reset);
        EXPECT_TRUE(rig.errors->snapshot().empty());
    });
    const auto names = rig.errors->snapshot();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names[0], "RESET_WD");
    EXPECT_EQ(rig.errors->threads[0], std::this_thread::get_id());
    rig.handler->stop();
}

TEST(HandlerThreads, StopNeverWaitsForTheWatchdog) {
    ThreadRig rig(0.001);
    for (int i = 0; i < 100; ++i) {
        rig.handler->start();
        std::this_thread::sleep_for(std::chrono::microseconds(500 + 37 * i));
        const auto begin = Clock::now();
        rig.handler->stop();
        ASSERT_LT(Clock::now() - begin, 1s) << "round " << i;
        ASSERT_FALSE(rig.handler->_watchdog().active());
    }
    // A stopped handler stays where stop left it: no expiry runs after it.
    const auto seen = rig.errors->snapshot().size();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(rig.errors->snapshot().size(), seen);
    EXPECT_EQ(rig.handler->state(), StateId::Reset);
}

TEST(HandlerThreads, HostLoopAgainstAFastWatchdog) {
    ThreadRig rig(0.001);
    rig.handler->start();
    ScriptedSlave slave(2);
    const auto end = Clock::now() + 1s;
    auto slowest = Clock::duration::zero();
    int calls = 0;
    std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
    while (Clock::now() < end) {
        const auto begin = Clock::now();
        const std::uint16_t length = rig.handler->get_request(out);
        const Bytes request(out, out + length);
        rig.handler->set_reply(
            slave.reply(request, FSOECommand::RESET, {static_cast<std::uint8_t>(calls)}));
        if (calls % 7 == 0) rig.handler->reset();
        slowest = std::max(slowest, Clock::now() - begin);
        ++calls;
    }
    rig.handler->stop();
    EXPECT_LT(slowest, 1s);
    EXPECT_GT(calls, 100);
    EXPECT_FALSE(rig.errors->snapshot().empty());
}

TEST(HandlerThreads, DeleteFromTheWatchdogThreadDoesNotWaitForItself) {
    ThreadRig rig(0.005);
    std::atomic<bool> deleted{false};
    std::chrono::nanoseconds took{};
    rig.errors->on_call = [&] {
        if (!rig.handler->_watchdog().on_watchdog_thread() || deleted) return;
        const auto begin = Clock::now();
        rig.handler->delete_();
        took = Clock::now() - begin;
        deleted = true;
    };
    rig.handler->start();
    ASSERT_TRUE(wait_until([&] { return deleted.load(); }));
    EXPECT_LT(took, 1s);
    EXPECT_TRUE(wait_until([&] { return !rig.handler->_watchdog().is_alive(); }));
    EXPECT_FALSE(rig.handler->running());
}

TEST(HandlerThreads, LastReferenceDroppedDuringItsOwnExpiry) {
    auto rig = std::make_unique<ThreadRig>(0.005);
    std::weak_ptr<MasterHandler> weak = rig->handler;
    std::atomic<bool> dropped{false};
    auto errors = rig->errors;
    std::shared_ptr<MasterHandler>* owner = &rig->handler;
    errors->on_call = [&] {
        if (dropped.exchange(true)) return;
        owner->reset();  // the expiry in progress keeps the handler until it ends
    };
    rig->handler->start();
    ASSERT_TRUE(wait_until([&] { return dropped.load(); }));
    EXPECT_TRUE(wait_until([&] { return weak.expired(); }));
}

struct WatchdogCase {
    StateId state;
    std::string transition;
};

class ExpiryInEachState : public ::testing::TestWithParam<WatchdogCase> {};

TEST_P(ExpiryInEachState, ReportsAndResets) {
    HandlerRig rig(2, 2, {}, 0.05);
    rig.advance_to(GetParam().state);
    ASSERT_TRUE(wait_until([&] {
        bool seen = false;
        rig.locked([&] { seen = !rig.errors->records.empty(); });
        return seen;
    }));
    rig.locked([&] {
        EXPECT_EQ(rig.errors->records[0].transition, GetParam().transition);
        EXPECT_EQ(rig.errors->records[0].message, "The watchdog of the master expired");
    });
    rig.handler->stop();
    EXPECT_TRUE(inputs_fail_safe(rig));
}

INSTANTIATE_TEST_SUITE_P(States, ExpiryInEachState,
                         ::testing::Values(WatchdogCase{StateId::Reset, "RESET_WD"},
                                           WatchdogCase{StateId::Session, "SESSION_WD"},
                                           WatchdogCase{StateId::Connection, "CONN_WD"},
                                           WatchdogCase{StateId::Parameter, "PARA_WD"},
                                           WatchdogCase{StateId::Data, "DATA_WD"}));

TEST(HandlerLock, IsReentrantAndExclusive) {
    HandlerLock lock;
    ASSERT_TRUE(lock.try_lock());
    ASSERT_TRUE(lock.try_lock());
    EXPECT_EQ(lock.depth(), 2u);
    std::atomic<bool> other{true};
    std::thread([&] { other = lock.try_lock(); }).join();
    EXPECT_FALSE(other);
    lock.unlock();
    EXPECT_TRUE(lock.held_by_this_thread());
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        lock.lock();
        acquired = true;
        lock.unlock();
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(acquired);
    lock.unlock();
    waiter.join();
    EXPECT_TRUE(acquired);
    EXPECT_FALSE(lock.held_by_this_thread());
}

TEST(HandlerLock, ServesWaitersInTheOrderTheyCame) {
    HandlerLock lock;
    lock.lock();
    std::vector<int> order;  // written under the lock
    std::atomic<int> served{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&, i] {
            lock.lock();
            order.push_back(i);
            served.fetch_add(1);
            lock.unlock();
        });
        std::this_thread::sleep_for(20ms);  // queued before the next one comes
    }
    // A thread that only tries never overtakes the queue, not even while the lock passes
    // from one waiter to the next.
    std::atomic<bool> overtook{false};
    std::thread tryer([&] {
        while (served.load() < 4) {
            if (lock.try_lock()) {
                if (served.load() < 4) overtook = true;
                lock.unlock();
            }
        }
    });
    std::this_thread::sleep_for(5ms);
    lock.unlock();
    for (auto& w : waiters) w.join();
    tryer.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_FALSE(overtook);
}

TEST(HandlerLock, ACallerIsNotStarvedByThreadsThatLoopTakingIt) {
    HandlerLock lock;
    std::atomic<bool> over{false};
    std::vector<std::thread> loopers;
    for (int t = 0; t < 2; ++t) {
        loopers.emplace_back([&] {
            while (!over.load()) {
                lock.lock();
                std::this_thread::sleep_for(50us);
                lock.unlock();
            }
        });
    }
    std::chrono::nanoseconds slowest{0};
    for (int i = 0; i < 200; ++i) {
        const auto begin = std::chrono::steady_clock::now();
        lock.lock();
        slowest = std::max(slowest, std::chrono::steady_clock::now() - begin);
        lock.unlock();
    }
    over = true;
    for (auto& l : loopers) l.join();
    // Two turns of the others at most; a generous bound for sanitizer builds.
    EXPECT_LT(slowest, 200ms);
}

}  // namespace
}  // namespace velmora::testing
