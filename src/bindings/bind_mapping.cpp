// Dictionary maps and their entries: editing, placement, transfer, text form, pickling and
// garbage-collector support.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>

#include "bindings/convert.hpp"
#include "bindings/mapping_item_types.hpp"
#include "bindings/model_gc.hpp"
#include "bindings/model_pickle.hpp"
#include "bindings/model_repr.hpp"
#include "bindings/subsystems.hpp"
#include "mapping/dictionary_map.hpp"
#include "mapping/map_svg.hpp"
#include "protocol/errors.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace velmora::bindings {
namespace {

// Every edit from Python tests exact Python classes, also on maps built in C++.
DictionaryMap& edited(DictionaryMap& map) {
    accepted_types(map);
    return map;
}

DictionaryItemPtr item_argument(nb::handle value, const char* what) {
    if (value.is_none()) return nullptr;
    DictionaryItemPtr item;
    if (!nb::try_cast(value, item) || !item) {
        throw TypeError(std::string(what) + " must be a DictionaryItem or None, not " +
                        Py_TYPE(value.ptr())->tp_name);
    }
    return item;
}

DictionaryMap::Bits bits_argument(nb::handle value, const char* what) {
    if (value.is_none()) return std::nullopt;
    return to_int64(value, what);
}

nb::typed<nb::list, DictionaryMappedItem> entry_list(
    const std::vector<DictionaryMappedItemPtr>& entries) {
    nb::list list;
    for (const auto& entry : entries) list.append(nb::cast(entry));
    return list;
}

nb::typed<nb::list, DictionaryItem> item_list(const std::vector<DictionaryItemPtr>& items) {
    nb::list list;
    for (const auto& item : items) list.append(nb::cast(item));
    return list;
}

bool truth(nb::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

// --- garbage collection: an item's subscriber may refer back to a map ---

// A shared_ptr made from a Python object owns one reference. It is visited only while this
// is its sole holder: visiting it once per holder would count one reference several times.
template <typename T>
int visit_sole_owner(const std::shared_ptr<T>& pointer, visitproc visit, void* arg) {
    if (!pointer || pointer.use_count() != 1) return 0;
    return visit_shared_owner(pointer, visit, arg);
}

int mapped_item_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!python_owns_instance(self)) return 0;
    return visit_sole_owner(nb::inst_ptr<DictionaryMappedItem>(self)->item(), visit, arg);
}

int map_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!python_owns_instance(self)) return 0;
    const auto& map = *nb::inst_ptr<DictionaryMap>(self);
    if (int result = visit_sole_owner(map.dictionary(), visit, arg)) return result;
    for (const auto& entry : map._items()) {
        // An entry made from Python visits its own item; one the map made is the map's.
        const bool python_entry = std::get_deleter<nb::detail::py_deleter>(entry) != nullptr;
        int result = python_entry ? visit_sole_owner(entry, visit, arg)
                                  : visit_sole_owner(entry->item(), visit, arg);
        if (result) return result;
    }
    return 0;
}

PyType_Slot mapped_item_slots[] = {{Py_tp_traverse, (void*)&mapped_item_traverse}, {0, nullptr}};
PyType_Slot map_slots[] = {{Py_tp_traverse, (void*)&map_traverse}, {0, nullptr}};

