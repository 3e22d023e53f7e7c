#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/blocking_wait.hpp"
#include "engine/watchdog.hpp"
#include "protocol/errors.hpp"

using namespace velmora;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct LogEntry {
    std::string message;
    bool has_error;
    std::string error;  // what() of the error
};

std::mutex g_log_mutex;
std::vector<LogEntry> g_log;

void capture_sink(std::string_view message, std::exception_ptr error) {
    LogEntry entry{std::string(message), error != nullptr, {}};
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            entry.error = e.what();
        }
    }
    std::lock_guard lock(g_log_mutex);
    g_log.push_back(entry);
}

std::vector<LogEntry> logged() {
    std::lock_guard lock(g_log_mutex);
    return g_log;
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 2000ms) {
    auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::size_t thread_count() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

constexpr const char* kCrashed = "FSoE Watchdog thread crashed. Restarting...";

class WatchdogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        {
            std::lock_guard lock(g_log_mutex);
            g_log.clear();
        }
        Watchdog::set_log_sink(&capture_sink);
    }
    void TearDown() override { Watchdog::set_log_sink(nullptr); }

    std::atomic<int> expiries{0};
    Watchdog::Callback counter() {
        return [this] { ++expiries; };
    }
};

TEST_F(WatchdogTest, ActiveExpiresAboutEveryTimeoutUntilDeactivated) {
    Watchdog wd(0.02, counter());
    wd.start();
    EXPECT_TRUE(wd.is_alive());
    EXPECT_FALSE(wd.active());
    wd.activate();
    EXPECT_TRUE(wd.active());  // confirmed by the thread before activate returns
    std::this_thread::sleep_for(210ms);
    wd.deactivate();
    EXPECT_FALSE(wd.active());
    int seen = expiries.load();
    EXPECT_GE(seen, 3);
    EXPECT_LE(seen, 11);
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(expiries.load(), seen);
    EXPECT_TRUE(logged().empty());
}

TEST_F(WatchdogTest, InactiveNeverExpiresAndIgnoresResets) {
    Watchdog wd(0.005, counter());
    wd.start();
    for (int i = 0; i < 20; ++i) {
        wd.reset();
        std::this_thread::sleep_for(3ms);
    }
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(expiries.load(), 0);
    EXPECT_FALSE(wd.active());
}

TEST_F(WatchdogTest, ResetsKeepItFromExpiringAndEachRestartsTheTimeout) {
    Watchdog wd(0.04, counter());
    wd.start();
    auto activated = Clock::now();
    wd.activate_and_reset();
    for (int i = 0; i < 100; ++i) {
        wd.reset();
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(expiries.load(), 0);
    EXPECT_GT(seconds_since(activated), 0.15);  // far beyond one timeout
    auto last_reset = Clock::now();
    wd.reset();
    ASSERT_TRUE(wait_until([&] { return expiries.load() > 0; }));
    EXPECT_GE(seconds_since(last_reset), 0.035);
}

TEST_F(WatchdogTest, RepeatedActivateAndDeactivateAreNoOps) {
    Watchdog wd(10.0, counter());
    wd.start();
    wd.deactivate();
    EXPECT_FALSE(wd.active());
    for (int i = 0; i < 5; ++i) wd.activate_and_reset();
    EXPECT_TRUE(wd.active());
    wd.deactivate();
    wd.deactivate();
    EXPECT_FALSE(wd.active());
    EXPECT_TRUE(logged().empty());  // no ACTIVATE ever reached an active thread
}

using Operation = std::function<void(Watchdog&)>;
struct NotRunningCase {
    const char* name;
    bool started;
    Operation op;
};

class WatchdogNotRunning : public ::testing::TestWithParam<NotRunningCase> {};

TEST_P(WatchdogNotRunning, FailsAndQueuesNothing) {
    Watchdog wd(0.01, [] {});
    if (GetParam().started) {
        wd.start();
        wd.stop();
        EXPECT_FALSE(wd.is_alive());
    }
    try {
        GetParam().op(wd);
        FAIL() << "no error";
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "FSoE Watchdog thread is not running");
    }
    EXPECT_FALSE(wd.is_alive());
}

