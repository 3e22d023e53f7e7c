#pragma once
// The code of a Data cycle, kept together and fetched as a whole.
//
// Cold, a cycle's code costs more than its data: spread over the library it touched about
// twenty pages and two hundred lines, and every line and page fetched on demand is a full
// memory latency, one after the other. The functions a Data cycle runs are placed in a
// section of their own (VELMORA_CYCLE_CODE before a definition), a few consecutive pages
// that a new reply asks for at once, first thing, so that the misses overlap instead of
// queueing.
//
// Only definitions in .cpp files carry it: an inline function is emitted in a section of its
// own for the linker to merge, and is usually inlined into the cycle's functions anyway.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#if defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
#define VELMORA_CYCLE_CODE __attribute__((section("velmora_cycle")))
#else
#define VELMORA_CYCLE_CODE
#endif

namespace velmora {

// The section's bytes as linked; empty where there is no such section.
std::span<const char> cycle_code_section() noexcept;

// What a cycle fetches: the section, unless it holds far more than a cycle's code (a
// toolchain that put other code into it, or instrumented a build for a sanitizer), which is
// then left to demand.
inline constexpr std::size_t kMaxCycleCodeBytes = 48 * 1024;
std::span<const char> cycle_code() noexcept;

// Asks for every line of cycle_code(). A hint: nothing is read through it.
void prefetch_cycle_code() noexcept;

// What tells whether the caches went cold: the time-stamp counter where there is one, an
// instruction that reads no memory (the clock is itself a chain of misses through the C
// library), else the steady clock in ns. It only decides hints: a counter that differs
// between cores, or runs at another rate, costs at worst a fetch for nothing or one left out.
inline std::uint64_t cycle_ticks() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch())
            .count());
#endif
}

// A cycle this long after the last one finds what it ran gone from the nearest caches (the
// host did other work, or served other connections); closer together it is still there,
// and asking would cost a few hundred instructions.
#if defined(__x86_64__) || defined(__i386__)
inline constexpr std::uint64_t kColdAfterTicks = 30'000;  // about 10 us at 3 GHz
#else
inline constexpr std::uint64_t kColdAfterTicks = 10'000;  // ns
#endif

// The same, unless some cycle (of any handler, on any thread) ran within `idle` of `now`, so
// that the code is still cached: a host serving many connections in turn keeps it warm while
// each handler's data goes cold. `now` and `idle` in any one unit that only grows (a
// time-stamp counter). The last time is shared, and written at most once per half `idle`.
void prefetch_cycle_code_if_idle(std::uint64_t now, std::uint64_t idle) noexcept;

// prefetch_cycle_code_if_idle for now and kColdAfterTicks: what the entry of a cycle calls
// first, before anything else of the cycle's code runs.
inline void prefetch_cycle_code_if_cold() noexcept {
    prefetch_cycle_code_if_idle(cycle_ticks(), kColdAfterTicks);
}

}  // namespace velmora
