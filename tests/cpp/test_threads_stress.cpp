// A handler driven from several threads at once (a bus thread cycling against the slave
// simulator, two host threads calling every other operation) while its watchdog expires at
// random moments. Built for ThreadSanitizer: no data race, no deadlock, no call anywhere
// near the watchdog's 5-second confirmation wait, and the watchdog always fires again once
// the host goes quiet.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/master_handler.hpp"
#include "protocol/errors.hpp"
#include "sim/slave_simulator.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kAddress = 0x42;
constexpr std::uint16_t kConnectionId = 0x1234;

// Watchdog reports, from whichever thread made them.
class WatchdogReports final : public ErrorCallback {
  public:
    void operator()(std::optional<std::string_view> name,
                    std::optional<std::string_view>) override {
        const std::string text(name.value_or(""));
        if (text.size() > 3 && text.compare(text.size() - 3, 3, "_WD") == 0) {
            std::lock_guard lock(mutex_);
            ++count_;
            threads_.push_back(std::this_thread::get_id());
        }
    }
    int count() {
        std::lock_guard lock(mutex_);
        return count_;
    }
    bool some_not_from(const std::vector<std::thread::id>& ids) {
        std::lock_guard lock(mutex_);
        for (auto t : threads_) {
            bool listed = false;
            for (auto id : ids) listed = listed || t == id;
            if (!listed) return true;
        }
        return false;
    }

  private:
    std::mutex mutex_;
    int count_ = 0;
    std::vector<std::thread::id> threads_;
};

// The longest call seen, and the failures of all threads.
struct Outcome {
    std::atomic<std::int64_t> slowest_us{0};
    std::mutex mutex;
    std::vector<std::string> failures;

    template <typename F>
    void timed(F&& f) {
        const auto begin = Clock::now();
        try {
            std::forward<F>(f)();
        } catch (const FSOEMasterRunningException&) {
            // set_slave_address while the connection runs.
        } catch (const std::exception& e) {
            std::lock_guard lock(mutex);
            failures.emplace_back(e.what());
        }
        const auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin).count();
        std::int64_t seen = slowest_us.load();
        while (us > seen && !slowest_us.compare_exchange_weak(seen, us)) {
        }
    }
};

// Lets the worker threads run, or parks them for a quiet period.
class Gate {
  public:
    explicit Gate(int workers) : workers_(workers) {}
    // Called by a worker between operations; false once the run is over.
    bool pass() {
        if (parked_.load()) {
            ++waiting_;
            while (parked_.load() && !over_.load()) std::this_thread::sleep_for(100us);
            --waiting_;
        }
        return !over_.load();
    }
    void park() {
        parked_ = true;
        while (waiting_.load() < workers_) std::this_thread::sleep_for(100us);
    }
    void open() { parked_ = false; }
    void end() {
        over_ = true;
        parked_ = false;
    }

  private:
    const int workers_;
    std::atomic<bool> parked_{false};
    std::atomic<bool> over_{false};
    std::atomic<int> waiting_{0};
};

struct StressRig {
    explicit StressRig(double watchdog_s) {
        std::vector<DictionaryItemPtr> items;
        for (int i = 0; i < 2; ++i) {
            auto in = std::make_shared<DictionaryItemInput>(
                10 + i, "in" + std::to_string(i), DataType::UINT8, Value{std::int64_t{0xA0}});
            auto out = std::make_shared<DictionaryItemOutput>(20 + i, "out" + std::to_string(i),
                                                              DataType::UINT8);
            inputs.push_back(in);
            outputs.push_back(out);
            items.push_back(in);
            items.push_back(out);
        }
        handler = std::make_shared<MasterHandler>(std::make_shared<Dictionary>(items), kAddress,
                                                  kConnectionId, watchdog_s,
                                                  std::vector<ApplicationParameterPtr>{}, reports);
        for (auto& out : outputs) handler->master().dictionary_map()->add(out);
        for (auto& in : inputs) handler->slave().dictionary_map()->add(in);
    }
    std::vector<std::shared_ptr<DictionaryItemInput>> inputs;
    std::vector<std::shared_ptr<DictionaryItemOutput>> outputs;
    std::shared_ptr<WatchdogReports> reports = std::make_shared<WatchdogReports>();
    std::shared_ptr<MasterHandler> handler;
};

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(200us);
    }
    return true;
}

// Runs `body` on its own thread; a body that does not finish in time is a deadlock, and
// the process cannot go on with threads stuck in it.
void within(std::chrono::seconds limit, const std::function<void()>& body) {
    std::packaged_task<void()> task(body);
    auto done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "deadlock: the threads did not finish within " << limit.count() << " s";
        std::abort();
    }
    runner.join();
    done.get();
}

