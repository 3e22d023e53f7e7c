// Host code runs after the operation that caused it: the notification queue, and what a
// callback that calls back into handlers finds.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/notification_queue.hpp"
#include "test_master_handler_support.hpp"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;

struct FnSubscriber final : Subscriber {
    explicit FnSubscriber(std::function<void()> f) : body(std::move(f)) {}
    void operator()() override { body(); }
    bool equals(const Subscriber& other) const override { return this == &other; }
    std::function<void()> body;
};

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(NotificationQueue, DeliversInOrderAcrossGrowthAndOneThreadAtATime) {
    NotificationQueue queue;
    auto item = std::make_shared<DictionaryItemInput>(1, "i", DataType::UINT8, Value{false});
    for (int i = 0; i < 50; ++i) {
        if (i % 3 == 0) queue.state_changed(static_cast<StateId>(i % 5));
        if (i % 3 == 1) queue.error("T" + std::to_string(i), std::nullopt);
        if (i % 3 == 2) queue.item_changed(item);
    }
    ASSERT_TRUE(queue.pending());
    ASSERT_TRUE(queue.begin_delivery());
    EXPECT_FALSE(queue.begin_delivery());  // one deliverer at a time, even on its own thread
    Notification n;
    bool left_over = true;
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(queue.next(n, left_over));
        EXPECT_EQ(static_cast<int>(n.kind), i % 3);
        if (i % 3 == 0) {
            EXPECT_EQ(n.state, static_cast<StateId>(i % 5));
        } else if (i % 3 == 1) {
            EXPECT_EQ(n.transition_name, "T" + std::to_string(i));
        } else {
            EXPECT_EQ(n.item.get(), item.get());
        }
        n.item.reset();
    }
    EXPECT_FALSE(queue.next(n, left_over));
    EXPECT_FALSE(left_over);
    EXPECT_FALSE(queue.pending());
    EXPECT_EQ(item.use_count(), 1);  // the ring keeps no item alive
    queue.state_changed(StateId::Data);
    EXPECT_TRUE(queue.begin_delivery());  // the last next() ended the delivery
}

// A batch is what was queued when it began plus what its own thread adds: another thread's
// notifications that arrive meanwhile wait for the next delivery.
TEST(NotificationQueue, ABatchLeavesWhatOtherThreadsAddMeanwhile) {
    NotificationQueue queue;
    queue.state_changed(StateId::Session);
    ASSERT_TRUE(queue.begin_delivery());
    Notification n;
    bool left_over = false;
    ASSERT_TRUE(queue.next(n, left_over));
    std::thread([&] { queue.state_changed(StateId::Reset); }).join();
    queue.state_changed(StateId::Data);  // this thread's own: after the other's, so it waits too
    EXPECT_FALSE(queue.next(n, left_over));
    EXPECT_TRUE(left_over);
    EXPECT_TRUE(queue.pending());
    ASSERT_TRUE(queue.begin_delivery());
    ASSERT_TRUE(queue.next(n, left_over));
    EXPECT_EQ(n.state, StateId::Reset);
    queue.state_changed(StateId::Connection);  // added by the deliverer: same batch
    ASSERT_TRUE(queue.next(n, left_over));
    EXPECT_EQ(n.state, StateId::Data);
    ASSERT_TRUE(queue.next(n, left_over));
    EXPECT_EQ(n.state, StateId::Connection);
    EXPECT_FALSE(queue.next(n, left_over));
    EXPECT_FALSE(left_over);
}

// A reset the host asks for from a subscriber is in force when the call that handled the
// reply returns, and the host hears of the states in the order they were taken.
enum class HostAction { Reset, Start, StopThenStart };

class HostCallFromASubscriber : public ::testing::TestWithParam<HostAction> {};

