#pragma once
// One entry of a dictionary map: a run of safe-data bits that carries a dictionary item, or
// a padding (unused bits) when it has no item. Entries have no value equality.
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

    // Only the map changes these; it keeps the entries contiguous afterwards.
    void _set_bits(std::int64_t bits);
    void _set_position_bits(std::int64_t position_bits);

    // The value to transmit: 0 for a padding, else the item's integer form.
    std::int64_t _read() const;
    // A padding ignores received values.
    void _write(std::int64_t value);

  private:
    DictionaryItemPtr item_;
    std::uint8_t bits_;
    std::uint8_t position_bits_;
};

}  // namespace velmora
