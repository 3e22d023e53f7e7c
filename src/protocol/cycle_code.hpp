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
#include <cstddef>
#include <span>

#if defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
#define VELMORA_CYCLE_CODE __attribute__((section("velmora_cycle")))
#else
#define VELMORA_CYCLE_CODE
#endif

namespace velmora {

// The section's bytes as linked; empty where there is no such section.
std::span<const char> cycle_code_section() noexcept;

}  // namespace velmora
