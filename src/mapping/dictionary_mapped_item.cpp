#include "mapping/dictionary_mapped_item.hpp"

#include "protocol/helpers.hpp"

namespace velmora {

// From 1: a map whose plan records 0 has no valid plan.
std::atomic<std::uint64_t> DictionaryMappedItem::layout_epoch_{1};

DictionaryMappedItem::DictionaryMappedItem(DictionaryItemPtr item, std::int64_t bits,
                                           std::int64_t position_bits)
    : item_(std::move(item)), bits_(to_u8(bits)), position_bits_(to_u8(position_bits)) {}

DictionaryMappedItemPtr DictionaryMappedItem::copy() const {
    return std::make_shared<DictionaryMappedItem>(item_, bits_, position_bits_);
}

DictionaryMappedItemPtr DictionaryMappedItem::copy_as_padding() const {
    return std::make_shared<DictionaryMappedItem>(nullptr, bits_, position_bits_);
}

void DictionaryMappedItem::_set_bits(std::int64_t bits) {
    const std::uint8_t value = to_u8(bits);
    if (value == bits_) return;
    bits_ = value;
    layout_changed_();
}

void DictionaryMappedItem::_set_position_bits(std::int64_t position_bits) {
    const std::uint8_t value = to_u8(position_bits);
    if (value == position_bits_) return;
    position_bits_ = value;
    layout_changed_();
}

std::int64_t DictionaryMappedItem::_read() const {
    return item_ ? item_->_read() : 0;
}

void DictionaryMappedItem::_write(std::int64_t value) {
    if (item_) item_->_write(value);
}

}  // namespace velmora
