// The Data cycle with cold caches, as a host that does other work between two bus cycles
// sees it: before every timed cycle the program streams through 16 MiB of its own memory.
// Every cycle is timed on its own (a clock read is small beside a cold cycle) and the median
// kept, the variants interleaved, so that a preempted cycle does not count.
//
// Variants tell where a cold cycle's time goes:
// - everything evicted;
// - after the eviction a sibling link runs one cycle, which brings the code and the shared
//   tables back: what is left is the handler's own data;
// - after the eviction only the cycle's code section is read back (protocol/cycle_code.hpp);
// - two trivial calls of the handler (get_slave_address), the same way.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "bench_link.hpp"
#include "protocol/cycle_code.hpp"

namespace velmora::bench {
namespace {

constexpr std::size_t kEvictBytes = 16u << 20;

// Copied in pieces of 256 KiB: one copy of many MiB uses stores that bypass the caches, and
// would leave in them what it was meant to push out.
constexpr std::size_t kEvictPiece = 256u << 10;

void evict() {
    static std::vector<char> a(kEvictBytes, 1);
    static std::vector<char> b(kEvictBytes, 2);
    for (std::size_t at = 0; at < kEvictBytes; at += kEvictPiece) {
        std::memcpy(b.data() + at, a.data() + at, kEvictPiece);
    }
    benchmark::ClobberMemory();
}

Link& cold_link(int which) {
    static std::unique_ptr<Link> links[2];
    if (!links[which]) links[which] = std::make_unique<Link>(16);
    links[which]->run_to_data();
    return *links[which];
}

double elapsed_ns(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double, std::nano>(b - a).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

}  // namespace

std::vector<ColdFigure> cold_figures(int samples) {
    Link& link = cold_link(0);
    Link& sibling = cold_link(1);
    enum Variant { kCycle, kDataOnly, kCodeWarm, kTrivial, kEmpty, kCount };
    std::vector<double> times[kCount];
    for (int s = 0; s < samples; ++s) {
        for (int v = 0; v < kCount; ++v) {
            const Pdu reply = link.prepare_reply();
            evict();
            if (v == kDataOnly) sibling.cycle();
            if (v == kCodeWarm) {
                char sum = 0;
                for (const char& byte : cycle_code_section()) sum = static_cast<char>(sum ^ byte);
                benchmark::DoNotOptimize(sum);
            }
            const auto start = std::chrono::steady_clock::now();
            if (v == kTrivial || v == kEmpty) {
                if (v == kTrivial) {
                    benchmark::DoNotOptimize(link.handler().get_slave_address());
                    benchmark::DoNotOptimize(link.handler().get_slave_address());
                }
            } else {
                link.take_reply(reply);
            }
            const auto end = std::chrono::steady_clock::now();
            // The trivial and empty regions leave the reply untaken: take it untimed.
            if (v == kTrivial || v == kEmpty) link.take_reply(reply);
            times[v].push_back(elapsed_ns(start, end));
        }
    }
    const double empty = median(times[kEmpty]);
    return {
        {"cold cycle, C++ (set_reply + get_request)", median(times[kCycle]) - empty},
        {"  code and tables warm, handler data cold", median(times[kDataOnly]) - empty},
        {"  the cycle's code section warm", median(times[kCodeWarm]) - empty},
        {"cold trivial calls, C++ (get_slave_address x2)", median(times[kTrivial]) - empty},
        {"clock read pair (subtracted above)", empty},
    };
}

}  // namespace velmora::bench
