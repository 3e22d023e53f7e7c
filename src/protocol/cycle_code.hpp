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
#include <cstddef>
#include <cstdint>
#include <span>

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

// The same, unless some cycle (of any handler, on any thread) ran within `idle` of `now`, so
// that the code is still cached: a host serving many connections in turn keeps it warm while
// each handler's data goes cold. `now` and `idle` in any one unit that only grows (a
// time-stamp counter). The last time is shared, and written at most once per half `idle`.
void prefetch_cycle_code_if_idle(std::uint64_t now, std::uint64_t idle) noexcept;

}  // namespace velmora
