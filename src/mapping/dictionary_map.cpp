#include "mapping/dictionary_map.hpp"

#include <algorithm>
#include <unordered_set>

#include "protocol/errors.hpp"
#include "protocol/helpers.hpp"

namespace velmora {

DictionaryMap::DictionaryMap(DictionaryPtr dictionary, std::vector<ItemKind> item_types_accepted)
    : DictionaryMap(std::move(dictionary),
                    std::make_shared<AcceptedItemTypes>(std::move(item_types_accepted))) {}

DictionaryMap::DictionaryMap(DictionaryPtr dictionary, AcceptedItemTypesPtr item_types_accepted)
    : dictionary_(std::move(dictionary)), accepted_(std::move(item_types_accepted)) {
    if (!dictionary_) throw TypeError("dictionary must be a Dictionary");
    if (!accepted_) throw TypeError("item_types_accepted must be a set");
    rebuild_plan_();
}

const DictionaryMappedItemPtr& DictionaryMap::at(std::int64_t index) const {
    const auto size = static_cast<std::int64_t>(items_.size());
    if (index < 0) index += size;
    if (index < 0 || index >= size) throw IndexError("list index out of range");
    return items_[static_cast<std::size_t>(index)];
}

bool DictionaryMap::contains(const DictionaryMappedItem& entry) const noexcept {
    return std::any_of(items_.begin(), items_.end(),
                       [&](const DictionaryMappedItemPtr& e) { return e.get() == &entry; });
}

bool DictionaryMap::is_mapped(const DictionaryItem& item) const noexcept {
    return std::any_of(items_.begin(), items_.end(),
                       [&](const DictionaryMappedItemPtr& e) { return e->item().get() == &item; });
}

std::uint16_t DictionaryMap::safety_bits() const noexcept {
    if (items_.empty()) return 0;
    return static_cast<std::uint16_t>(items_.back()->position_bits() + items_.back()->bits());
}

std::uint16_t DictionaryMap::safety_bytes() const noexcept {
    return static_cast<std::uint16_t>((safety_bits() + 7) / 8);
}

std::vector<DictionaryItemPtr> DictionaryMap::mapped_dictionary_items() const {
    std::vector<DictionaryItemPtr> result;
    for (const auto& entry : items_) {
        if (!entry->is_padding()) result.push_back(entry->item());
    }
    return result;
}

std::vector<DictionaryItemPtr> DictionaryMap::unmapped_dictionary_items() const {
    std::vector<DictionaryItemPtr> result;
    for (const auto& item : dictionary_->items()) {
        if (!is_mapped(*item) && accepted_->accepts(*item)) result.push_back(item);
    }
    return result;
}

DictionaryMapPtr DictionaryMap::copy() const {
    auto result = std::make_shared<DictionaryMap>(dictionary_, accepted_);
    result->items_.reserve(items_.size());
    for (const auto& entry : items_) result->items_.push_back(entry->copy());
    result->locked_ = locked_;
    result->rebuild_plan_();
    return result;
}

void DictionaryMap::clear() {
    check_not_locked_();
    const Edit edit{*this};
    items_.clear();
}

DictionaryMappedItemPtr DictionaryMap::add(DictionaryItemPtr dict_item, Bits bits,
                                           Bits align_to_bits) {
    if (dict_item) check_not_already_mapped_(dict_item.get());
    check_not_locked_();
    const Edit edit{*this};
    const std::uint16_t start = safety_bits();
    std::uint16_t position = start;
    if (align_to_bits) position = align_bits(start, *align_to_bits);
    // Build both entries first: apart from the alignment rule below, nothing can fail once
    // the map starts to change.
    DictionaryMappedItemPtr padding;
    if (position > start) padding = create_mapped_item_(start, nullptr, position - start);
    auto entry = create_mapped_item_(position, std::move(dict_item), bits);
    if (padding) items_.push_back(padding);
    if (!entry->is_padding() && entry->bits() > 8 && entry->position_bits() % 8 != 0) {
        throw IndexError(kAlignmentMessage);
    }
    items_.push_back(entry);
    return entry;
}

DictionaryMappedItemPtr DictionaryMap::add_by_key(std::int64_t key, Bits bits) {
    return add(dictionary_->item_by_key(key), bits);
}

DictionaryMappedItemPtr DictionaryMap::add_padding(std::int64_t bits) {
    return add(nullptr, bits);
}

DictionaryMappedItemPtr DictionaryMap::insert(std::int64_t index, DictionaryItemPtr dict_item,
                                              Bits bits) {
    const Edit edit{*this};
    if (dict_item) check_not_already_mapped_(dict_item.get());
    auto entry = create_mapped_item_(0, std::move(dict_item), bits);
    // List semantics: negative counts from the end, out of range clamps.
    const auto size = static_cast<std::int64_t>(items_.size());
    if (index < 0) index = std::max<std::int64_t>(index + size, 0);
    index = std::min(index, size);
    const auto where = items_.begin() + index;
    items_.insert(where, entry);
    try {
        recalculate_position_bits_();
    } catch (...) {
        items_.erase(items_.begin() + index);
        throw;
    }
    return entry;
}

DictionaryMappedItemPtr DictionaryMap::insert_before(
    const DictionaryMappedItem& before_dictionary_mapped_item, DictionaryItemPtr dict_item,
    Bits bits) {
    const auto index = static_cast<std::int64_t>(index_of_(before_dictionary_mapped_item));
    return insert(index, std::move(dict_item), bits);
}

DictionaryMappedItemPtr DictionaryMap::insert_after(
    const DictionaryMappedItem& after_dictionary_mapped_item, DictionaryItemPtr dict_item,
    Bits bits) {
    const auto index = static_cast<std::int64_t>(index_of_(after_dictionary_mapped_item));
    return insert(index + 1, std::move(dict_item), bits);
}

void DictionaryMap::remove(const DictionaryMappedItem& entry) {
    const Edit edit{*this};
    const std::size_t index = index_of_(entry);
    auto saved = items_;
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    recalculate_or_restore_(std::move(saved));
}

void DictionaryMap::remove(const DictionaryItem& item) {
    const Edit edit{*this};
    auto saved = items_;
    std::erase_if(items_,
                  [&](const DictionaryMappedItemPtr& e) { return e->item().get() == &item; });
    recalculate_or_restore_(std::move(saved));
}

bool DictionaryMap::move_item_up(const DictionaryMappedItem& entry) {
    check_not_locked_();
    const Edit edit{*this};
    const std::size_t index = index_of_(entry);
    if (index == 0) return false;
    std::swap(items_[index], items_[index - 1]);
    try {
        recalculate_position_bits_();
    } catch (...) {
        std::swap(items_[index], items_[index - 1]);
        throw;
    }
    return true;
}

bool DictionaryMap::move_item_down(const DictionaryMappedItem& entry) {
    check_not_locked_();
    const Edit edit{*this};
    const std::size_t index = index_of_(entry);
    if (index + 1 >= items_.size()) return false;
    std::swap(items_[index], items_[index + 1]);
    try {
        recalculate_position_bits_();
    } catch (...) {
        std::swap(items_[index], items_[index + 1]);
        throw;
    }
    return true;
}

void DictionaryMap::set_bits(const DictionaryMappedItem& dictionary_mapped_item,
                             std::int64_t bits) {
    check_not_locked_();
    const Edit edit{*this};
    auto& entry = *items_[index_of_(dictionary_mapped_item)];
    const std::uint8_t old_bits = entry.bits();
    entry._set_bits(bits);
    try {
        recalculate_position_bits_();
    } catch (...) {
        entry._set_bits(old_bits);
        throw;
    }
}

void DictionaryMap::_restore(std::vector<DictionaryMappedItemPtr> entries, bool locked) {
    const Edit edit{*this};
    std::unordered_set<const void*> seen;
    std::int64_t running = 0;
    for (const auto& entry : entries) {
        if (!entry) throw ValueError("A map entry cannot be None");
        if (!seen.insert(entry.get()).second) throw ValueError("A map entry is listed twice");
        if (entry->item() && !seen.insert(entry->item().get()).second) {
            throw FSoEAlreadyMappedException("Item " + entry->item()->name() +
                                             " is already mapped in the dictionary map");
        }
        to_u8(running);
        running += entry->bits();
    }
    items_ = std::move(entries);
    recalculate_position_bits_();
    locked_ = locked;
}

void DictionaryMap::check_not_locked_() const {
    if (locked_) throw FSOEMasterMappingLockedException(kMappingLockedMessage);
}

void DictionaryMap::check_not_already_mapped_(const DictionaryItem* dict_item) const {
    if (is_mapped(*dict_item)) {
        throw FSoEAlreadyMappedException("Item " + dict_item->name() +
                                         " is already mapped in the dictionary map");
    }
}

std::size_t DictionaryMap::index_of_(const DictionaryMappedItem& entry) const {
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (items_[i].get() == &entry) return i;
    }
    throw ValueError(kItemNotInMapMessage);
}

