// Many connections cycled round robin, as a host that serves them all each bus cycle: the
// master's half of every cycle is timed (the simulators answer first, untimed), so that
// the cost of each handler's memory leaving the caches between its cycles shows. With and
// without the connection history, whose next record is a line no other cycle touched.
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include "bench_link.hpp"

namespace velmora::bench {
namespace {

constexpr int kHandlers = 512;

std::vector<std::unique_ptr<Link>>& fleet(std::size_t history_size) {
    static std::map<std::size_t, std::vector<std::unique_ptr<Link>>> fleets;
    auto& links = fleets[history_size];
    if (links.empty()) {
        for (int i = 0; i < kHandlers; ++i) {
            links.push_back(std::make_unique<Link>(16, history_size));
            links.back()->run_to_data();
        }
    }
    return links;
}

void BM_FleetMasterPerConnection(benchmark::State& state) {
    auto& links = fleet(static_cast<std::size_t>(state.range(0)));
    std::vector<Pdu> replies(links.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < links.size(); ++i) replies[i] = links[i]->prepare_reply();
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < links.size(); ++i) links[i]->take_reply(replies[i]);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count() /
                               static_cast<double>(links.size()));
    }
    for (auto& link : links) {
        if (link->handler().state() != StateId::Data) state.SkipWithError("left the Data state");
    }
}

}  // namespace

BENCHMARK(BM_FleetMasterPerConnection)->Arg(0)->Arg(64)->UseManualTime()->Iterations(50);

}  // namespace velmora::bench