void bind_mapped_item(nb::module_& m) {
    nb::class_<DictionaryMappedItem> cls(m, "DictionaryMappedItem",
                                         "Dictionary Item mapped to a safe data",
                                         nb::type_slots(mapped_item_slots));
    cls.def(
           "__init__",
           [](nb::handle self, nb::handle item, nb::handle bits, nb::handle position_bits) {
               init_in_place<DictionaryMappedItem>(self, [&] {
                   auto dict_item = item_argument(item, "item");
                   const auto b = to_int64(bits, "bits");
                   const auto p = to_int64(position_bits, "position_bits");
                   return DictionaryMappedItem(std::move(dict_item), b, p);
               });
           },
           "item"_a.none(), "bits"_a, "position_bits"_a)
        .def_prop_ro(
            "item", [](const DictionaryMappedItem& e) { return e.item(); },
            "Reference to dictionary item. If None represents a padding on safe_data")
        .def_prop_ro("bits", &DictionaryMappedItem::bits, "Number of bits the item takes up")
        .def_prop_ro("position_bits", &DictionaryMappedItem::position_bits,
                     "Position in safe data in bits")
        .def("copy", &DictionaryMappedItem::copy, "Create a copy of the mapped item")
        .def("copy_as_padding", &DictionaryMappedItem::copy_as_padding,
             "New padding with the same bits and position")
        .def("size_bytes_bits", &DictionaryMappedItem::size_bytes_bits)
        .def("position_byte_bits", &DictionaryMappedItem::position_byte_bits)
        .def(
            "_set_bits",
            [](DictionaryMappedItem& e, nb::handle bits) { e._set_bits(to_int64(bits, "bits")); },
            "bits"_a)
        .def(
            "_set_position_bits",
            [](DictionaryMappedItem& e, nb::handle position_bits) {
                e._set_position_bits(to_int64(position_bits, "position_bits"));
            },
            "position_bits"_a)
        .def("_read", &DictionaryMappedItem::_read)
        .def(
            "_write",
            [](DictionaryMappedItem& e, nb::handle value) { e._write(to_int64(value, "value")); },
            "value"_a)
        .def("__getstate__",
             [](nb::handle self) {
                 const auto& e = initialized<const DictionaryMappedItem>(self, "self");
                 return nb::make_tuple(e.item(), e.bits(), e.position_bits(), instance_dict(self));
             })
        .def("__setstate__",
             [](nb::handle self, nb::handle state) {
                 nb::tuple f = state_tuple(self, state, 4, "DictionaryMappedItem");
                 auto item = item_argument(f[0], "item");
                 const auto bits = to_int64(f[1], "bits");
                 const auto position_bits = to_int64(f[2], "position_bits");
                 DictionaryMappedItem(item, bits, position_bits);  // range checks first
                 construct_in_place<DictionaryMappedItem>(self, std::move(item), bits,
                                                          position_bits);
                 restore_instance_dict(self, f[3]);
             })
        .def("__repr__", &mapped_item_repr);
}

void bind_map_editing(nb::class_<DictionaryMap>& cls) {
    cls.def(
           "add",
           [](DictionaryMap& map, nb::handle dict_item, nb::handle bits, nb::handle align_to_bits) {
               return edited(map).add(item_argument(dict_item, "dict_item"),
                                      bits_argument(bits, "bits"),
                                      bits_argument(align_to_bits, "align_to_bits"));
           },
           "dict_item"_a.none(), "bits"_a.none() = nb::none(),
           "align_to_bits"_a.none() = nb::none())
        .def(
            "add_by_key",
            [](DictionaryMap& map, nb::handle key, nb::handle bits) {
                return edited(map).add_by_key(to_int64(key, "key"), bits_argument(bits, "bits"));
            },
            "key"_a, "bits"_a.none() = nb::none())
        .def(
            "add_padding",
            [](DictionaryMap& map, nb::handle bits) {
                return edited(map).add_padding(to_int64(bits, "bits"));
            },
            "bits"_a)
        .def(
            "insert",
            [](DictionaryMap& map, nb::handle index, nb::handle dict_item, nb::handle bits) {
                return edited(map).insert(to_int64(index, "index"),
                                          item_argument(dict_item, "dict_item"),
                                          bits_argument(bits, "bits"));
            },
            "index"_a, "dict_item"_a.none(), "bits"_a.none() = nb::none())
        .def(
            "insert_before",
            [](DictionaryMap& map, const DictionaryMappedItem& before, nb::handle dict_item,
               nb::handle bits) {
                return edited(map).insert_before(before, item_argument(dict_item, "dict_item"),
                                                 bits_argument(bits, "bits"));
            },
            "before_dictionary_mapped_item"_a, "dict_item"_a.none(), "bits"_a.none() = nb::none())
        .def(
            "insert_after",
            [](DictionaryMap& map, const DictionaryMappedItem& after, nb::handle dict_item,
               nb::handle bits) {
                return edited(map).insert_after(after, item_argument(dict_item, "dict_item"),
                                                bits_argument(bits, "bits"));
            },
            "after_dictionary_mapped_item"_a, "dict_item"_a.none(), "bits"_a.none() = nb::none())
        .def(
            "remove",
            [](DictionaryMap& map, nb::handle item) {
                if (nb::isinstance<DictionaryMappedItem>(item)) {
                    map.remove(initialized<const DictionaryMappedItem>(item, "item"));
                } else if (nb::isinstance<DictionaryItem>(item)) {
                    map.remove(initialized<const DictionaryItem>(item, "item"));
                } else {
                    throw TypeError(std::string("item must be a DictionaryMappedItem or a "
                                                "DictionaryItem, not ") +
                                    Py_TYPE(item.ptr())->tp_name);
                }
            },
            "item"_a)
        .def("move_item_up", &DictionaryMap::move_item_up, "item"_a)
        .def("move_item_down", &DictionaryMap::move_item_down, "item"_a)
        .def(
            "set_bits",
            [](DictionaryMap& map, const DictionaryMappedItem& entry, nb::handle bits) {
                map.set_bits(entry, to_int64(bits, "bits"));
            },
            "dictionary_mapped_item"_a, "bits"_a, "Set the number of bits of a mapped item");
}

