#include "bindings/model_repr.hpp"

#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "bindings/model_values.hpp"
#include "mapping/dictionary_map.hpp"
#include "mapping/dynamic_map.hpp"
#include "model/dictionary.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

std::string text(nb::handle object) {
    return nb::cast<std::string>(nb::str(object));
}

std::string class_name(nb::handle self) {
    return text(self.type().attr("__name__"));
}

// Python's repr of a name, so quotes and control characters come out escaped.
std::string quoted(const std::string& name) {
    return text(nb::repr(nb::str(name.c_str(), name.size())));
}

std::string value_text(const Value& value) {
    return text(nb::repr(from_value(value)));
}

std::string type_text(DataType type) {
    return std::string(data_type_name(type));
}

nb::str make(const std::string& s) {
    return nb::str(s.c_str(), s.size());
}

// A subclass whose __init__ never ran the base constructor has no C++ object to show.
bool ready(nb::handle self) {
    return nb::inst_check(self) && nb::inst_ready(self);
}

nb::str unready(nb::handle self) {
    return make("<" + class_name(self) + " (uninitialized)>");
}

}  // namespace

nb::str item_repr(nb::handle self) {
    if (!ready(self)) return unready(self);
    const auto& item = nb::cast<const DictionaryItem&>(self);
    std::string r = "<" + class_name(self) + " " + quoted(item.name()) +
                    " key=" + std::to_string(item.key()) + " type=" + type_text(item.data_type());
    switch (item.kind()) {
        case ItemKind::Input:
        case ItemKind::Output:
            r += " value=" + value_text(item.get());
            break;
        case ItemKind::InputOutput: {
            const auto& io = static_cast<const DictionaryItemInputOutput&>(item);
            r += " value_input=" + value_text(io.get()) +
                 " value_output=" + value_text(io.get_output());
            break;
        }
        case ItemKind::Base:
            break;  // a bare item has no value
    }
    return make(r + ">");
}

nb::str dictionary_repr(nb::handle self) {
    if (!ready(self)) return unready(self);
    const auto& dictionary = nb::cast<const Dictionary&>(self);
    const auto& items = dictionary.items();
    std::string r = "<" + class_name(self) + " " + std::to_string(items.size()) +
                    (items.size() == 1 ? " item" : " items");
    for (std::size_t i = 0; i < items.size(); ++i) {
        r += i == 0 ? ": " : ", ";
        r += text(nb::repr(nb::cast(items[i])));
    }
    return make(r + ">");
}

nb::str mapped_item_repr(nb::handle self) {
    if (!ready(self)) return unready(self);
    const auto& entry = nb::cast<const DictionaryMappedItem&>(self);
    const std::string label = entry.is_padding() ? "padding" : quoted(entry.item()->name());
    return make("<" + class_name(self) + " " + label + " bits=" + std::to_string(entry.bits()) +
                " position_bits=" + std::to_string(entry.position_bits()) + ">");
}

nb::str map_repr(nb::handle self) {
    if (!ready(self)) return unready(self);
    const auto& map = nb::cast<const DictionaryMap&>(self);
    const unsigned bytes = map.safety_bytes();
    // The label column as wide as the longest label, not the text form's default 40.
    std::size_t space = 4;  // "Item"
    for (const auto& entry : map._items()) {
        space =
            std::max(space, entry->is_padding() ? std::size_t{7} : entry->item()->name().size());
    }
    space = std::min<std::size_t>(space, 0xFFFF);
    return make("<" + class_name(self) + " " + std::to_string(map.safety_bits()) + " bits (" +
                std::to_string(bytes) + (bytes == 1 ? " byte), " : " bytes), ") +
                std::to_string(map.size()) + (map.size() == 1 ? " entry, " : " entries, ") +
                (map.locked() ? "locked" : "unlocked") + ">\n" +
                map.get_text_representation(static_cast<std::int64_t>(space)));
}

nb::str dynamic_item_repr(nb::handle self) {
    if (!ready(self)) return unready(self);
    const auto& item = nb::cast<const DynamicMappableItem&>(self);
    char raw[16];
    std::snprintf(raw, sizeof raw, "0x%X", static_cast<unsigned>(item._raw_value()));
    std::string r = "<" + class_name(self) + " " + type_text(item.data_type());
    try {
        r += " value=" + value_text(item.get());
    } catch (const std::exception&) {
        // A raw value received off the wire that its type cannot read back: show it raw.
    }
    return make(r + " raw_value=" + raw + ">");
}

nb::str dynamic_map_repr(nb::handle self) {
    if (!ready(self)) return unready(self);
    const auto& map = nb::cast<const FSOEDynamicMap&>(self);
    return make("<" + class_name(self) + " " + std::to_string(map.bytes_processed()) + " of " +
                std::to_string(map.total_bytes()) + " bytes, " +
                std::to_string(map.items_processed()) + " of " + std::to_string(map.total_items()) +
                " items processed>");
}

}  // namespace velmora::bindings
