#pragma once
// The request handed to Python as a bytes object, without a new object for every cycle.
//
// A host keeps the request it took until it takes the next one, and lets go of it then: two
// objects taking turns cover that. When the request changes, a slot whose object nobody but
// this cache references (its reference count is 1) is rewritten in place, since nobody can
// see it change; otherwise a new object takes the slot. A cycle then allocates and frees
// nothing on the Python side, whose cold cost (the allocator's pools, the old object's
// release) was a good part of a cycle in a busy host.
//
// Objects the host still holds are never touched: every request it ever got keeps its bytes.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <span>

#include "bindings/python_threads.hpp"

namespace velmora::bindings {

class RequestBytes {
  public:
    // The bytes of `request`, whose content `version` identifies: the same object for the
    // same version. With the GIL.
    nanobind::object get(std::span<const std::uint8_t> request, std::uint64_t version);

    // Asks for the objects' lines (a hint: nothing is read through it).
    void prefetch() const noexcept;

  private:
    // Whether the slot's object may be rewritten with `size` bytes.
    bool rewritable(int slot, std::size_t size) const noexcept;

    std::optional<PyReference> slots_[2];
    int current_ = -1;
    std::uint64_t version_ = 0;
};

}  // namespace velmora::bindings