void bind_map_layout(nb::class_<DictionaryMap>& cls) {
    cls.def(
           "insert_in_best_position",
           [](DictionaryMap& map, nb::handle dict_item, nb::handle align_to_bits) {
               auto item = item_argument(dict_item, "dict_item");
               if (!item) throw TypeError("dict_item must be a DictionaryItem, not None");
               return edited(map).insert_in_best_position(std::move(item),
                                                          to_int64(align_to_bits, "align_to_bits"));
           },
           "dict_item"_a.none(), "align_to_bits"_a = 1,
           "Insert item from the dictionary to the map in the best position")
        .def("complete_with_padding", &DictionaryMap::complete_with_padding,
             "Complete the map with padding to fill the safe data 16-bit words")
        .def("merge_adjacent_paddings", &DictionaryMap::merge_adjacent_paddings,
             "Merge adjacent paddings in the map")
        .def("trim_map", &DictionaryMap::trim_map,
             "Trim the map to remove unnecessary paddings at the end")
        .def(
            "transform_to_padding",
            [](DictionaryMap& map, nb::handle item) {
                if (nb::isinstance<DictionaryMappedItem>(item)) {
                    map.transform_to_padding(initialized<const DictionaryMappedItem>(item, "item"));
                } else if (nb::isinstance<DictionaryItem>(item)) {
                    map.transform_to_padding(initialized<const DictionaryItem>(item, "item"));
                } else {
                    throw TypeError(std::string("item must be a DictionaryMappedItem or a "
                                                "DictionaryItem, not ") +
                                    Py_TYPE(item.ptr())->tp_name);
                }
            },
            "item"_a, "Transform item from the map to padding");
}

void bind_map_transfer(nb::class_<DictionaryMap>& cls) {
    cls.def("_set_data_to_frame", &DictionaryMap::_set_data_to_frame, "frame"_a,
            "Set data from the map dictionary items to the frame")
        .def(
            "_get_data_from_frame",
            [](DictionaryMap& map, const FSOEFrame& frame) { map._get_data_from_frame(frame); },
            "frame"_a,
             "Get data from frame and save it to the mapped dictionary items")
        .def(
            "get_text_representation",
            [](const DictionaryMap& map, nb::handle item_space) {
                return map.get_text_representation(to_int64(item_space, "item_space"));
            },
            "item_space"_a = 40, "Get a text representation of the map")
        .def("to_svg", &map_to_svg,
             "The map's bit layout as an SVG picture: one row per 16-bit word (a map of 8 bits\n"
             "or fewer is one row of 8 bits), bit 0 of each word on the left, each item a\n"
             "labelled coloured span, paddings hatched.")
        .def("_repr_svg_", &map_to_svg)
        .def("__repr__", &map_repr);
}

