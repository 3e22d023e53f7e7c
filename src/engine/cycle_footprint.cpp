#include "engine/cycle_footprint.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>

namespace velmora {
namespace {

constexpr std::uintptr_t kLineBytes = 64;

std::size_t item_bytes(const DictionaryItem& item) noexcept {
    switch (item.kind()) {
        case ItemKind::Input:
            return sizeof(DictionaryItemInput);
        case ItemKind::Output:
            return sizeof(DictionaryItemOutput);
        case ItemKind::InputOutput:
            return sizeof(DictionaryItemInputOutput);
        case ItemKind::Base:
            break;
    }
    return sizeof(DictionaryItem);
}

}  // namespace

void CycleFootprint::add(const void* object, std::size_t bytes) {
    if (object == nullptr || bytes == 0) return;
    const auto first = reinterpret_cast<std::uintptr_t>(object) & ~(kLineBytes - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(object) + bytes;
    for (std::uintptr_t line = first; line < end; line += kLineBytes) {
        lines_.push_back(reinterpret_cast<const void*>(line));
    }
}

void CycleFootprint::add_map(const DictionaryMap& map) {
    add(&map, sizeof map);
    const auto& entries = map._items();
    add(entries.data(), entries.size() * sizeof(DictionaryMappedItemPtr));
    for (const auto& entry : entries) {
        add(entry.get(), sizeof(DictionaryMappedItem));
        if (const DictionaryItemPtr& item = entry->item()) add(item.get(), item_bytes(*item));
    }
}

void CycleFootprint::finish() {
    std::sort(lines_.begin(), lines_.end(), std::less<>());
    lines_.erase(std::unique(lines_.begin(), lines_.end()), lines_.end());
}

}  // namespace velmora