TEST_P(HostCallFromASubscriber, IsInForceWhenTheReplyReturns) {
    HandlerRig rig(2, 2);
    rig.advance_to(StateId::Data);
    bool once = true;
    rig.inputs[1]->subscribe_changed(std::make_shared<FnSubscriber>([&] {
        if (!once) return;
        once = false;
        // The whole reply is in: both inputs hold its values.
        EXPECT_TRUE(values_equal(rig.inputs[0]->get(), Value{std::int64_t{0x51}}));
        EXPECT_TRUE(values_equal(rig.inputs[1]->get(), Value{std::int64_t{0x52}}));
        switch (GetParam()) {
            case HostAction::Reset:
                rig.handler->reset();
                break;
            case HostAction::Start:
                rig.handler->start();
                break;
            case HostAction::StopThenStart:
                rig.handler->stop();
                rig.handler->start();
                break;
        }
    }));
    rig.states->states.clear();
    rig.answer(FSOECommand::PROCESS_DATA, {0x51, 0x52}, kConnectionId);
    EXPECT_EQ(rig.handler->state(), StateId::Reset);
    EXPECT_EQ(decode(rig.request()).command, static_cast<std::uint16_t>(FSOECommand::RESET));
    EXPECT_TRUE(inputs_fail_safe(rig));
    ASSERT_FALSE(rig.states->states.empty());
    EXPECT_EQ(rig.states->states.back(), StateId::Reset);
    rig.advance_to(StateId::Data);
}

INSTANTIATE_TEST_SUITE_P(Actions, HostCallFromASubscriber,
                         ::testing::Values(HostAction::Reset, HostAction::Start,
                                           HostAction::StopThenStart));

TEST(Notifications, ARaisingSubscriberSeesTheWholeReplyAccepted) {
    HandlerRig rig(2, 4);
    rig.advance_to(StateId::Data);
    rig.inputs[0]->subscribe_changed(
        std::make_shared<FnSubscriber>([] { throw ValueError("first subscriber"); }));
    int later_calls = 0;
    rig.inputs[2]->subscribe_changed(std::make_shared<FnSubscriber>([&] { ++later_calls; }));
    const auto accepted = rig.handler->diagnostics().accepted_replies;
    EXPECT_THROW(rig.answer(FSOECommand::PROCESS_DATA, {0x61, 0x62, 0x63, 0x64}, kConnectionId),
                 ValueError);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(values_equal(rig.inputs[i]->get(), Value{std::int64_t(0x61 + i)})) << i;
    }
    EXPECT_EQ(later_calls, 1);
    EXPECT_EQ(rig.handler->diagnostics().accepted_replies, accepted + 1);
    EXPECT_EQ(rig.handler->state(), StateId::Data);
}

TEST(Notifications, CallbacksFindTheHandlerWholeAndMayUseIt) {
    HandlerRig rig(2, 2);
    std::vector<StateId> seen_in_callback;
    rig.errors->on_call = [&] {
        // Any operation works from a callback: nothing of the handler is held.
        seen_in_callback.push_back(rig.handler->state());
        EXPECT_EQ(decode(rig.request()).command, static_cast<std::uint16_t>(FSOECommand::RESET));
        rig.handler->set_fail_safe(true);
        EXPECT_GE(rig.handler->diagnostics().cycles, 1u);
    };
    rig.advance_to(StateId::Data);
    rig.answer(FSOECommand::PROCESS_DATA, {1, 2}, kConnectionId, /*corrupt=*/true);
    ASSERT_EQ(seen_in_callback.size(), 1u);
    EXPECT_EQ(seen_in_callback[0], StateId::Reset);  // the transition was complete
}

TEST(Notifications, ANestedOperationIsReportedAfterTheOneThatCalledIt) {
    HandlerRig rig(2, 2);
    rig.advance_to(StateId::Parameter);
    rig.states->states.clear();
    bool once = true;
    rig.errors->on_call = [] {};
    rig.inputs[0]->subscribe_changed(std::make_shared<FnSubscriber>([&] {
        if (once) {
            once = false;
            rig.handler->reset();
        }
    }));
    // PARA_OK reaches Data; the first Data reply changes the input, whose subscriber resets.
    rig.advance_to(StateId::Data);
    rig.answer(FSOECommand::PROCESS_DATA, {0x33, 0x34}, kConnectionId);
    EXPECT_EQ(rig.states->states, (std::vector<StateId>{StateId::Data, StateId::Reset}));
}

