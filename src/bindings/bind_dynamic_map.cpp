// The dynamic map and its items: connection-setup data sent and received piecewise.
#include <nanobind/nanobind.h>
#include <nanobind/stl/shared_ptr.h>

#include <string>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/model_args.hpp"
#include "bindings/model_gc.hpp"
#include "bindings/model_pickle.hpp"
#include "bindings/model_repr.hpp"
#include "bindings/model_values.hpp"
#include "bindings/subsystems.hpp"
#include "frame/frame.hpp"
#include "mapping/dynamic_map.hpp"
#include "protocol/errors.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

template <typename T>
T& instance_argument(nb::handle object, const char* what, const char* type_name) {
    if (!nb::isinstance<T>(object) || !nb::inst_ready(object)) {
        throw TypeError(std::string(what) + " must be an " + type_name + ", not " +
                        Py_TYPE(object.ptr())->tp_name);
    }
    return *nb::inst_ptr<T>(object);
}

std::uint16_t u16_argument(nb::handle value, const char* what) {
    std::int64_t v = to_int64(value, what);
    if (v < 0) throw OverflowError("can't convert negative value to uint16_t");
    if (v > 0xFFFF) throw OverflowError("value too large to convert to uint16_t");
    return static_cast<std::uint16_t>(v);
}

std::uint32_t u32_argument(nb::handle value, const char* what) {
    std::int64_t v = to_int64(value, what);
    if (v < 0 || v > 0xFFFFFFFF) throw OverflowError(std::string(what) + " out of range");
    return static_cast<std::uint32_t>(v);
}

DynamicMappableItemPtr item_argument(nb::handle object) {
    DynamicMappableItemPtr item;
    if (object.is_none() || !nb::try_cast(object, item, false) || !item) {
        throw TypeError(std::string("item must be a DynamicMappableItem, not ") +
                        Py_TYPE(object.ptr())->tp_name);
    }
    return item;
}

std::vector<DynamicMappableItemPtr> items_argument(nb::handle items) {
    std::vector<DynamicMappableItemPtr> result;
    if (items.is_none()) return result;
    if (!PyList_Check(items.ptr())) {
        throw TypeError(std::string("_items must be a list or None, not ") +
                        Py_TYPE(items.ptr())->tp_name);
    }
    result.reserve(static_cast<std::size_t>(PyList_GET_SIZE(items.ptr())));
    for (nb::handle item : nb::borrow<nb::list>(items)) result.push_back(item_argument(item));
    return result;
}

nb::typed<nb::list, DynamicMappableItem> items_list(const FSOEDynamicMap& map) {
    nb::list result;
    for (const auto& item : map._items()) result.append(nb::cast(item));
    return result;
}

// The map holds its items; an item subclass may refer back to the map.
int map_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!python_owns_instance(self)) return 0;
    for (const auto& item : nb::inst_ptr<FSOEDynamicMap>(self)->_items()) {
        if (int result = visit_shared_owner(item, visit, arg)) return result;
    }
    return 0;
}

int map_clear(PyObject* self) {
    if (python_owns_instance(self)) nb::inst_ptr<FSOEDynamicMap>(self)->clear();
    return 0;
}

PyType_Slot map_slots[] = {
    {Py_tp_traverse, (void*)&map_traverse}, {Py_tp_clear, (void*)&map_clear}, {0, nullptr}};

void bind_item(nb::module_& m) {
    nb::class_<DynamicMappableItem>(m, "DynamicMappableItem",
                                    "Item that can be mapped to a dynamic map")
        .def(
            "__init__",
            [](nb::handle self, nb::handle initial_value, nb::handle data_type) {
                init_in_place<DynamicMappableItem>(self, [&] {
                    const DataType type = to_data_type(data_type);
                    return DynamicMappableItem(to_value_for(type, initial_value, "initial_value"),
                                               type);
                });
            },
            nb::arg("initial_value").none(), nb::arg("data_type").none())
        .def(
            "set",
            [](DynamicMappableItem& i, nb::handle value) {
                i.set(to_value_for(i.data_type(), value));
            },
            nb::arg("value").none(), "Set value of the item")
        .def(
            "get", [](const DynamicMappableItem& i) { return from_value(i.get()); },
            "Get value of the item")
        .def_prop_rw(
            "value", [](const DynamicMappableItem& i) { return from_value(i.get()); },
            [](DynamicMappableItem& i, nb::handle value) {
                i.set(to_value_for(i.data_type(), value));
            },
            nb::for_setter(nb::arg("value").none()))
        .def_prop_ro("n_bytes", &DynamicMappableItem::n_bytes, "Number of bytes of the item")
        .def_prop_ro("raw_value", &DynamicMappableItem::_raw_value)
        .def_prop_ro("_raw_value", &DynamicMappableItem::_raw_value)
        .def_prop_ro("data_type", &DynamicMappableItem::data_type)
        .def("__repr__", &dynamic_item_repr)
        .def("__getstate__",
             [](nb::handle self) {
                 auto& i = initialized<const DynamicMappableItem>(self, "self");
                 return nb::make_tuple(i._raw_value(), i.data_type(), instance_dict(self));
             })
        .def("__setstate__", [](nb::handle self, nb::handle state) {
            nb::tuple f = state_tuple(self, state, 3, "DynamicMappableItem");
            std::uint32_t raw = u32_argument(f[0], "_raw_value");
            DataType type = to_data_type(f[1]);
            auto& item = construct_in_place<DynamicMappableItem>(self, Value{false}, type);
            item.set_raw_value(raw);
            restore_instance_dict(self, f[2]);
        });
}

