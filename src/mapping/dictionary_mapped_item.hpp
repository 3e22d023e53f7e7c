#pragma once
// One entry of a dictionary map: a run of safe-data bits that carries a dictionary item, or
// a padding (unused bits) when it has no item. Entries have no value equality.
#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "model/dictionary_item.hpp"

namespace velmora {

class DictionaryMappedItem;
using DictionaryMappedItemPtr = std::shared_ptr<DictionaryMappedItem>;

class DictionaryMappedItem {
  public:
    // Widths and positions are unsigned 8-bit: outside 0..255 is an overflow error.
    DictionaryMappedItem(DictionaryItemPtr item, std::int64_t bits, std::int64_t position_bits);
    DictionaryMappedItem(const DictionaryMappedItem&) = delete;
    DictionaryMappedItem& operator=(const DictionaryMappedItem&) = delete;

    // The dictionary item, or nullptr for a padding.
    const DictionaryItemPtr& item() const noexcept { return item_; }
    bool is_padding() const noexcept { return item_ == nullptr; }
    std::uint8_t bits() const noexcept { return bits_; }
    std::uint8_t position_bits() const noexcept { return position_bits_; }

    DictionaryMappedItemPtr copy() const;
    DictionaryMappedItemPtr copy_as_padding() const;
    // (whole bytes, remaining bits)
    std::pair<std::uint8_t, std::uint8_t> size_bytes_bits() const noexcept {
        return {static_cast<std::uint8_t>(bits_ / 8), static_cast<std::uint8_t>(bits_ % 8)};
    }
    std::pair<std::uint8_t, std::uint8_t> position_byte_bits() const noexcept {
        return {static_cast<std::uint8_t>(position_bits_ / 8),
                static_cast<std::uint8_t>(position_bits_ % 8)};
    }

    // Only the map changes these; it keeps the entries contiguous afterwards. A change
    // advances layout_epoch(), so that every map rechecks its transfer plan.
    void _set_bits(std::int64_t bits);
    void _set_position_bits(std::int64_t position_bits);

    // Counts the changes of any entry's width or position, process-wide: an entry can be
    // changed on its own, and be in more than one map.
    static std::uint64_t layout_epoch() noexcept {
        return layout_epoch_.load(std::memory_order_acquire);
    }

    // The value to transmit: 0 for a padding, else the item's integer form.
    std::int64_t _read() const;
    // A padding ignores received values.
    void _write(std::int64_t value);

  private:
    static void layout_changed_() noexcept {
        layout_epoch_.fetch_add(1, std::memory_order_acq_rel);
    }
    static std::atomic<std::uint64_t> layout_epoch_;

    DictionaryItemPtr item_;
    std::uint8_t bits_;
    std::uint8_t position_bits_;
};

}  // namespace velmora