TEST(ThreadStress, HandlerFromABusThreadAndTwoHostThreadsAgainstItsWatchdog) {
    within(60s, [] {
        StressRig rig(0.002);
        MasterHandler& h = *rig.handler;
        sim::SlaveSimulator slave(kAddress, kConnectionId, 2, 2, 2, {}, 7, 16);
        Outcome outcome;
        Gate gate(3);
        h.start();

        std::thread bus([&] {
            std::mt19937 random(1);
            std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
            while (gate.pass()) {
                std::uint16_t length = 0;
                outcome.timed([&] { length = h.get_request(out); });
                const auto reply = slave.process({out, length});
                const std::vector<std::uint8_t> copy(reply.begin(), reply.end());
                outcome.timed([&] { h.set_reply(copy); });
                // Pauses of up to twice the watchdog time: expiries at random moments.
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
            }
        });
        auto host = [&](unsigned seed) {
            std::mt19937 random(seed);
            std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
            while (gate.pass()) {
                const unsigned op = random() % 12;
                outcome.timed([&] {
                    switch (op) {
                        case 0:
                            h.reset();
                            break;
                        case 1:
                            h.set_fail_safe(random() % 2 == 0);
                            break;
                        case 2:
                            h.stop();
                            h.start();
                            break;
                        case 3:
                            h.set_slave_address(kAddress);
                            break;
                        case 4: {
                            const std::uint8_t garbage[7] = {
                                0x36, static_cast<std::uint8_t>(random()), 0, 0, 0, 0x34, 0x12};
                            h.set_reply(garbage);
                            break;
                        }
                        case 5:
                            rig.outputs[random() % 2]->set(Value{std::int64_t(random() % 256)});
                            break;
                        case 6:
                            (void)rig.inputs[random() % 2]->get();
                            break;
                        default:
                            (void)h.get_request(out);
                            (void)h.state();
                            (void)h.running();
                            (void)h.get_slave_address();
                            (void)h.initialization_data_bytes();
                            break;
                    }
                });
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 1500));
            }
        };
        std::thread host1(host, 2);
        std::thread host2(host, 3);
        const std::vector<std::thread::id> callers = {bus.get_id(), host1.get_id(), host2.get_id(),
                                                      std::this_thread::get_id()};

        int quiet_periods = 0;
        for (int round = 0; round < 12; ++round) {
            std::this_thread::sleep_for(30ms);
            gate.park();
            // Quiet: a running handler's watchdog fires again, however the last calls and
            // expiries interleaved.
            outcome.timed([&] {
                if (!h.running()) h.start();
            });
            const int before = rig.reports->count();
            EXPECT_TRUE(wait_for([&] { return rig.reports->count() > before; }, 1000ms))
                << "no expiry in quiet period " << round;
            ++quiet_periods;
            gate.open();
        }
        gate.end();
        bus.join();
        host1.join();
        host2.join();
        outcome.timed([&] { h.delete_(); });

        EXPECT_EQ(quiet_periods, 12);
        EXPECT_TRUE(outcome.failures.empty()) << outcome.failures.front();
        EXPECT_LT(outcome.slowest_us.load(), 1'000'000);
        // Expiries ran on the watchdog thread too, not only in busy host calls.
        EXPECT_TRUE(rig.reports->some_not_from(callers));
        EXPECT_FALSE(h._watchdog().is_alive());
    });
}

TEST(ThreadStress, DeleteWhileOtherThreadsStillCallTheHandler) {
    within(60s, [] {
        StressRig rig(0.001);
        MasterHandler& h = *rig.handler;
        Outcome outcome;
        std::atomic<bool> deleting{false};
        std::atomic<bool> over{false};
        h.start();
        std::vector<std::thread> callers;
        for (unsigned t = 0; t < 3; ++t) {
            callers.emplace_back([&, t] {
                std::mt19937 random(t);
                std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
                while (!over.load()) {
                    const auto begin = Clock::now();
                    try {
                        switch (random() % 4) {
                            case 0:
                                h.reset();
                                break;
                            case 1:
                                h.stop();
                                h.start();
                                break;
                            case 2: {
                                const std::uint8_t reply[7] = {0x2A, 0, 0, 0, 0, 0, 0};
                                h.set_reply(reply);
                                break;
                            }
                            default:
                                (void)h.get_request(out);
                                break;
                        }
                    } catch (const RuntimeError& e) {
                        // After delete: the watchdog thread no longer runs.
                        if (!deleting.load() ||
                            std::string(e.what()) != kWatchdogNotRunningMessage) {
                            std::lock_guard lock(outcome.mutex);
                            outcome.failures.emplace_back(e.what());
                        }
                    }
                    const auto us =
                        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin)
                            .count();
                    std::int64_t seen = outcome.slowest_us.load();
                    while (us > seen && !outcome.slowest_us.compare_exchange_weak(seen, us)) {
                    }
                }
            });
        }
        std::this_thread::sleep_for(50ms);
        deleting = true;
        outcome.timed([&] { h.delete_(); });
        std::this_thread::sleep_for(20ms);
        over = true;
        for (auto& c : callers) c.join();
        EXPECT_TRUE(outcome.failures.empty()) << outcome.failures.front();
        EXPECT_LT(outcome.slowest_us.load(), 1'000'000);
        EXPECT_FALSE(h._watchdog().is_alive());
        EXPECT_FALSE(h.running());
    });
}

}  // namespace
}  // namespace velmora
