#pragma once
// The per-cycle state of the dictionary items: what a cycle reads or writes of an item, kept
// apart from the item object in small fixed-size slots.
//
// A host that cycles hundreds of connections in turn finds each one's data gone from the
// caches by its next cycle, and pays for every cache line that cycle touches. The slots come
// from the hot memory (hot_memory.hpp), handed out in order, so the items created together
// (a handler's items, typically) have their states side by side: a cycle over eight items
// touches two to four lines instead of eight item objects.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "model/value_cell.hpp"

namespace velmora {

class DictionaryItem;

// What an item sends: its value and the value's wire form.
struct SendState {
    explicit SendState(const Value& value, std::uint32_t wire) noexcept : sent(value, wire) {}
    ValueCell sent;
};

// What an item receives, and whether anyone wants to hear of a change (the count mirrors
// the owner's subscriber list, so that a cycle without subscribers leaves the list alone).
struct ReceiveState {
    ReceiveState(const Value& value, DictionaryItem* item) noexcept
        : received(value), owner(item) {}
    ValueCell received;
    std::atomic<std::uint32_t> subscribers{0};
    DictionaryItem* owner;
};

struct SendReceiveState {
    SendReceiveState(const Value& received, DictionaryItem* item, const Value& sent,
                     std::uint32_t wire) noexcept
        : in(received, item), out(sent, wire) {}
    ReceiveState in;
    SendState out;
};

static_assert(sizeof(SendState) <= 16 && sizeof(ReceiveState) <= 32 &&
              sizeof(SendReceiveState) <= 64);

// The exact class of an item, for the maps' accepted-type test.
enum class ItemKind : std::uint8_t { Base, Input, Output, InputOutput };

// The size of the state of an item of `kind` (0: none).
std::size_t item_state_bytes(ItemKind kind) noexcept;

// Slots of 16, 32 or 64 bytes in the hot memory, aligned to their size (so never across a
// cache line). Thread-safe; freed slots are reused.
void* allocate_item_state(std::size_t bytes);
void release_item_state(void* slot, std::size_t bytes) noexcept;

}  // namespace velmora
