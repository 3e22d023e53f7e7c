#include "protocol/cycle_code.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
// The linker names the bounds of a section whose name is an identifier. Weak: a program that
// links none of the cycle's code has no such section, and reads both as null.
extern "C" {
extern const char velmora_cycle_begin[] __asm__("__start_velmora_cycle")
    __attribute__((weak, visibility("hidden")));
extern const char velmora_cycle_end[] __asm__("__stop_velmora_cycle")
    __attribute__((weak, visibility("hidden")));
}
#endif

namespace velmora {
namespace {

constexpr std::size_t kLineBytes = 64;

std::span<const char> section_bounds() noexcept {
#if defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
    const char* begin = velmora_cycle_begin;
    const char* end = velmora_cycle_end;
    if (begin == nullptr || end == nullptr || end < begin) return {};
    return {begin, end};
#else
    return {};
#endif
}

// When a cycle last ran the code, as its caller measures time; relaxed: a hint.
std::atomic<std::uint64_t> g_code_used_at{0};

// Read once at load: the cycle reads two words instead of resolving the bounds.
const std::span<const char> g_section = section_bounds();
const std::span<const char> g_cycle_code =
    g_section.size() <= kMaxCycleCodeBytes ? g_section : std::span<const char>{};

}  // namespace

std::span<const char> cycle_code_section() noexcept {
    return g_section;
}

std::span<const char> cycle_code() noexcept {
    return g_cycle_code;
}

VELMORA_CYCLE_CODE
void prefetch_cycle_code() noexcept {
    // From the line that holds the first byte, so that the last line is never left out.
    const auto begin = reinterpret_cast<std::uintptr_t>(g_cycle_code.data());
    const std::uintptr_t end = begin + g_cycle_code.size();
    for (std::uintptr_t line = begin & ~std::uintptr_t{kLineBytes - 1}; line < end;
         line += kLineBytes) {
        __builtin_prefetch(reinterpret_cast<const void*>(line));
    }
}

VELMORA_CYCLE_CODE
void prefetch_cycle_code_if_idle(std::uint64_t now, std::uint64_t idle) noexcept {
    // A counter read on another core may be a little behind: the difference wraps to a large
    // number and the code is fetched, which costs nothing but the fetch.
    const std::uint64_t since = now - g_code_used_at.load(std::memory_order_relaxed);
    if (since < idle / 2) return;
    g_code_used_at.store(now, std::memory_order_relaxed);
    if (since >= idle) prefetch_cycle_code();
}

}  // namespace velmora