DictionaryMappedItemPtr DictionaryMap::create_mapped_item_(std::int64_t position_bits,
                                                           DictionaryItemPtr dict_item,
                                                           Bits bits) const {
    check_not_locked_();
    std::int64_t width = 0;
    if (bits) {
        width = *bits;
    } else if (!dict_item) {
        throw ValueError(kPaddingWithoutBitsMessage);
    } else {
        width = data_type_bits(dict_item->data_type());
    }
    if (dict_item && !accepted_->accepts(*dict_item)) throw PermissionError();
    return std::make_shared<DictionaryMappedItem>(std::move(dict_item), width, position_bits);
}

void DictionaryMap::recalculate_or_restore_(std::vector<DictionaryMappedItemPtr> saved) {
    // The recalculation checks every width before it moves any entry, so putting the old
    // list back undoes the whole edit.
    try {
        recalculate_position_bits_();
    } catch (...) {
        items_ = std::move(saved);
        throw;
    }
}

void DictionaryMap::recalculate_position_bits_() {
    std::int64_t running = 0;
    for (const auto& entry : items_) {
        to_u8(running);
        running += entry->bits();
    }
    running = 0;
    for (const auto& entry : items_) {
        entry->_set_position_bits(running);
        running += entry->bits();
    }
}

}  // namespace velmora
