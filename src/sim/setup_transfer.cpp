#include "sim/setup_transfer.hpp"

#include <algorithm>
#include <memory>

namespace velmora::sim {

namespace {

std::size_t phase_items(SetupPhase phase, std::size_t application_bytes) noexcept {
    switch (phase) {
        case SetupPhase::RESET:
        case SetupPhase::SESSION:
            return 1;
        case SetupPhase::CONNECTION:
            return 2;
        case SetupPhase::PARAMETER:
            return kParameterHeaderItems + application_bytes;
    }
    return 0;
}

}  // namespace

SetupTransfer::SetupTransfer(std::size_t application_bytes) {
    const std::size_t total = kParameterHeaderItems + application_bytes;
    rx_items_.reserve(total);
    tx_items_.reserve(total);
    for (std::size_t i = 0; i < total; ++i) {
        const DataType type = i < kParameterHeaderItems ? DataType::UINT16 : DataType::UINT8;
        rx_items_.push_back(std::make_shared<DynamicMappableItem>(Value{std::int64_t{0}}, type));
        tx_items_.push_back(std::make_shared<DynamicMappableItem>(Value{std::int64_t{0}}, type));
    }
    // The longest phase first, so that the maps' lists never grow later.
    begin(SetupPhase::PARAMETER);
    begin(SetupPhase::RESET);
}

void SetupTransfer::begin(SetupPhase phase, std::uint16_t value) {
    phase_ = phase;
    count_ = phase_items(phase, rx_items_.size() - kParameterHeaderItems);
    rx_.clear();
    tx_.clear();
    for (std::size_t i = 0; i < count_; ++i) {
        rx_items_[i]->set_raw_value(0);
        tx_items_[i]->set_raw_value(0);
        // Items are never null and the lists have their capacity, so add cannot throw.
        rx_.add(rx_items_[i]);
        tx_.add(tx_items_[i]);
    }
    if (phase == SetupPhase::RESET || phase == SetupPhase::SESSION) {
        tx_items_[0]->set_raw_value(value);
    }
}

SetupTransfer::Piece SetupTransfer::receive(const FSOEFrame& frame, std::uint16_t bytes) {
    Piece piece{rx_.items_processed(), 0, rx_.bytes_processed(), 0};
    rx_.get_data_from_frame(frame, bytes);
    piece.end_item = rx_.items_processed();
    piece.end_byte = rx_.bytes_processed();
    return piece;
}

std::uint32_t SetupTransfer::received(std::size_t item) const noexcept {
    return item < count_ ? rx_items_[item]->_raw_value() : 0;
}

void SetupTransfer::echo_received() noexcept {
    // The two maps move in step, so only the items of this frame's piece need copying.
    const std::size_t end = std::min<std::size_t>(rx_.current_processed_item() + 1, count_);
    for (std::size_t i = tx_.current_processed_item(); i < end; ++i) {
        tx_items_[i]->set_raw_value(rx_items_[i]->_raw_value());
    }
}

void SetupTransfer::set_echo(std::size_t item, std::uint32_t raw) noexcept {
    if (item < count_) tx_items_[item]->set_raw_value(raw);
}

SetupTransfer::Piece SetupTransfer::send(FSOEFrame& frame, std::uint16_t bytes) {
    Piece piece{tx_.items_processed(), 0, tx_.bytes_processed(), 0};
    tx_.set_data_to_frame(frame, bytes);
    piece.end_item = tx_.items_processed();
    piece.end_byte = tx_.bytes_processed();
    return piece;
}

std::uint32_t SetupTransfer::item_offset(std::size_t item) noexcept {
    if (item < kParameterHeaderItems) return static_cast<std::uint32_t>(2 * item);
    return static_cast<std::uint32_t>(2 * kParameterHeaderItems + (item - kParameterHeaderItems));
}

std::uint16_t SetupTransfer::item_bytes(std::size_t item) noexcept {
    return item < kParameterHeaderItems ? 2 : 1;
}

}  // namespace velmora::sim
