// Placement and the layout rules of a dictionary map: free space for new items, the size
// rule, merging and trimming of paddings.
#include <optional>

#include "mapping/dictionary_map.hpp"
#include "protocol/errors.hpp"
#include "protocol/helpers.hpp"

namespace velmora {

std::vector<DictionaryMap::SavedEntry> DictionaryMap::save_() const {
    std::vector<SavedEntry> saved;
    saved.reserve(items_.size());
    for (const auto& entry : items_)
        saved.push_back({entry, entry->bits(), entry->position_bits()});
    return saved;
}

void DictionaryMap::restore_(const std::vector<SavedEntry>& saved) {
    items_.clear();
    for (const auto& s : saved) {
        s.entry->_set_bits(s.bits);
        s.entry->_set_position_bits(s.position_bits);
        items_.push_back(s.entry);
    }
}

DictionaryMappedItemPtr DictionaryMap::insert_in_best_position(DictionaryItemPtr dict_item,
                                                               std::int64_t align_to_bits) {
    check_not_locked_();
    const Edit edit{*this};
    // Every check that insert_after would make later runs now, before the first padding
    // shrinks, so a refused item leaves the map as it was.
    if (!dict_item) throw TypeError("dict_item must be a DictionaryItem");
    check_not_already_mapped_(dict_item.get());
    if (!accepted_->accepts(*dict_item)) throw PermissionError();
    align_bits(0, align_to_bits);  // boundary 0 or outside 16 bits fails here

    const auto saved = save_();
    const std::uint8_t item_bits = to_u8(data_type_bits(dict_item->data_type()));
    std::optional<std::size_t> chosen;
    std::uint8_t space_bits = 0;
    std::uint8_t before_padding_bits = 0;
    try {
        merge_adjacent_paddings();
        for (std::size_t i = 0; i < items_.size(); ++i) {
            const auto& entry = *items_[i];
            if (!entry.is_padding() || entry.bits() < item_bits) continue;
            const std::uint8_t next_aligned_position =
                to_u8(align_bits(entry.position_bits(), align_to_bits));
            const auto before =
                static_cast<std::uint8_t>(next_aligned_position - entry.position_bits());
            if (entry.bits() < item_bits + before) continue;
            chosen = i;
            space_bits = entry.bits();
            before_padding_bits = before;
            break;
        }
        if (chosen) {
            auto padding = items_[*chosen];
            padding->_set_bits(before_padding_bits);
            auto new_item = insert_after(*padding, dict_item);
            const int rest = space_bits - item_bits - before_padding_bits;
            if (rest > 0) insert_after(*new_item, nullptr, rest);
            if (padding->bits() == 0) remove(*padding);
            return new_item;
        }
    } catch (...) {
        restore_(saved);
        throw;
    }

    // No padding can hold the item: it goes to the end. A trailing padding cannot hold it
    // either (it is the only one after the merge), so it is dropped first; when add then
    // refuses a misaligned item that drop and add's alignment padding stay, as documented.
    if (!items_.empty() && items_.back()->is_padding()) items_.pop_back();
    try {
        return add(dict_item, std::nullopt, align_to_bits);
    } catch (const IndexError&) {
        throw;
    } catch (...) {
        restore_(saved);
        throw;
    }
}

void DictionaryMap::complete_with_padding() {
    check_not_locked_();
    const Edit edit{*this};
    const std::uint16_t bits = safety_bits();
    const std::uint16_t align_to = bits <= 8 ? 8 : 16;
    if (items_.empty()) {
        add_padding(align_to);
        return;
    }
    // Entries of 0 bits alone still make a map of at least one byte.
    const int extra_padding_needed = bits == 0 ? align_to : align_bits(bits, align_to) - bits;
    if (extra_padding_needed == 0) return;
    auto& last = *items_.back();
    if (last.is_padding()) {
        last._set_bits(last.bits() + extra_padding_needed);
    } else {
        add_padding(extra_padding_needed);
    }
}

void DictionaryMap::merge_adjacent_paddings() {
    check_not_locked_();
    const Edit edit{*this};
    // Check every merged width first, so an overflow leaves the map untouched.
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (!items_[i]->is_padding()) continue;
        int sum = items_[i]->bits();
        while (i + 1 < items_.size() && items_[i + 1]->is_padding()) {
            sum += items_[++i]->bits();
            to_u8(sum);
        }
    }
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (!items_[i]->is_padding()) continue;
        auto& padding = *items_[i];
        while (i + 1 < items_.size() && items_[i + 1]->is_padding()) {
            padding._set_bits(padding.bits() + items_[i + 1]->bits());
            items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i + 1));
        }
    }
}

void DictionaryMap::trim_map() {
    check_not_locked_();
    const Edit edit{*this};
    if (items_.empty()) {
        complete_with_padding();
        return;
    }
    const auto saved = save_();
    try {
        merge_adjacent_paddings();
        if (items_.back()->is_padding()) items_.pop_back();
        complete_with_padding();
    } catch (...) {
        restore_(saved);
        throw;
    }
}

void DictionaryMap::transform_to_padding(const DictionaryMappedItem& entry) {
    const Edit edit{*this};
    const std::size_t index = index_of_(entry);
    auto padding = items_[index]->copy_as_padding();
    auto saved = items_;
    items_[index] = std::move(padding);
    recalculate_or_restore_(std::move(saved));
}

void DictionaryMap::transform_to_padding(const DictionaryItem& item) {
    const Edit edit{*this};
    std::vector<DictionaryMappedItemPtr> changed = items_;
    for (auto& entry : changed) {
        if (entry->item().get() == &item) entry = entry->copy_as_padding();
    }
    std::swap(items_, changed);
    recalculate_or_restore_(std::move(changed));
}

}  // namespace velmora
