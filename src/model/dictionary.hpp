#pragma once
// The dictionary of safe items of a slave: items by key and by name, in list order.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/dictionary_item.hpp"

namespace velmora {

class Dictionary {
  public:
    // Duplicates: ValueError "Duplicated Key <key>" (checked first) or "Duplicated name <name>".
    explicit Dictionary(std::vector<DictionaryItemPtr> items);

    // Items in list (= key_map = name_map) order.
    const std::vector<DictionaryItemPtr>& items() const noexcept { return items_; }
    // Lookups; nullptr when absent.
    DictionaryItem* find_key(std::int64_t key) const noexcept;
    DictionaryItem* find_name(const std::string& name) const noexcept;
    DictionaryItemPtr item_by_key(std::int64_t key) const;          // KeyError(key)
    DictionaryItemPtr item_by_name(const std::string& name) const;  // KeyError(name)

    Value get(const std::string& name) const;
    void set(const std::string& name, const Value& value);
    std::int64_t _read(std::int64_t key) const;
    void _write(std::int64_t key, std::int64_t value);
    // Every item's _set_fail_safe, in key_map order.
    void _set_inputs_to_failsafe();

  private:
    std::vector<DictionaryItemPtr> items_;
    // Positions in items_; the membership is fixed at construction.
    std::unordered_map<std::int64_t, std::size_t> key_index_;
    std::unordered_map<std::string, std::size_t> name_index_;
};

using DictionaryPtr = std::shared_ptr<Dictionary>;

}  // namespace velmora
