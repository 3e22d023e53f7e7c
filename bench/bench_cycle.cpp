// The master's Data-state cycle against the slave simulator, the simulator's share of it on
// its own, a repeated reply, and the connection setup.
//
// A cycle cannot be split by reading a clock twice per cycle (a clock read costs a large
// part of a cycle here), so the master's share is measured as a difference of two loops:
// LinkCycle runs the simulator and the master, SimReplay runs a twin simulator on the same
// kind of recorded requests alone. Both loops set new simulator inputs every cycle.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "bench_link.hpp"

namespace velmora::bench {
namespace {

// One long-lived link per frame size and history size; it may have fallen out of the Data
// state between two runs (it does not, with its long watchdog, but a benchmark must not time
// setup cycles).
Link& data_link(std::uint16_t bytes, std::size_t history_size = 64) {
    static std::map<std::pair<std::uint16_t, std::size_t>, std::unique_ptr<Link>> links;
    auto& link = links[{bytes, history_size}];
    if (!link) link = std::make_unique<Link>(bytes, history_size);
    link->run_to_data();
    return *link;
}

void BM_LinkCycle(benchmark::State& state) {
    Link& link = data_link(static_cast<std::uint16_t>(state.range(0)));
    for (auto _ : state) {
        link.cycle();
    }
    if (link.handler().state() != StateId::Data) state.SkipWithError("left the Data state");
    state.counters["cycles_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The same without a connection history: the difference is what recording costs a cycle.
void BM_LinkCycleNoHistory(benchmark::State& state) {
    Link& link = data_link(static_cast<std::uint16_t>(state.range(0)), 0);
    for (auto _ : state) {
        link.cycle();
    }
    if (link.handler().state() != StateId::Data) state.SkipWithError("left the Data state");
}

// A link whose requests are recorded, and the twin simulator that replays them.
class ReplayRig {
  public:
    explicit ReplayRig(std::uint16_t bytes) : link_(bytes), twin_(bytes) {
        link_.run_to_data(&pending_);
        for (const Pdu& request : pending_) twin_.feed(request, twin_index_++);
        pending_.clear();
        pending_.reserve(kBatch);
    }

    // The next recorded request, recording a new batch (paused) when all are replayed.
    template <typename Pause>
    void replay_one(Pause&& pause) {
        if (next_ == pending_.size()) {
            pause([this] { refill(); });
        }
        twin_.feed(pending_[next_++], twin_index_++);
    }
    bool in_data() { return link_.handler().state() == StateId::Data; }
    // The twin did the same work as the link's simulator (checked at every batch).
    bool in_step() const noexcept { return in_step_; }

  private:
    static constexpr std::size_t kBatch = 4096;
    void refill() {
        if (next_ == pending_.size()) {
            const auto a = twin_.simulator().reply();
            const auto b = link_.simulator().reply();
            in_step_ = in_step_ && std::equal(a.begin(), a.end(), b.begin(), b.end());
        }
        pending_.clear();
        next_ = 0;
        link_.run_to_data(&pending_);
        while (pending_.size() < kBatch) link_.cycle(&pending_);
    }

    Link link_;
    Replay twin_;
    std::vector<Pdu> pending_;
    std::size_t next_ = 0;
    std::uint64_t twin_index_ = 0;
    bool in_step_ = true;
};

void BM_SimReplay(benchmark::State& state) {
    static std::map<std::uint16_t, std::unique_ptr<ReplayRig>> rigs;
    const auto bytes = static_cast<std::uint16_t>(state.range(0));
    auto& rig = rigs[bytes];
    if (!rig) rig = std::make_unique<ReplayRig>(bytes);
    auto pause = [&state](auto&& work) {
        state.PauseTiming();
        work();
        state.ResumeTiming();
    };
    for (auto _ : state) {
        rig->replay_one(pause);
    }
    if (!rig->in_data()) state.SkipWithError("left the Data state");
    if (!rig->in_step()) state.SkipWithError("the twin simulator did other work");
}

// The same reply again: recognised by its bytes, and the stored request returned.
void BM_RepeatedReply(benchmark::State& state) {
    Link& link = data_link(static_cast<std::uint16_t>(state.range(0)));
    const sim::SlaveSimulator& simulator = link.simulator();
    const std::vector<std::uint8_t> reply(simulator.reply().begin(), simulator.reply().end());
    std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
    for (auto _ : state) {
        link.handler().set_reply(reply);
        benchmark::DoNotOptimize(link.handler().get_request(out));
    }
}

// From a host reset to the Data state: the cycles it takes and the time, simulator and
// the watchdog thread's confirmations included (real time).
void BM_Setup(benchmark::State& state) {
    Link& link = data_link(static_cast<std::uint16_t>(state.range(0)));
    int cycles = 0;
    for (auto _ : state) {
        link.reset();
        cycles = link.run_to_data();
    }
    state.counters["cycles"] = cycles;
}

}  // namespace

std::uint64_t allocations_in_data_cycles(std::uint64_t cycles) {
    Link& link = data_link(16);
    const std::uint64_t before = allocations_so_far();
    for (std::uint64_t i = 0; i < cycles; ++i) link.cycle();
    return allocations_so_far() - before;
}

BENCHMARK(BM_LinkCycle)->Arg(16)->Arg(2);
BENCHMARK(BM_LinkCycleNoHistory)->Arg(16);
BENCHMARK(BM_SimReplay)->Arg(16)->Arg(2);
BENCHMARK(BM_RepeatedReply)->Arg(16);
BENCHMARK(BM_Setup)->Arg(16)->Arg(2)->UseRealTime();

}  // namespace velmora::bench