// A host operation's notifications left to a watchdog thread that is delivering slowly are
// delivered even when the handler is deleted meanwhile (the thread delivers them itself once
// it can no longer be woken for them).
TEST(Notifications, WhatIsLeftToAStoppingWatchdogThreadIsStillDelivered) {
    HandlerRig rig(2, 2, {}, 0.05);
    std::atomic<bool> armed{false};
    std::atomic<bool> in_callback{false};
    // Set before any expiry can run (the watchdog thread reads it).
    rig.errors->on_call = [&] {
        if (!armed.load()) return;
        in_callback = true;
        std::this_thread::sleep_for(50ms);
    };
    rig.advance_to(StateId::Data);
    armed = true;
    ASSERT_TRUE(wait_until([&] { return in_callback.load(); }));  // the expiry's delivery
    rig.locked([&] { rig.handler->_report_error("HOST", "from the host"); });
    rig.handler->delete_();
    bool delivered = false;
    {
        std::lock_guard lock(rig.errors->mutex);
        for (const auto& record : rig.errors->records) delivered |= record.transition == "HOST";
    }
    EXPECT_TRUE(delivered);
}

// Two connections whose error callbacks reset each other ("one slave dropped out, reset the
// other one too"): both watchdogs expire at about the same time.
TEST(Notifications, ErrorCallbacksThatResetEachOtherDoNotDeadlock) {
    HandlerRig a(2, 2, {}, 0.05);
    HandlerRig b(2, 2, {}, 0.05);
    std::atomic<int> a_errors{0}, b_errors{0};
    // Only a dropped Data connection resets the other one.
    a.errors->on_call = [&] {
        if (a.errors->records.back().transition != "DATA_WD") return;
        ++a_errors;
        b.handler->reset();
    };
    b.errors->on_call = [&] {
        if (b.errors->records.back().transition != "DATA_WD") return;
        ++b_errors;
        a.handler->reset();
    };
    for (int round = 0; round < 5; ++round) {
        a.advance_to(StateId::Data);
        b.advance_to(StateId::Data);
        const int before_a = a_errors, before_b = b_errors;
        // The first to expire resets the other (or both expire at once and reset each other).
        ASSERT_TRUE(wait_until([&] { return a_errors + b_errors > before_a + before_b; }))
            << "round " << round;
        ASSERT_TRUE(wait_until([&] {
            return a.handler->state() != StateId::Data && b.handler->state() != StateId::Data;
        }));
        EXPECT_TRUE(inputs_fail_safe(a));
        EXPECT_TRUE(inputs_fail_safe(b));
        a.handler->reset();
        b.handler->reset();
    }
    a.handler->stop();
    b.handler->stop();
}

}  // namespace
}  // namespace velmora::testing

namespace velmora::testing {
namespace {

// fork() copies no watchdog thread: the child's copy of a handler must not run unsupervised.
TEST(Fork, AnInheritedHandlerRefusesToRunAndDeleteReturnsAtOnce) {
    HandlerRig rig(2, 2, {}, 0.05);
    rig.advance_to(StateId::Data);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failures = 0;
        const auto refuses = [&](const std::function<void()>& operation) {
            try {
                operation();
                ++failures;
            } catch (const RuntimeError& e) {
                if (std::string(e.what()).find("fork") == std::string::npos) ++failures;
            } catch (...) {
                ++failures;
            }
        };
        refuses([&] { rig.handler->reset(); });
        refuses([&] { rig.handler->start(); });
        refuses([&] { rig.handler->stop(); });
        refuses([&] { rig.request(); });
        refuses([&] { rig.handler->set_fail_safe(false); });
        refuses([&] { rig.answer(FSOECommand::PROCESS_DATA, {1, 2}, kConnectionId); });
        if (rig.handler->_watchdog().is_alive()) ++failures;
        const auto began = std::chrono::steady_clock::now();
        rig.handler->delete_();
        rig.handler.reset();  // destroyed without waiting for a thread that is not there
        if (std::chrono::steady_clock::now() - began > 1s) ++failures;
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The parent's handler is still supervised.
    ASSERT_TRUE(wait_until([&] { return rig.handler->state() != StateId::Data; }));
    EXPECT_TRUE(inputs_fail_safe(rig));
}

}  // namespace
}  // namespace velmora::testing
