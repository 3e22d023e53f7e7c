#include "model/dictionary.hpp"

#include "protocol/errors.hpp"

namespace velmora {

Dictionary::Dictionary(std::vector<DictionaryItemPtr> items) {
    for (const auto& item : items) {
        if (!item) throw TypeError("items must be DictionaryItem objects");
        if (key_index_.count(item->key()) != 0) {
            throw ValueError("Duplicated Key " + std::to_string(item->key()));
        }
        if (name_index_.count(item->name()) != 0) {
            throw ValueError("Duplicated name " + item->name());
        }
        key_index_.emplace(item->key(), key_index_.size());
        name_index_.emplace(item->name(), name_index_.size());
    }
    items_ = std::move(items);
}

DictionaryItem* Dictionary::find_key(std::int64_t key) const noexcept {
    auto it = key_index_.find(key);
    return it == key_index_.end() ? nullptr : items_[it->second].get();
}

DictionaryItem* Dictionary::find_name(const std::string& name) const noexcept {
    auto it = name_index_.find(name);
    return it == name_index_.end() ? nullptr : items_[it->second].get();
}

DictionaryItemPtr Dictionary::item_by_key(std::int64_t key) const {
    auto it = key_index_.find(key);
    if (it == key_index_.end()) throw KeyError(key);
    return items_[it->second];
}

DictionaryItemPtr Dictionary::item_by_name(const std::string& name) const {
    auto it = name_index_.find(name);
    if (it == name_index_.end()) throw KeyError(name);
    return items_[it->second];
}

namespace {

DictionaryItem& found(DictionaryItem* item, std::int64_t key) {
    if (item == nullptr) throw KeyError(key);
    return *item;
}

DictionaryItem& found(DictionaryItem* item, const std::string& name) {
    if (item == nullptr) throw KeyError(name);
    return *item;
}

}  // namespace

Value Dictionary::get(const std::string& name) const {
    return found(find_name(name), name).get();
}

void Dictionary::set(const std::string& name, const Value& value) {
    found(find_name(name), name).set(value);
}

std::int64_t Dictionary::_read(std::int64_t key) const {
    return found(find_key(key), key)._read();
}

void Dictionary::_write(std::int64_t key, std::int64_t value) {
    found(find_key(key), key)._write(value);
}

void Dictionary::_set_inputs_to_failsafe() {
    for (const auto& item : items_) item->_set_fail_safe();
}

}  // namespace velmora