void bind_map(nb::module_& m) {
    nb::class_<FSOEDynamicMap>(m, "FSOEDynamicMap", "FSoE Dynamic Map", nb::type_slots(map_slots))
        .def("__init__",
             [](nb::handle self) {
                 init_in_place<FSOEDynamicMap>(self, [] { return FSOEDynamicMap(); });
             })
        .def_prop_rw(
            "_items", &items_list,
            [](FSOEDynamicMap& map, nb::handle items) { map.set_items(items_argument(items)); },
            nb::for_setter(nb::arg("items").none()), "Items mapped on the dynamic map")
        .def_prop_ro("total_bytes", &FSOEDynamicMap::total_bytes,
                     "Number of bytes in the dynamic map")
        .def_prop_ro("bytes_processed", &FSOEDynamicMap::bytes_processed,
                     "Number of bytes sent or received from the dynamic map")
        .def_prop_ro("items_processed", &FSOEDynamicMap::items_processed,
                     "Number of items completely sent or received from the dynamic map")
        .def_prop_ro("current_processed_item", &FSOEDynamicMap::current_processed_item,
                     "Index of the current item being processed in the dynamic map")
        .def_prop_ro("current_processed_item_byte", &FSOEDynamicMap::current_processed_item_byte,
                     "N byte of the current item being processed in the dynamic map")
        .def("clear", &FSOEDynamicMap::clear, "Clear the dynamic map")
        .def(
            "add", [](FSOEDynamicMap& map, nb::handle item) { map.add(item_argument(item)); },
            nb::arg("item").none(), "Add item to the dynamic map")
        .def("pending", &FSOEDynamicMap::pending, "Determines whether there is pending data")
        .def("total_items", &FSOEDynamicMap::total_items, "Number of items on the dynamic map.")
        .def("pending_items", &FSOEDynamicMap::pending_items,
             "Number of Items pending to be sent or received")
        .def("__repr__", &dynamic_map_repr)
        .def(
            "set_data_to_frame",
            [](FSOEDynamicMap& map, nb::handle frame, nb::handle valid_data_bytes) {
                auto& f = instance_argument<FSOEFrame>(frame, "frame", "FSOEFrame");
                map.set_data_to_frame(f, u16_argument(valid_data_bytes, "valid_data_bytes"));
            },
            nb::arg("frame").none(), nb::arg("valid_data_bytes"),
            "Gets data from the variables in the map and puts it into a frame")
        .def(
            "get_data_from_frame",
            [](FSOEDynamicMap& map, nb::handle frame, nb::handle valid_data_bytes) {
                auto& f = instance_argument<FSOEFrame>(frame, "frame", "FSOEFrame");
                map.get_data_from_frame(f, u16_argument(valid_data_bytes, "valid_data_bytes"));
            },
            nb::arg("frame").none(), nb::arg("valid_data_bytes"),
            "Sets data from a received frame to the variables in the map")
        .def(
            "is_safedata_correct",
            [](const FSOEDynamicMap& map, nb::handle expected_map) {
                return map.is_safedata_correct(instance_argument<FSOEDynamicMap>(
                    expected_map, "expected_map", "FSOEDynamicMap"));
            },
            nb::arg("expected_map").none(),
            "Compare the data that has been processed on this dynamic map to another map")
        .def("__getstate__",
             [](nb::handle self) {
                 auto& map = initialized<const FSOEDynamicMap>(self, "self");
                 return nb::make_tuple(items_list(map), map.total_bytes(), map.bytes_processed(),
                                       map.items_processed(), map.current_processed_item(),
                                       map.current_processed_item_byte(), instance_dict(self));
             })
        .def("__setstate__", [](nb::handle self, nb::handle state) {
            nb::tuple f = state_tuple(self, state, 7, "FSOEDynamicMap");
            auto items = items_argument(f[0]);
            std::uint32_t counters[5];
            const char* names[5] = {"total_bytes", "bytes_processed", "items_processed",
                                    "current_processed_item", "current_processed_item_byte"};
            for (int i = 0; i < 5; ++i) counters[i] = u32_argument(f[i + 1], names[i]);
            auto& map = construct_in_place<FSOEDynamicMap>(self);
            map.set_items(std::move(items));
            map.restore_counters(counters[0], counters[1], counters[2], counters[3], counters[4]);
            restore_instance_dict(self, f[6]);
        });
}

}  // namespace

void bind_dynamic_map(nb::module_& m) {
    bind_item(m);
    bind_map(m);
}

}  // namespace velmora::bindings
