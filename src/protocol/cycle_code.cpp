#include "protocol/cycle_code.hpp"

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

// Resolved once at load.
const std::span<const char> g_section = section_bounds();

}  // namespace

std::span<const char> cycle_code_section() noexcept {
    return g_section;
}

}  // namespace velmora
