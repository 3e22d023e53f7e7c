// Moving item values between a dictionary map and the safe data of a frame, and the map's
// text form.
//
// Safe-data bit b is bit b % 16 of word b / 16; an entry's value is stored least significant
// bit first from its position, so it may straddle words. Every entry is confined to its own
// bits: a value wider than its entry is cut to the entry's width instead of spilling into
// the next entry, and an entry of 0 bits carries nothing in either direction.
#include <algorithm>
#include <array>
#include <exception>
#include <string>

#include "mapping/dictionary_map.hpp"
#include "protocol/constants.hpp"
#include "protocol/errors.hpp"
#include "protocol/helpers.hpp"
#include "protocol/cycle_code.hpp"

namespace velmora {
namespace {

constexpr unsigned kWordBits = 16;
constexpr unsigned kSafeDataBits = MAX_DATA_WORDS * kWordBits;

constexpr std::uint64_t low_bits_mask(unsigned bits) noexcept {
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

// Out of the transfers' code: what a cycle never runs stays out of the lines it fetches.
[[noreturn, gnu::noinline, gnu::cold]] void throw_too_much_safe_data() {
    throw ValueError(too_much_safe_data_message());
}

}  // namespace

void DictionaryMap::rebuild_plan_() const {
    const std::uint64_t epoch = DictionaryMappedItem::layout_epoch();
    // Entries are contiguous, but an entry's position can still be changed on its own; check
    // every entry (paddings too) so that no transfer ever touches memory past the 8
    // safe-data words.
    std::size_t steps = 0;
    bool too_wide = false;
    for (const auto& entry : items_) {
        if (unsigned{entry->position_bits()} + entry->bits() > kSafeDataBits) too_wide = true;
        if (!entry->is_padding()) ++steps;
    }
    // Written only where it differs: rebuilding an unchanged plan only reads, so it is
    // harmless even beside a transfer on another thread.
    if (plan_.size() != steps) {
        plan_.resize(steps);
        plan_items_.resize(steps);
    }
    std::size_t i = 0;
    for (const auto& entry : items_) {
        if (entry->is_padding()) continue;
        DictionaryItem& item = *entry->item();
        // Only the item's own type width is its value: received bits of a wider entry above
        // it stay out. Integer form is signed 64-bit: bits beyond bit 62 cannot be carried.
        unsigned received = entry->bits() < 63 ? entry->bits() : 63;
        const unsigned type_bits = data_type_bits(item.data_type());
        if (type_bits < received) received = type_bits;
        const TransferStep step{item._cycle_state(), entry->position_bits(), entry->bits(),
                                static_cast<std::uint8_t>(received), item.kind(),
                                item.data_type()};
        if (plan_items_[i] != &entry->item()) plan_items_[i] = &entry->item();
        TransferStep& slot = plan_[i++];
        if (slot != step) slot = step;
    }
    if (plan_too_wide_ != too_wide) plan_too_wide_ = too_wide;
    if (plan_epoch_ != epoch) plan_epoch_ = epoch;
}

void DictionaryMap::rebuild_plan_noexcept_() const noexcept {
    try {
        rebuild_plan_();
    } catch (...) {
        plan_epoch_ = 0;  // out of memory: the next transfer tries again
    }
}

std::span<const TransferStep> DictionaryMap::_transfer_plan() const {
    refresh_plan_();
    return plan_;
}

VELMORA_CYCLE_CODE
void DictionaryMap::_set_data_to_frame(FSOEFrame& frame) const {
    refresh_plan_();
    if (plan_too_wide_) throw_too_much_safe_data();
    // Built apart and copied at the end: an item whose _read raises leaves the frame as it
    // was. Items are only read: no host code runs here.
    std::array<std::uint16_t, MAX_DATA_WORDS> words{};
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        const TransferStep& step = plan_[i];
        const unsigned bits = step.bits;
        if (bits == 0) continue;
        // An item that sends gives its wire form from its state; any other answers as its
        // _read does (with its error).
        std::uint64_t value = 0;
        if (step.kind == ItemKind::Output) {
            value = static_cast<const SendState*>(step.state)->sent.wire();
        } else if (step.kind == ItemKind::InputOutput) {
            value = static_cast<const SendReceiveState*>(step.state)->out.sent.wire();
        } else {
            value = static_cast<std::uint64_t>((*plan_items_[i])->_read());
        }
        value &= low_bits_mask(bits);
        const unsigned start = step.position_bits;
        const unsigned end = start + bits;
        for (unsigned word = start / kWordBits; word * kWordBits < end; ++word) {
            const int shift = static_cast<int>(word * kWordBits) - static_cast<int>(start);
            std::uint64_t chunk = 0;
            if (shift < 0) {
                chunk = value << -shift;
            } else if (shift < 64) {
                chunk = value >> shift;
            }
            words[word] |= static_cast<std::uint16_t>(chunk & 0xFFFF);
        }
    }
    U16Array& out = frame.safe_data();
    out.clear();
    for (std::size_t word = 0; word < words.size(); ++word) {
        if (words[word] != 0) out[word] = words[word];
    }
}

namespace {

// The changes of one transfer made without a recorder, notified once it is complete. At
// most one per safe-data bit can occur, so the batch has room for every one without
// allocating.
class ChangeBatch final : public ChangeRecorder {
  public:
    void item_changed(const DictionaryItemPtr& item) override { items_[count_++] = item; }
    void notify() {
        std::exception_ptr first;
        for (std::size_t i = 0; i < count_; ++i) {
            try {
                items_[i]->notify_changed();
            } catch (...) {
                if (!first) first = std::current_exception();
            }
        }
        if (first) std::rethrow_exception(first);
    }

