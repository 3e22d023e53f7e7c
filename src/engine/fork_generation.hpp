#pragma once
// How many times this process is a fork() child of the one before: every fork bumps it in
// the child. An object that records it at creation knows, with one load of a shared and
// usually cached value, whether it was inherited through fork() (its threads stayed behind).
#include <atomic>
#include <cstdint>

namespace velmora {

inline std::atomic<std::uint32_t> g_fork_generation{0};

inline std::uint32_t fork_generation() noexcept {
    return g_fork_generation.load(std::memory_order_relaxed);
}

}  // namespace velmora