void bind_map_persistence(nb::class_<DictionaryMap>& cls) {
    // The entries and the dictionary go into the state as the objects themselves, so pickle
    // keeps them shared with the rest of the pickled graph.
    cls.def("__getstate__",
            [](nb::handle self) {
                const auto& map = initialized<const DictionaryMap>(self, "self");
                return nb::make_tuple(map.dictionary(), accepted_types(map),
                                      entry_list(map._items()), map.locked(), instance_dict(self));
            })
        .def("__setstate__", [](nb::handle self, nb::handle state) {
            nb::tuple f = state_tuple(self, state, 5, "DictionaryMap");
            DictionaryPtr dictionary;
            if (!nb::try_cast(f[0], dictionary, false) || !dictionary) {
                throw TypeError("invalid pickled state for DictionaryMap");
            }
            auto accepted = accepted_from_python(f[1]);
            std::vector<DictionaryMappedItemPtr> entries;
            if (!PyList_Check(f[2].ptr()) || !nb::try_cast(f[2], entries, false)) {
                throw TypeError("invalid pickled state for DictionaryMap");
            }
            const bool locked = truth(f[3]);
            // Validated on a scratch map, so the instance is built only when nothing fails.
            DictionaryMap(dictionary, accepted)._restore(entries, locked);
            auto& map =
                construct_in_place<DictionaryMap>(self, std::move(dictionary), std::move(accepted));
            map._restore(std::move(entries), locked);
            restore_instance_dict(self, f[4]);
        });
}

}  // namespace

void bind_mapping(nb::module_& m) {
    bind_mapped_item(m);

    nb::class_<DictionaryMap> cls(m, "DictionaryMap", "Map of dictionary to safe data",
                                  nb::type_slots(map_slots));
    cls.def(
           "__init__",
           [](nb::handle self, DictionaryPtr dictionary, nb::handle item_types_accepted) {
               init_in_place<DictionaryMap>(self, [&] {
                   auto accepted = accepted_from_python(item_types_accepted);
                   return DictionaryMap(std::move(dictionary), std::move(accepted));
               });
           },
           "dictionary"_a, "item_types_accepted"_a)
        .def_prop_ro("dictionary", [](const DictionaryMap& map) { return map.dictionary(); })
        .def_prop_ro("item_types_accepted", &accepted_types,
                     nb::for_getter(nb::sig("def item_types_accepted(self, /) -> set[type]")))
        .def_prop_ro("_items", [](const DictionaryMap& map) { return entry_list(map._items()); })
        .def_prop_ro("_locked", &DictionaryMap::locked, "Indicates if the map is locked")
        .def_prop_ro("locked", &DictionaryMap::locked, "Indicates if the map is locked")
        .def(
            "_lock", [](DictionaryMap& map, nb::handle active) { map._lock(truth(active)); },
            "active"_a = true, "Lock the map")
        .def_prop_ro("safety_bits", &DictionaryMap::safety_bits, "Number of bits mapped")
        .def_prop_ro("safety_bytes", &DictionaryMap::safety_bytes, "Number of bytes mapped")
        .def("mapped_dictionary_items",
             [](const DictionaryMap& map) { return item_list(map.mapped_dictionary_items()); })
        .def("unmapped_dictionary_items",
             [](const DictionaryMap& map) {
                 accepted_types(map);
                 return item_list(map.unmapped_dictionary_items());
             })
        .def("copy", &DictionaryMap::copy, "Create a copy of the map")
        .def("clear", &DictionaryMap::clear, "Clear the map")
        .def("__len__", &DictionaryMap::size)
        .def("__iter__",
             [](const DictionaryMap& map) -> nb::typed<nb::iterator, DictionaryMappedItem> {
                 return nb::iter(entry_list(map._items()));
             })
        .def(
            "__getitem__",
            [](const DictionaryMap& map, nb::handle index) {
                return map.at(to_int64(index, "index"));
            },
            "index"_a)
        .def(
            "__contains__",
            [](const DictionaryMap& map, const DictionaryMappedItem& entry) {
                return map.contains(entry);
            },
            "item"_a);
    bind_map_editing(cls);
    bind_map_layout(cls);
    bind_map_transfer(cls);
    bind_map_persistence(cls);
}

}  // namespace velmora::bindings
