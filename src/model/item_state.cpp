#include "model/item_state.hpp"

#include "model/hot_memory.hpp"

namespace velmora {
namespace {

// Slots of 16, 32 or 64 bytes, aligned to their size.
std::size_t slot_bytes(std::size_t bytes) noexcept {
    return bytes <= 16 ? 16 : bytes <= 32 ? 32 : 64;
}

}  // namespace

std::size_t item_state_bytes(ItemKind kind) noexcept {
    switch (kind) {
        case ItemKind::Input:
            return sizeof(ReceiveState);
        case ItemKind::Output:
            return sizeof(SendState);
        case ItemKind::InputOutput:
            return sizeof(SendReceiveState);
        case ItemKind::Base:
            break;
    }
    return 0;
}

void* allocate_item_state(std::size_t bytes) {
    const std::size_t slot = slot_bytes(bytes);
    return hot_allocate(slot, slot);
}

void release_item_state(void* slot, std::size_t bytes) noexcept {
    hot_release(slot, slot_bytes(bytes), slot_bytes(bytes));
}

}  // namespace velmora
