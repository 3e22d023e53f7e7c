// Moving item values between a dictionary map and the safe data of a frame, and the map's
// text form.
//
// Safe-data bit b is bit b % 16 of word b / 16; an entry's value is stored least significant
// bit first from its position, so it may straddle words. Every entry is confined to its own
// bits: a value wider than its entry is cut to the entry's width instead of spilling into
// the next entry, and an entry of 0 bits carries nothing in either direction.
#include <string>

#include "mapping/dictionary_map.hpp"
#include "protocol/constants.hpp"
#include "protocol/errors.hpp"
#include "protocol/helpers.hpp"

namespace velmora {
namespace {

constexpr unsigned kWordBits = 16;
constexpr unsigned kSafeDataBits = MAX_DATA_WORDS * kWordBits;

constexpr std::uint64_t low_bits_mask(unsigned bits) noexcept {
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

// Entries are contiguous, but an entry's position can still be changed on its own; check
// every entry so that no transfer ever touches memory past the 8 safe-data words.
void check_fits_safe_data(const std::vector<DictionaryMappedItemPtr>& items) {
    for (const auto& entry : items) {
        if (unsigned{entry->position_bits()} + entry->bits() > kSafeDataBits) {
            throw ValueError(too_much_safe_data_message());
        }
    }
}

}  // namespace

void DictionaryMap::_set_data_to_frame(FSOEFrame& frame) const {
    check_fits_safe_data(items_);
    U16Array& words = frame.safe_data();
    words.clear();
    for (const auto& entry : items_) {
        const unsigned bits = entry->bits();
        if (bits == 0 || entry->is_padding()) continue;
        const std::uint64_t value =
            static_cast<std::uint64_t>(entry->_read()) & low_bits_mask(bits);
        const unsigned start = entry->position_bits();
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
}

void DictionaryMap::_get_data_from_frame(const FSOEFrame& frame) {
    check_fits_safe_data(items_);
    const U16Array& words = frame.safe_data();
    for (const auto& entry : items_) {
        const unsigned bits = entry->bits();
        if (bits == 0 || entry->is_padding()) continue;
        const unsigned start = entry->position_bits();
        const unsigned end = start + bits;
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
        // Only the item's own type width is its value: received bits of a wider entry above it
        // stay out. Integer form is signed 64-bit: bits beyond bit 62 cannot be carried.
        unsigned kept = bits < 63 ? bits : 63;
        const unsigned type_bits = data_type_bits(entry->item()->data_type());
        if (type_bits < kept) kept = type_bits;
        value &= low_bits_mask(kept);
        entry->_write(static_cast<std::int64_t>(value));
    }
}

namespace {

void append_padded(std::string& line, const std::string& text, std::size_t width) {
    line += text;
    if (text.size() < width) line.append(width - text.size(), ' ');
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
