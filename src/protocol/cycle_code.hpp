#pragma once
// The code of a Data cycle, kept together.
//
// Cold, a cycle's code costs more than its data: spread over the library it touched about
// twenty pages and two hundred lines, each fetched on demand, one after the other (the
// processor fetches instructions in order). The functions a Data cycle runs are placed in a
// section of their own (VELMORA_CYCLE_CODE before a definition): a few consecutive pages,
// with nothing between the cycle's functions that a cycle never runs.
//
// Fetching the whole section ahead, at the start of a cold cycle, was measured and dropped:
// the fetches of some 250 lines at once held up the cycle's own misses behind them (the C++
// cold cycle took 15-35 % longer with it, the one from Python the same).
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

// The section, unless it holds far more than a cycle's code (a toolchain that put other
// code into it, or instrumented a build for a sanitizer): then empty.
inline constexpr std::size_t kMaxCycleCodeBytes = 48 * 1024;
std::span<const char> cycle_code() noexcept;

// What tells whether a handler's data went cold: the time-stamp counter where there is one,
// an instruction that reads no memory (the clock is itself a chain of misses through the C
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

// A reply this long after the handler's last one finds its data gone from the nearest caches
// (the host did other work, or served other connections); closer together it is still
// there, and asking would cost a few hundred instructions.
#if defined(__x86_64__) || defined(__i386__)
inline constexpr std::uint64_t kColdAfterTicks = 30'000;  // about 10 us at 3 GHz
#else
inline constexpr std::uint64_t kColdAfterTicks = 10'000;  // ns
#endif

}  // namespace velmora