  private:
    std::array<DictionaryItemPtr, kSafeDataBits> items_;
    std::size_t count_ = 0;
};

// A transfer without a recorder (not a cycle's): apart, as its batch is a lot of code.
[[gnu::noinline]] void transfer_batched(DictionaryMap& map, const FSOEFrame& frame) {
    ChangeBatch batch;
    map._get_data_from_frame(frame, &batch);
    batch.notify();
}

}  // namespace

VELMORA_CYCLE_CODE
void DictionaryMap::_get_data_from_frame(const FSOEFrame& frame, ChangeRecorder* recorder) {
    if (recorder == nullptr) return transfer_batched(*this, frame);
    get_data_from_frame_(frame, *recorder);
}

VELMORA_CYCLE_CODE
void DictionaryMap::get_data_from_frame_(const FSOEFrame& frame, ChangeRecorder& recorder) {
    refresh_plan_();
    if (plan_too_wide_) throw_too_much_safe_data();
    const U16Array& words = frame.safe_data();
    // No host code runs in this loop (changes are only recorded), so the plan cannot change
    // under it; each step is still checked against the safe data, which costs a compare.
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        const TransferStep& step = plan_[i];
        const unsigned bits = step.bits;
        if (bits == 0) continue;
        const unsigned start = step.position_bits;
        const unsigned end = start + bits;
        if (end > kSafeDataBits) throw_too_much_safe_data();
        std::uint64_t value = 0;
        for (unsigned word = start / kWordBits; word * kWordBits < end; ++word) {
            const int shift = static_cast<int>(word * kWordBits) - static_cast<int>(start);
            const std::uint64_t chunk = words[word];
            if (shift < 0) {
                value |= chunk >> -shift;
            } else if (shift < 64) {
                value |= chunk << shift;
            }
        }
        value &= low_bits_mask(step.received_bits);
        const auto received = static_cast<std::int64_t>(value);
        bool changed = false;
        if (step.kind == ItemKind::Input) {
            changed = DictionaryItem::_receive(*static_cast<ReceiveState*>(step.state),
                                               step.data_type, received);
        } else if (step.kind == ItemKind::InputOutput) {
            changed = DictionaryItem::_receive(static_cast<SendReceiveState*>(step.state)->in,
                                               step.data_type, received);
        } else {
            (*plan_items_[i])->_write(received);
        }
        if (changed) recorder.item_changed(*plan_items_[i]);
    }
}

namespace {

// Pads to `width` characters: the text is UTF-8, so its continuation bytes do not count.
void append_padded(std::string& line, const std::string& text, std::size_t width) {
    line += text;
    auto starts_character = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; };
    const auto characters =
        static_cast<std::size_t>(std::count_if(text.begin(), text.end(), starts_character));
    if (characters < width) line.append(width - characters, ' ');
}

std::string pair_text(std::pair<std::uint8_t, std::uint8_t> p) {
    return std::to_string(p.first) + ".." + std::to_string(p.second);
}

void append_row(std::string& text, const std::string& label, const std::string& position,
                const std::string& size, std::size_t item_space) {
    append_padded(text, label, item_space);
    text += " | ";
    append_padded(text, position, 20);
    text += " | ";
    append_padded(text, size, 20);
}

}  // namespace

std::string DictionaryMap::get_text_representation(std::int64_t item_space) const {
    // Unsigned 16-bit: a negative or absurd width is refused instead of exhausting memory.
    const std::size_t space = to_u16(item_space);
    std::string text;
    append_row(text, "Item", "Position bytes..bits", "Size bytes..bits", space);
    for (const auto& entry : items_) {
        text += '\n';
        append_row(text, entry->is_padding() ? std::string("Padding") : entry->item()->name(),
                   pair_text(entry->position_byte_bits()), pair_text(entry->size_bytes_bits()),
                   space);
    }
    return text;
}

}  // namespace velmora
