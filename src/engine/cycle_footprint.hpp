#pragma once
// The memory that one cycle of a handler touches, kept as a list of cache lines to fetch
// at the start of the cycle.
//
// A host that cycles hundreds of connections in turn finds a handler's data gone from the
// core's caches by its next cycle. The cycle reaches that data through chains of pointers
// (node, map, entry, item), and each item is read or written under its mutex, a locked
// instruction that keeps the following loads from starting early: left alone, the misses
// come one after another. Requested together at the start, they overlap.
//
// The list is a hint only. Nothing is ever read or written through it, so a pointer that
// went stale (an entry replaced behind the handler's back) costs a useless prefetch and
// nothing else; prefetching an address never faults.
#include <cstddef>
#include <vector>

#include "mapping/dictionary_map.hpp"

namespace velmora {

class CycleFootprint {
  public:
    void clear() noexcept { lines_.clear(); }
    // The cache lines of [object, object + bytes).
    void add(const void* object, std::size_t bytes);
    // A process-data map: the map, its entry list, the entries and their items.
    void add_map(const DictionaryMap& map);
    // Sorts the lines and drops duplicates.
    void finish();

    void warm() const noexcept {
        for (const void* line : lines_) __builtin_prefetch(line);
    }
    std::size_t lines() const noexcept { return lines_.size(); }

  private:
    std::vector<const void*> lines_;
};

}  // namespace velmora
