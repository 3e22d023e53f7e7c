#pragma once
// Items and maps shared by the dictionary-map tests.
#include <memory>
#include <vector>

#include "mapping/dictionary_map.hpp"
#include "model/dictionary.hpp"

namespace velmora::testing {

inline std::shared_ptr<DictionaryItemOutput> output(std::int64_t key, const char* name,
                                                    DataType type) {
    return std::make_shared<DictionaryItemOutput>(key, name, type);
}
inline std::shared_ptr<DictionaryItemInput> input(std::int64_t key, const char* name,
                                                  DataType type) {
    return std::make_shared<DictionaryItemInput>(key, name, type, Value{std::int64_t{0}});
}
inline std::shared_ptr<DictionaryItemInputOutput> in_out(std::int64_t key, const char* name,
                                                         DataType type) {
    return std::make_shared<DictionaryItemInputOutput>(key, name, type, Value{std::int64_t{0}});
}

// (item or padding, bits, position) of every entry, for whole-layout comparisons.
struct Layout {
    const DictionaryItem* item;
    int bits;
    int position;
    bool operator==(const Layout&) const = default;
};

inline std::vector<Layout> layout(const DictionaryMap& map) {
    std::vector<Layout> result;
    for (const auto& e : map._items()) {
        result.push_back({e->item().get(), e->bits(), e->position_bits()});
    }
    return result;
}

// Identity of the entry objects, to tell an untouched map from an equal-looking one.
inline std::vector<const DictionaryMappedItem*> entries(const DictionaryMap& map) {
    std::vector<const DictionaryMappedItem*> result;
    for (const auto& e : map._items()) result.push_back(e.get());
    return result;
}

inline void PrintTo(const Layout& l, std::ostream* os) {
    *os << "{" << (l.item ? l.item->name() : std::string("pad")) << ", " << l.bits << ", "
        << l.position << "}";
}

}  // namespace velmora::testing
