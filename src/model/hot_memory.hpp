#pragma once
// Memory for the objects a cycle touches (handlers, nodes, maps, transfer plans, item
// states), kept apart from the rest of the heap on huge pages where the system grants them.
//
// A host that cycles hundreds of connections in turn pays, beside the cache misses, a
// page-table walk for every 4 KiB page a cycle touches: with a handler's data spread over
// the general heap, each connection has several pages of its own and the TLB cannot hold
// them all. Here the data of all handlers lies in a few 2 MiB chunks, one TLB entry each.
//
// Blocks come in size classes (16, 32, 48 and then steps of 64 bytes up to kMaxBlockBytes),
// handed out in order from the current chunk, so that objects created together lie side by
// side; a released block goes to its class's free list and is reused, so a host that
// creates and drops handlers over and over keeps its memory flat. Larger blocks come from
// the general heap. Thread-safe; allocation takes a mutex (it is never on a cycle's path).
//
// Built with sanitizers, every block is a plain operator new, so the sanitizer keeps
// seeing each object.
#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace velmora {

inline constexpr std::size_t kHotMaxAlignment = 64;
inline constexpr std::size_t kMaxBlockBytes = 16384;

// `alignment` at most kHotMaxAlignment; release with the same size and alignment.
void* hot_allocate(std::size_t bytes, std::size_t alignment = alignof(std::max_align_t));
void hot_release(void* block, std::size_t bytes,
                 std::size_t alignment = alignof(std::max_align_t)) noexcept;

// Whether blocks come from the chunks (false in sanitizer builds).
bool hot_memory_pooled() noexcept;
// The bytes taken from the system for the chunks so far (they stay with the process).
std::size_t hot_memory_reserved_bytes() noexcept;
// Whether `address` lies in one of the chunks.
bool hot_memory_holds(const void* address) noexcept;

// For std::allocate_shared and containers.
template <typename T>
struct HotAllocator {
    using value_type = T;
    static_assert(alignof(T) <= kHotMaxAlignment);
    HotAllocator() noexcept = default;
    template <typename U>
    HotAllocator(const HotAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > kMaxBlockBytes * 1024 / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(hot_allocate(n * sizeof(T), alignof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { hot_release(p, n * sizeof(T), alignof(T)); }
    template <typename U>
    bool operator==(const HotAllocator<U>&) const noexcept {
        return true;
    }
};

template <typename T>
struct HotDelete {
    void operator()(T* object) const noexcept {
        object->~T();
        hot_release(object, sizeof(T), alignof(T));
    }
};

template <typename T>
using HotPtr = std::unique_ptr<T, HotDelete<T>>;

template <typename T, typename... Args>
HotPtr<T> make_hot(Args&&... args) {
    static_assert(alignof(T) <= kHotMaxAlignment);
    void* block = hot_allocate(sizeof(T), alignof(T));
    try {
        return HotPtr<T>(new (block) T(std::forward<Args>(args)...));
    } catch (...) {
        hot_release(block, sizeof(T), alignof(T));
        throw;
    }
}

}  // namespace velmora
