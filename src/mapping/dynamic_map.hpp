#pragma once
// Connection-setup data sent or received piecewise over frames, least significant byte
// first, continuing frame after frame where the previous one stopped.
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "frame/frame.hpp"
#include "model/data_type.hpp"
#include "protocol/value.hpp"

namespace velmora {

// One typed value of 1 to 4 bytes held in its serialised (raw) form.
class DynamicMappableItem {
  public:
    DynamicMappableItem(const Value& initial_value, DataType data_type);
    DynamicMappableItem(const DynamicMappableItem& other) noexcept;
    DynamicMappableItem& operator=(const DynamicMappableItem& other) noexcept;
    void set(const Value& value);  // serialize_value; the old raw value stays on failure
    Value get() const;             // unserialize_value(raw)
    std::uint32_t _raw_value() const noexcept { return raw_value_.load(std::memory_order_relaxed); }
    void set_raw_value(std::uint32_t raw) noexcept {
        raw_value_.store(raw, std::memory_order_relaxed);
    }
    DataType data_type() const noexcept { return data_type_; }
    std::uint16_t n_bytes() const noexcept { return data_type_bytes(data_type_); }

  private:
    DataType data_type_;
    // Atomic: the host may read a value while the watchdog thread receives into it.
    std::atomic<std::uint32_t> raw_value_{0};
};

using DynamicMappableItemPtr = std::shared_ptr<DynamicMappableItem>;

class FSOEDynamicMap {
  public:
    void clear() noexcept;
    void add(DynamicMappableItemPtr item);  // nullptr: type error
    bool pending() const noexcept { return bytes_processed_ < total_bytes_; }
    std::size_t total_items() const noexcept { return items_.size(); }
    // Never below 0, even after the host replaced the list with a shorter one.
    std::size_t pending_items() const noexcept {
        return items_.size() > items_processed_ ? items_.size() - items_processed_ : 0;
    }

    // Per-cycle transfers: no allocation, touch only valid_data_bytes bytes.
    void set_data_to_frame(FSOEFrame& frame, std::uint16_t valid_data_bytes);
    void get_data_from_frame(const FSOEFrame& frame, std::uint16_t valid_data_bytes);
    // IndexError when expected_map has fewer items than compared.
    bool is_safedata_correct(const FSOEDynamicMap& expected_map) const;

    const std::vector<DynamicMappableItemPtr>& _items() const noexcept { return items_; }
    // Replaces the list (host access); counters are kept as they are.
    void set_items(std::vector<DynamicMappableItemPtr> items);

    std::uint32_t total_bytes() const noexcept { return total_bytes_; }
    std::uint32_t bytes_processed() const noexcept { return bytes_processed_; }
    std::uint32_t items_processed() const noexcept { return items_processed_; }
    std::uint32_t current_processed_item() const noexcept { return current_processed_item_; }
    std::uint32_t current_processed_item_byte() const noexcept {
        return current_processed_item_byte_;
    }
    // For object persistence: restore all counters at once.
    void restore_counters(std::uint32_t total_bytes, std::uint32_t bytes_processed,
                          std::uint32_t items_processed, std::uint32_t current_item,
                          std::uint32_t current_item_byte) noexcept;

  private:
    void advance() noexcept;
    std::vector<DynamicMappableItemPtr> items_;
    std::uint32_t total_bytes_ = 0;
    std::uint32_t bytes_processed_ = 0;
    std::uint32_t items_processed_ = 0;
    std::uint32_t current_processed_item_ = 0;
    std::uint32_t current_processed_item_byte_ = 0;
};

}  // namespace velmora
