// The benchmark program: Google Benchmark's runner with repeated, interleaved runs by
// default, followed by the targets that the core's figures must meet, computed from the
// medians of this run.
//
//   velmora_bench [--json=PATH] [Google Benchmark flags, e.g. --benchmark_out=PATH]
//
// Without --benchmark_repetitions, every benchmark runs 9 times, interleaved at random with
// the others, so the two sides of each ratio are measured side by side. Times are CPU time.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench_link.hpp"

namespace {

// Keeps the median (or the only run) of every benchmark while the console shows them.
class CollectingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const std::string name = run.run_name.str();
            // Benchmarks that time themselves report wall time (their regions are chosen).
            const bool manual = name.find("manual_time") != std::string::npos;
            const double ns = (manual ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime()) *
                              1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (run.aggregate_name == "median") {
                medians_[name] = ns;
            } else if (run.aggregate_name.empty()) {
                singles_[name].push_back(ns);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // CPU nanoseconds per iteration.
    std::optional<double> figure(const std::string& name) const {
        if (auto it = medians_.find(name); it != medians_.end()) return it->second;
        if (auto it = singles_.find(name); it != singles_.end() && it->second.size() == 1) {
            return it->second.front();
        }
        return std::nullopt;
    }

  private:
    std::map<std::string, double> medians_;
    std::map<std::string, std::vector<double>> singles_;
};

struct Ratio {
    std::string name;
    std::string numerator;
    std::string denominator;
    double target;
    std::optional<double> value;
};

std::string json_number(std::optional<double> v) {
    if (!v) return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", *v);
    return text;
}

bool has_flag(int argc, char** argv, const char* prefix) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::string json_path;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--json=", 7) == 0) {
            json_path = argv[i] + 7;
        } else if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) {
            json_path = argv[++i];
        } else {
            args.push_back(argv[i]);
        }
    }
    std::vector<std::string> defaults;
    if (!has_flag(argc, argv, "--benchmark_repetitions")) {
        defaults = {"--benchmark_repetitions=9", "--benchmark_enable_random_interleaving=true",
                    "--benchmark_display_aggregates_only=true"};
    }
    if (!has_flag(argc, argv, "--benchmark_min_time"))
        defaults.push_back("--benchmark_min_time=0.2");
    for (auto& d : defaults) args.push_back(d.data());
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto fig = [&](const char* name) { return reporter.figure(name); };
    auto diff = [](std::optional<double> a, std::optional<double> b) -> std::optional<double> {
        if (!a || !b) return std::nullopt;
        return *a - *b;
    };
    auto div = [](std::optional<double> a, std::optional<double> b) -> std::optional<double> {
        if (!a || !b || *b <= 0) return std::nullopt;
        return *a / *b;
    };

    const auto master16 = diff(fig("BM_LinkCycle/16"), fig("BM_SimReplay/16"));
    const auto master2 = diff(fig("BM_LinkCycle/2"), fig("BM_SimReplay/2"));
    // What the connection history costs a cycle: the same link with and without it.
    const auto history16 = diff(fig("BM_LinkCycle/16"), fig("BM_LinkCycleNoHistory/16"));
    // And where each cycle finds the ring's next record cold: 512 connections in turn.
    const auto fleet_with = fig("BM_FleetMasterPerConnection/64/iterations:50/manual_time");
    const auto fleet_without = fig("BM_FleetMasterPerConnection/0/iterations:50/manual_time");
    const auto history_fleet = diff(fleet_with, fleet_without);
    constexpr std::uint64_t kCountedCycles = 10000;
    constexpr int kColdSamples = 301;
    const double allocations =
        static_cast<double>(velmora::bench::allocations_in_data_cycles(kCountedCycles)) /
        static_cast<double>(kCountedCycles);
    const std::vector<std::pair<std::string, std::optional<double>>> figures = {
        {"C++ cycle, 16 bytes (master only)", master16},
        {"C++ cycle, 2 bytes (master only)", master2},
        {"simulator cycle, 16 bytes", fig("BM_SimReplay/16")},
        {"simulator cycle, 2 bytes", fig("BM_SimReplay/2")},
        {"per-block CRC work of a cycle, 16 bytes", fig("BM_CrcCyclePlain/16")},
        {"per-block CRC work of a cycle, 2 bytes", fig("BM_CrcCyclePlain/2")},
        {"repeated reply + request, 16 bytes", fig("BM_RepeatedReply/16")},
        {"history recording per cycle, 16 bytes", history16},
        {"512 connections in turn: master per connection", fleet_with},
        {"  the same without history", fleet_without},
    };
    std::vector<Ratio> ratios = {
        {"1. CRC generation, fast / per-block, 16 bytes", "BM_GenerateCrcFast/16",
         "BM_GenerateCrcPlain/16", 0.6,
         div(fig("BM_GenerateCrcFast/16"), fig("BM_GenerateCrcPlain/16"))},
        {"2. C++ cycle / per-block CRC work of a cycle, 16 bytes", "C++ cycle, 16 bytes",
         "BM_CrcCyclePlain/16", 3.0, div(master16, fig("BM_CrcCyclePlain/16"))},
        {"   the same for 2 bytes (no target)", "C++ cycle, 2 bytes", "BM_CrcCyclePlain/2", 3.0,
         div(master2, fig("BM_CrcCyclePlain/2"))},
        {"6. history recording / C++ cycle, 16 bytes", "history recording per cycle",
         "C++ cycle, 16 bytes", 0.10, div(history16, master16)},
        {"6. history recording / cycle, 512 connections in turn", "history in a fleet",
         "fleet cycle", 0.10, div(history_fleet, fleet_without)},
        {"6. allocations per Data cycle, history on", "allocations", "cycles", 0.0,
         allocations},
    };

    std::printf("\nCold caches (16 MiB streamed before each timed region; median wall time)\n");
    for (const auto& figure : velmora::bench::cold_figures(kColdSamples)) {
        std::printf("  %-50s %9.1f ns\n", figure.name, figure.ns);
    }
    std::printf("\nFigures (median CPU time per cycle)\n");
    for (const auto& [name, value] : figures) {
        if (value) {
            std::printf("  %-44s %9.1f ns\n", name.c_str(), *value);
        } else {
            std::printf("  %-44s       n/a\n", name.c_str());
        }
    }
    std::printf("\nTargets of the core (the host-level ones: bench/bench_host.py)\n");
    bool all_pass = true;
    for (const Ratio& r : ratios) {
        if (!r.value) {
            std::printf("  %-56s   n/a   (not measured in this run)\n", r.name.c_str());
            if (r.name[0] != ' ') all_pass = false;
            continue;
        }
        if (r.name[0] == ' ') {  // not a target
            std::printf("  %-56s %6.3f\n", r.name.c_str(), *r.value);
            continue;
        }
        const bool pass = *r.value <= r.target;
        all_pass = all_pass && pass;
        std::printf("  %-56s %6.3f  (target <= %.2f)  %s\n", r.name.c_str(), *r.value, r.target,
                    pass ? "PASS" : "FAIL");
    }

    if (!json_path.empty()) {
        std::ofstream out(json_path);
        out << "{\n  \"figures_ns\": {";
        for (std::size_t i = 0; i < figures.size(); ++i) {
            out << (i ? "," : "") << "\n    \"" << figures[i].first
                << "\": " << json_number(figures[i].second);
        }
        out << "\n  },\n  \"ratios\": [";
        for (std::size_t i = 0; i < ratios.size(); ++i) {
            const Ratio& r = ratios[i];
            const bool target = r.name[0] != ' ';
            out << (i ? "," : "") << "\n    {\"name\": \""
                << r.name.substr(r.name.find_first_not_of(' '))
                << "\", \"value\": " << json_number(r.value)
                << ", \"target\": " << (target ? json_number(r.target) : "null") << ", \"pass\": "
                << (!target                           ? "null"
                    : r.value && *r.value <= r.target ? "true"
                                                      : "false")
                << "}";
        }
        out << "\n  ]\n}\n";
        std::printf("\nwrote %s\n", json_path.c_str());
    }
    std::printf("\n%s\n", all_pass ? "core targets: all met"
                                   : "core targets: NOT all met (or not all measured)");
    return 0;
}
