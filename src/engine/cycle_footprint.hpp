#pragma once
// The memory that one cycle of a handler touches, kept as a list of cache lines to fetch
// at the start of the cycle.
//
// A host that cycles hundreds of connections in turn finds a handler's data gone from the
// core's caches by its next cycle. The cycle reaches that data through chains of pointers
// (node, map, transfer plan, item state): left alone, the misses come one after another.
// Requested together at the start, they overlap.
//
// The list is kept in the object itself, as runs of consecutive lines, so that reading it
// costs no miss of its own beyond a line or two. It is a hint only: nothing is ever read or
// written through it, so a pointer that went stale (a map edited behind the handler's back)
// costs a useless prefetch and nothing else (prefetching an address never faults), and
// runs beyond its capacity are simply left out.
#include <array>
#include <cstddef>
#include <cstdint>

#include "mapping/dictionary_map.hpp"

namespace velmora {

class CycleFootprint {
  public:
    static constexpr std::size_t kCapacity = 24;  // runs of lines

    void clear() noexcept { size_ = 0; }
    // The cache lines of [object, object + bytes).
    void add(const void* object, std::size_t bytes) noexcept;
    // A process-data map: the line of the map object that a cycle reads, its transfer plan
    // and the cycle state of each item in it (the entries themselves stay out of a cycle).
    void add_map(const DictionaryMap& map);
    // The part of this object that warm() reads: the count and the runs in use.
    void add_own_list() noexcept {
        add(this, static_cast<std::size_t>(reinterpret_cast<const char*>(runs_.data() + size_) -
                                           reinterpret_cast<const char*>(this)));
    }
    // Sorts the runs and merges those that touch or overlap.
    void finish() noexcept;

    void warm() const noexcept {
        for (std::size_t i = 0; i < size_; ++i) {
            const char* line = first_line(runs_[i]);
            for (std::size_t n = line_count(runs_[i]); n != 0; --n, line += kLineBytes) {
                __builtin_prefetch(line);
            }
        }
    }
    // The number of distinct lines listed (after finish).
    std::size_t lines() const noexcept;
    std::size_t runs() const noexcept { return size_; }
    // Whether the line of `address` is in the list (after finish).
    bool covers(const void* address) const noexcept;

  private:
    static constexpr std::size_t kLineBytes = 64;
    // A run: the address of its first line in the low 48 bits, its length in lines above.
    static constexpr unsigned kCountShift = 48;
    static constexpr std::uint64_t kAddressMask = (std::uint64_t{1} << kCountShift) - 1;
    static constexpr std::uint64_t kMaxCount = (std::uint64_t{1} << 16) - 1;

    static const char* first_line(std::uint64_t run) noexcept {
        return reinterpret_cast<const char*>(static_cast<std::uintptr_t>(run & kAddressMask));
    }
    static std::size_t line_count(std::uint64_t run) noexcept { return run >> kCountShift; }

    std::uint32_t size_ = 0;
    std::array<std::uint64_t, kCapacity> runs_{};
};

}  // namespace velmora