std::vector<NotRunningCase> not_running_cases() {
    std::vector<std::pair<const char*, Operation>> ops = {
        {"activate", [](Watchdog& w) { w.activate(); }},
        {"deactivate", [](Watchdog& w) { w.deactivate(); }},
        {"reset", [](Watchdog& w) { w.reset(); }},
        {"stop", [](Watchdog& w) { w.stop(); }},
        {"activate_and_reset", [](Watchdog& w) { w.activate_and_reset(); }},
        {"send", [](Watchdog& w) { w.send_blocking_command(WatchdogCommand::DEACTIVATE); }},
    };
    std::vector<NotRunningCase> cases;
    for (bool started : {false, true}) {
        for (auto& [name, op] : ops) cases.push_back({name, started, op});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Operations, WatchdogNotRunning, ::testing::ValuesIn(not_running_cases()),
                         [](const auto& info) {
                             return std::string(info.param.started ? "Stopped_" : "NotStarted_") +
                                    info.param.name;
                         });

TEST_F(WatchdogTest, StoppedThreadCannotBeStartedAgain) {
    Watchdog wd(0.01, counter());
    wd.start();
    EXPECT_THROW(wd.start(), RuntimeError);
    wd.stop();
    wd.join();
    EXPECT_THROW(wd.start(), RuntimeError);
}

TEST_F(WatchdogTest, RefusesBadConstruction) {
    EXPECT_THROW(Watchdog(-0.1, [] {}), ValueError);
    EXPECT_THROW(Watchdog(std::nan(""), [] {}), ValueError);
    EXPECT_THROW(Watchdog(1.0, Watchdog::Callback{}), TypeError);
}

TEST_F(WatchdogTest, ThrowingCallbackIsLoggedAndCalledAgain) {
    Watchdog wd(0.01, [this] {
        ++expiries;
        throw std::runtime_error("boom");
    });
    wd.start();
    wd.activate();
    ASSERT_TRUE(wait_until([&] { return expiries.load() >= 3; }));
    wd.deactivate();
    EXPECT_TRUE(wd.is_alive());
    auto log = logged();
    ASSERT_GE(log.size(), 2u);
    for (const auto& entry : log) {
        EXPECT_EQ(entry.message, kCrashed);
        EXPECT_TRUE(entry.has_error);
        EXPECT_EQ(entry.error, "boom");
    }
}

struct UnexpectedCommandCase {
    const char* name;
    WatchdogCommand command;
    const char* message;
};

class WatchdogUnexpectedCommand : public WatchdogTest,
                                  public ::testing::WithParamInterface<UnexpectedCommandCase> {};

TEST_P(WatchdogUnexpectedCommand, IsLoggedReleasesTheCallerAndTheThreadGoesOn) {
    Watchdog wd(0.01, counter());
    wd.start();
    wd.activate();
    auto start = Clock::now();
    wd.send_blocking_command(GetParam().command);
    EXPECT_LT(seconds_since(start), 1.0);
    // The caller is released before the crash line is written.
    ASSERT_TRUE(wait_until([] { return logged().size() >= 2; }));
    auto log = logged();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].message, GetParam().message);
    EXPECT_FALSE(log[0].has_error);
    EXPECT_EQ(log[1].message, kCrashed);
    EXPECT_EQ(log[1].error, GetParam().message);
    EXPECT_TRUE(wd.is_alive());
    EXPECT_TRUE(wd.active());
    int seen = expiries.load();
    EXPECT_TRUE(wait_until([&] { return expiries.load() > seen; }));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, WatchdogUnexpectedCommand,
    ::testing::Values(
        UnexpectedCommandCase{"ActivateWhileActive", WatchdogCommand::ACTIVATE,
                              "WatchdogCommand.ACTIVATE received while already active"},
        UnexpectedCommandCase{
            "Unknown", static_cast<WatchdogCommand>(99),
            "Unknown FSoE Watchdog internal command received. Watchdog corrupted"}),
    [](const auto& info) { return std::string(info.param.name); });

// The callback runs host code, which may wait for the very caller of a blocking command:
// while it runs, the caller carries its command out itself instead of waiting.
TEST_F(WatchdogTest, BlockingCommandDoesNotWaitForABusyCallback) {
    std::atomic<bool> in_callback{false};
    std::atomic<bool> release{false};
    std::atomic<int> expiries{0};
    Watchdog wd(0.005, [&] {
        ++expiries;
        in_callback = true;
        while (!release.load()) std::this_thread::sleep_for(1ms);
    });
    wd.start();
    wd.activate();
    ASSERT_TRUE(wait_until([&] { return in_callback.load(); }));
    auto start = Clock::now();
    wd.deactivate();
    EXPECT_FALSE(wd.active());
    EXPECT_LT(seconds_since(start), 1.0);
    release = true;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(expiries.load(), 1);  // deactivated: no expiry after the callback returned
    wd.activate();                  // the thread takes its commands again
    EXPECT_TRUE(wait_until([&] { return expiries.load() >= 2; }));
}

TEST_F(WatchdogTest, DestructionStopsAndJoinsTheThread) {
    std::size_t before = thread_count();
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    {
        Watchdog wd(0.005, [token] {});
        token.reset();
        wd.start();
        wd.activate();
        EXPECT_EQ(thread_count(), before + 1);
        std::this_thread::sleep_for(20ms);
    }
    // A joined thread may still be listed for a moment while the kernel finishes it off.
    EXPECT_TRUE(wait_until([&] { return thread_count() == before; }));
    EXPECT_TRUE(watch.expired());  // the callback is released with the thread
}

