#include "mapping/dynamic_map.hpp"

#include <span>

#include "protocol/constants.hpp"
#include "protocol/errors.hpp"
#include "protocol/cycle_code.hpp"

namespace velmora {

// --- DynamicMappableItem ---

DynamicMappableItem::DynamicMappableItem(const Value& initial_value, DataType data_type)
    : data_type_(data_type) {
    raw_value_.store(serialize_value(data_type, initial_value), std::memory_order_relaxed);
    if (data_type_bytes(data_type) > 4)
        throw NotImplementedError("Cannot handle more than 4 bytes");
}

DynamicMappableItem::DynamicMappableItem(const DynamicMappableItem& other) noexcept
    : data_type_(other.data_type_), raw_value_(other._raw_value()) {}

DynamicMappableItem& DynamicMappableItem::operator=(const DynamicMappableItem& other) noexcept {
    data_type_ = other.data_type_;
    set_raw_value(other._raw_value());
    return *this;
}

void DynamicMappableItem::set(const Value& value) {
    set_raw_value(serialize_value(data_type_, value));
}

Value DynamicMappableItem::get() const {
    return unserialize_value(data_type_, _raw_value());
}

// --- FSOEDynamicMap ---

void FSOEDynamicMap::clear() noexcept {
    items_.clear();
    restore_counters(0, 0, 0, 0, 0);
}

void FSOEDynamicMap::add(DynamicMappableItemPtr item) {
    if (!item) throw TypeError("item must be a DynamicMappableItem");
    total_bytes_ += item->n_bytes();
    items_.push_back(std::move(item));
}

void FSOEDynamicMap::set_items(std::vector<DynamicMappableItemPtr> items) {
    for (const auto& item : items) {
        if (!item) throw TypeError("items must be DynamicMappableItem objects");
    }
    items_ = std::move(items);
}

void FSOEDynamicMap::restore_counters(std::uint32_t total_bytes, std::uint32_t bytes_processed,
                                      std::uint32_t items_processed, std::uint32_t current_item,
                                      std::uint32_t current_item_byte) noexcept {
    total_bytes_ = total_bytes;
    bytes_processed_ = bytes_processed;
    items_processed_ = items_processed;
    current_processed_item_ = current_item;
    current_processed_item_byte_ = current_item_byte;
}

void FSOEDynamicMap::advance() noexcept {
    current_processed_item_byte_ = 0;
    ++items_processed_;
    ++current_processed_item_;
}

void FSOEDynamicMap::set_data_to_frame(FSOEFrame& frame, std::uint16_t valid_data_bytes) {
    if (current_processed_item_ >= items_.size() ||
        valid_data_bytes > frame.safe_data_size_bytes()) {
        frame.set_safe_data_bytes({});
        return;
    }
    // valid_data_bytes <= safe_data_size_bytes <= MAX_DATA_BYTES, so the piece fits here.
    std::uint8_t data[MAX_DATA_BYTES];
    std::size_t length = 0;
    const DynamicMappableItem* item = items_[current_processed_item_].get();
    for (std::uint16_t i = 0; i < valid_data_bytes && length < MAX_DATA_BYTES; ++i) {
        if (current_processed_item_ >= items_.size()) break;
        item = items_[current_processed_item_].get();
        if (current_processed_item_byte_ >= item->n_bytes()) {
            advance();
            if (current_processed_item_ >= items_.size()) break;
            item = items_[current_processed_item_].get();
        }
        data[length++] =
            static_cast<std::uint8_t>(item->_raw_value() >> (8 * current_processed_item_byte_));
        ++current_processed_item_byte_;
        ++bytes_processed_;
    }
    if (current_processed_item_byte_ >= item->n_bytes()) advance();
    frame.set_safe_data_bytes(std::span<const std::uint8_t>(data, length));
}

VELMORA_CYCLE_CODE
void FSOEDynamicMap::get_data_from_frame(const FSOEFrame& frame, std::uint16_t valid_data_bytes) {
    if (valid_data_bytes > frame.safe_data_size_bytes()) return;
    // Every item received (always so in the Data state): nothing to unpack.
    if (current_processed_item_ >= items_.size()) return;
    std::uint8_t data[MAX_DATA_BYTES];
    frame.get_safe_data_bytes(data);
    DynamicMappableItem* item = items_[current_processed_item_].get();
    for (std::uint16_t i = 0; i < valid_data_bytes && i < MAX_DATA_BYTES; ++i) {
        if (current_processed_item_byte_ >= item->n_bytes()) {
            advance();
            if (current_processed_item_ >= items_.size()) return;
            item = items_[current_processed_item_].get();
            item->set_raw_value(0);
        }
        const unsigned shift = 8 * current_processed_item_byte_;
        const std::uint32_t raw = item->_raw_value();
        item->set_raw_value((raw & ~(std::uint32_t{0xFF} << shift)) |
                            (std::uint32_t{data[i]} << shift));
        ++current_processed_item_byte_;
        ++bytes_processed_;
    }
    if (current_processed_item_byte_ >= item->n_bytes()) advance();
}

bool FSOEDynamicMap::is_safedata_correct(const FSOEDynamicMap& expected_map) const {
    const std::size_t completed = items_processed_;
    const auto& expected = expected_map.items_;
    auto at = [](const std::vector<DynamicMappableItemPtr>& items, std::size_t i) {
        if (i >= items.size()) throw IndexError("list index out of range");
        return items[i].get();
    };
    for (std::size_t i = 0; i < completed; ++i) {
        if (!values_equal(at(items_, i)->get(), at(expected, i)->get())) return false;
    }
    if (current_processed_item_byte_ != 0) {
        const std::uint64_t mask =
            current_processed_item_byte_ >= 4
                ? 0xFFFFFFFFu
                : (std::uint64_t{1} << (8 * current_processed_item_byte_)) - 1;
        if ((at(items_, completed)->_raw_value() & mask) !=
            (at(expected, completed)->_raw_value() & mask)) {
            return false;
        }
    }
    return true;
}

}  // namespace velmora