TEST_F(WatchdogTest, StopAllStopsAndJoinsEveryThread) {
    std::size_t before = thread_count();
    Watchdog active(0.005, counter());
    Watchdog inactive(0.005, counter());
    Watchdog unstarted(0.005, counter());
    Watchdog stopped(0.005, counter());
    active.start();
    active.activate();
    inactive.start();
    stopped.start();
    stopped.stop();
    Watchdog::stop_all();
    EXPECT_FALSE(active.is_alive());
    EXPECT_FALSE(inactive.is_alive());
    EXPECT_FALSE(unstarted.is_alive());
    EXPECT_TRUE(wait_until([&] { return thread_count() == before; }));
    int seen = expiries.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(expiries.load(), seen);
}

TEST_F(WatchdogTest, ConcurrentCallersDoNotDeadlock) {
    Watchdog wd(0.001, counter());
    wd.start();
    std::atomic<double> slowest{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < 400; ++i) {
                auto start = Clock::now();
                switch ((i + t) % 4) {
                    case 0:
                        wd.reset();
                        break;
                    case 1:
                        wd.activate();
                        break;
                    case 2:
                        wd.deactivate();
                        break;
                    default:
                        wd.activate_and_reset();
                        break;
                }
                double took = seconds_since(start);
                double seen = slowest.load();
                while (took > seen && !slowest.compare_exchange_weak(seen, took)) {
                }
            }
        });
    }
    for (auto& c : callers) c.join();
    EXPECT_LT(slowest.load(), 1.0);
    auto start = Clock::now();
    wd.stop();
    EXPECT_LT(seconds_since(start), 1.0);
    EXPECT_TRUE(logged().empty());
}

// A callback acting on its own watchdog is handled on the thread, never waits for itself.
struct OwnCommandCase {
    const char* name;
    std::function<void(std::unique_ptr<Watchdog>&)> action;
    bool keeps_expiring;
};

class WatchdogOwnCommand : public WatchdogTest,
                           public ::testing::WithParamInterface<OwnCommandCase> {};

TEST_P(WatchdogOwnCommand, DoesNotWaitForItself) {
    std::size_t before = thread_count();
    std::unique_ptr<Watchdog> wd;
    std::atomic<double> longest{0};
    std::atomic<int> calls{0};
    wd = std::make_unique<Watchdog>(0.005, [&] {
        auto start = Clock::now();
        if (++calls == 1) GetParam().action(wd);
        longest = std::max(longest.load(), seconds_since(start));
    });
    wd->start();
    wd->activate();
    if (GetParam().keeps_expiring) {
        ASSERT_TRUE(wait_until([&] { return calls.load() >= 3; }));
        EXPECT_TRUE(wd->active());
    } else {
        ASSERT_TRUE(wait_until([&] { return calls.load() >= 1; }));
        std::this_thread::sleep_for(40ms);
        EXPECT_EQ(calls.load(), 1);
    }
    EXPECT_LT(longest.load(), 1.0);
    Watchdog::stop_all();
    EXPECT_TRUE(wait_until([&] { return thread_count() == before; }));
    EXPECT_TRUE(logged().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Actions, WatchdogOwnCommand,
    ::testing::Values(OwnCommandCase{"Deactivate", [](auto& w) { w->deactivate(); }, false},
                      OwnCommandCase{"Stop",
                                     [](auto& w) {
                                         w->stop();
                                         w->join();
                                         EXPECT_FALSE(w->is_alive());
                                     },
                                     false},
                      OwnCommandCase{"ActivateAndReset", [](auto& w) { w->activate_and_reset(); },
                                     true},
                      OwnCommandCase{"DeactivateThenActivate",
                                     [](auto& w) {
                                         w->deactivate();
                                         w->activate();
                                     },
                                     true},
                      OwnCommandCase{"Destroy", [](auto& w) { w.reset(); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

int g_waits = 0;
void counting_hook(void (*wait)(void*), void* context) {
    ++g_waits;
    wait(context);
}

TEST_F(WatchdogTest, EveryBlockingWaitGoesThroughTheWaitHook) {
    set_wait_hook(&counting_hook);
    g_waits = 0;
    {
        Watchdog wd(1.0, counter());
        wd.start();
        for (int i = 0; i < 100; ++i) wd.reset();
        EXPECT_EQ(g_waits, 0);
        wd.activate();
        EXPECT_EQ(g_waits, 1);
        wd.activate_and_reset();  // already active: nothing to wait for
        EXPECT_EQ(g_waits, 1);
        wd.deactivate();
        wd.stop();
        wd.join();
        EXPECT_EQ(g_waits, 4);
    }
    set_wait_hook(nullptr);
}

}  // namespace
