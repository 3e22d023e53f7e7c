// Dictionary items and the dictionary. Items are held by shared_ptr, so the host, the
// dictionary, the maps and the engine share one object; the engine runs the C++ behaviour
// even for Python subclasses.
#include <nanobind/nanobind.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <variant>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/model_args.hpp"
#include "bindings/model_gc.hpp"
#include "bindings/model_items.hpp"
#include "bindings/model_pickle.hpp"
#include "bindings/model_repr.hpp"
#include "bindings/model_subscriber.hpp"
#include "bindings/model_values.hpp"
#include "model/dictionary.hpp"
#include "protocol/errors.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

// Inputs and bare items refuse `set` whatever the value is; the others check it as their
// data type would encode it.
void item_set(DictionaryItem& item, nb::handle value) {
    if (item.kind() == ItemKind::Input || item.kind() == ItemKind::Base) {
        item.set(Value{false});
        return;
    }
    item.set(to_value_for(item.data_type(), value));
}

// The received value of a restored input, as the item could have come to hold it: its
// fail-safe value (held until a reply brings another, whatever the data type), any integer
// for an integer type (`_write` passes the bits above the type's width through), else a
// value that the data type encodes. Anything else is refused with the error that `set`
// would raise: a real number for an integer type, a BOOL other than 0 or 1, a FLOAT beyond
// single precision.
Value restored_input(DataType type, nb::handle object, const Value& fail_safe, const char* what) {
    Value value = to_value_for(type, object, what);
    const bool both_nan = std::holds_alternative<double>(value) &&
                          std::holds_alternative<double>(fail_safe) &&
                          std::isnan(std::get<double>(value)) &&
                          std::isnan(std::get<double>(fail_safe));
    if (value == fail_safe || both_nan) return value;
    if (data_type_is_integer(type) && !std::holds_alternative<double>(value)) return value;
    serialize_value(type, value);
    return value;
}

// --- garbage collection: a subscriber may refer back to its item ---

template <typename Item>
int item_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!python_owns_instance(self)) return 0;
    int result = 0;
    nb::inst_ptr<Item>(self)->subscribers().for_each_locked([&](const SubscriberPtr& s) {
        nb::handle callable = subscriber_callable(*s);
        if (result == 0 && callable.is_valid()) result = visit(callable.ptr(), arg);
    });
    return result;
}

template <typename Item>
int item_clear(PyObject* self) {
    if (python_owns_instance(self)) nb::inst_ptr<Item>(self)->clear_subscribers();
    return 0;
}

PyType_Slot input_slots[] = {{Py_tp_traverse, (void*)&item_traverse<DictionaryItemInput>},
                             {Py_tp_clear, (void*)&item_clear<DictionaryItemInput>},
                             {0, nullptr}};
PyType_Slot input_output_slots[] = {
    {Py_tp_traverse, (void*)&item_traverse<DictionaryItemInputOutput>},
    {Py_tp_clear, (void*)&item_clear<DictionaryItemInputOutput>},
    {0, nullptr}};

int dictionary_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!python_owns_instance(self)) return 0;
    for (const auto& item : nb::inst_ptr<Dictionary>(self)->items()) {
        if (int result = visit_shared_owner(item, visit, arg)) return result;
    }
    return 0;
}

PyType_Slot dictionary_slots[] = {{Py_tp_traverse, (void*)&dictionary_traverse}, {0, nullptr}};

// --- Dictionary lookups with the host's KeyError: the key or name itself ---

[[noreturn]] void raise_key_error(nb::handle key) {
    // An instance, so that None or a tuple is the one argument rather than the arguments.
    PyObject* error = PyObject_CallOneArg(PyExc_KeyError, key.ptr());
    if (error != nullptr) {
        PyErr_SetObject(PyExc_KeyError, error);
        Py_DECREF(error);
    }
    throw nb::python_error();
}

DictionaryItem& item_by_name(const Dictionary& d, nb::handle name) {
    if (!PyUnicode_Check(name.ptr())) raise_key_error(name);
    DictionaryItem* item = d.find_name(to_text(name, "name"));
    if (item == nullptr) raise_key_error(name);
    return *item;
}

DictionaryItem& item_by_key(const Dictionary& d, nb::handle key) {
    if (!PyLong_Check(key.ptr())) raise_key_error(key);
    int overflow = 0;
    long long k = PyLong_AsLongLongAndOverflow(key.ptr(), &overflow);
    if (overflow != 0) raise_key_error(key);
    DictionaryItem* item = d.find_key(k);
    if (item == nullptr) raise_key_error(key);
    return *item;
}

std::vector<DictionaryItemPtr> items_argument(nb::handle items) {
    if (!PyList_Check(items.ptr())) {
        throw TypeError(std::string("items must be a list, not ") + Py_TYPE(items.ptr())->tp_name);
    }
    std::vector<DictionaryItemPtr> result;
    result.reserve(static_cast<std::size_t>(PyList_GET_SIZE(items.ptr())));
    for (nb::handle item : nb::borrow<nb::list>(items)) {
        DictionaryItemPtr pointer;
        if (!nb::try_cast(item, pointer, false) || !pointer) {
            throw TypeError(std::string("items must be DictionaryItem objects, not ") +
                            Py_TYPE(item.ptr())->tp_name);
        }
        result.push_back(std::move(pointer));
    }
    return result;
}

void bind_items(nb::module_& m) {
    nb::class_<DictionaryItem> base(m, "DictionaryItem", "Safety item of a slave's dictionary");
    base.def(
            "__init__",
            [](nb::handle self, nb::handle key, nb::handle name, nb::handle data_type) {
                init_in_place<DictionaryItem>(self, [&] {
                    return DictionaryItem(to_int64(key, "key"), to_text(name, "name"),
                                          to_data_type(data_type));
                });
            },
            nb::arg("key"), nb::arg("name"), nb::arg("data_type"))
        .def_prop_ro("key", &DictionaryItem::key, "Unique integer key that identifies the item")
        .def_prop_ro(
            "name", [](const DictionaryItem& i) { return nb::str(i.name().c_str()); },
            "Unique string key that identifies the item")
        .def_prop_ro("data_type", &DictionaryItem::data_type, "Data Type of the item")
        .def("get", [](const DictionaryItem& i) { return from_value(i.get()); })
        .def("set", &item_set, nb::arg("value").none())
        .def("_read", [](const DictionaryItem& i) { return i._read(); })
        .def(
            "_write",
            [](DictionaryItem& i, nb::handle value) { i._write(to_int64(value, "value")); },
            nb::arg("value").none())
        .def("_set_fail_safe", &DictionaryItem::_set_fail_safe, "Only applicable to inputs")
        .def("__repr__", &item_repr)
        .def("__getstate__",
             [](nb::handle self) {
                 auto& i = initialized<DictionaryItem>(self, "self");
                 return nb::make_tuple(i.key(), i.name(), i.data_type(), instance_dict(self));
             })
        .def("__setstate__", [](nb::handle self, nb::handle state) {
            nb::tuple f = state_tuple(self, state, 4, "DictionaryItem");
            construct_in_place<DictionaryItem>(self, to_int64(f[0], "key"), to_text(f[1], "name"),
                                               to_data_type(f[2]));
            restore_instance_dict(self, f[3]);
        });

    nb::class_<DictionaryItemInput, DictionaryItem> input(m, "DictionaryItemInput",
                                                          nb::type_slots(input_slots));
    input
        .def(
            "__init__",
            [](nb::handle self, nb::handle key, nb::handle name, nb::handle data_type,
               nb::handle fail_safe_value) {
                init_in_place<DictionaryItemInput>(self, [&] {
                    return DictionaryItemInput(to_int64(key, "key"), to_text(name, "name"),
                                               to_data_type(data_type),
                                               to_value(fail_safe_value, "fail_safe_value"));
                });
            },
            nb::arg("key"), nb::arg("name"), nb::arg("data_type"),
            nb::arg("fail_safe_value").none())
        .def_prop_ro("_value", [](const DictionaryItemInput& i) { return from_value(i.get()); })
        .def_prop_ro("fail_safe_value",
                     [](const DictionaryItemInput& i) { return from_value(i.fail_safe_value()); })
        .def(
            "subscribe_changed",
            [](DictionaryItemInput& i, nb::handle callback) {
                i.subscribe_changed(make_subscriber(callback));
            },
            nb::arg("callback").none())
        .def(
            "unsubscribe_changed",
            [](DictionaryItemInput& i, nb::handle callback) {
                if (PyCallable_Check(callback.ptr())) {
                    i.unsubscribe_changed(make_subscriber(callback));
                }
            },
            nb::arg("callback").none())
        .def("__getstate__",
             [](nb::handle self) {
                 auto& i = initialized<DictionaryItemInput>(self, "self");
                 return nb::make_tuple(i.key(), i.name(), i.data_type(),
                                       from_value(i.fail_safe_value()), from_value(i.get()),
                                       instance_dict(self));
             })
        .def("__setstate__", [](nb::handle self, nb::handle state) {
            nb::tuple f = state_tuple(self, state, 6, "DictionaryItemInput");
            const DataType type = to_data_type(f[2]);
            const Value fail_safe = to_value(f[3], "fail_safe_value");
            const Value value = restored_input(type, f[4], fail_safe, "value");
            auto& item = construct_in_place<DictionaryItemInput>(
                self, to_int64(f[0], "key"), to_text(f[1], "name"), type, fail_safe);
            item.restore_value(value);  // no subscribers yet, and none to notify
            restore_instance_dict(self, f[5]);
        });

    nb::class_<DictionaryItemOutput, DictionaryItem> output(m, "DictionaryItemOutput");
    output
        .def(
            "__init__",
            [](nb::handle self, nb::handle key, nb::handle name, nb::handle data_type) {
                init_in_place<DictionaryItemOutput>(self, [&] {
                    return DictionaryItemOutput(to_int64(key, "key"), to_text(name, "name"),
                                                to_data_type(data_type));
                });
            },
            nb::arg("key"), nb::arg("name"), nb::arg("data_type"))
        .def_prop_ro("_value", [](const DictionaryItemOutput& i) { return from_value(i.get()); })
        .def("__getstate__",
             [](nb::handle self) {
                 auto& i = initialized<DictionaryItemOutput>(self, "self");
                 return nb::make_tuple(i.key(), i.name(), i.data_type(), from_value(i.get()),
                                       instance_dict(self));
             })
        .def("__setstate__", [](nb::handle self, nb::handle state) {
            nb::tuple f = state_tuple(self, state, 5, "DictionaryItemOutput");
            DataType type = to_data_type(f[2]);
            Value value = to_value_for(type, f[3]);
            serialize_value(type, value);  // refuse a bad value before building anything
            auto& item = construct_in_place<DictionaryItemOutput>(self, to_int64(f[0], "key"),
                                                                  to_text(f[1], "name"), type);
            item.set(value);
            restore_instance_dict(self, f[4]);
        });

    nb::class_<DictionaryItemInputOutput, DictionaryItem> input_output(
        m, "DictionaryItemInputOutput", nb::type_slots(input_output_slots));
    input_output
        .def(
            "__init__",
            [](nb::handle self, nb::handle key, nb::handle name, nb::handle data_type,
               nb::handle fail_safe_input_value) {
                init_in_place<DictionaryItemInputOutput>(self, [&] {
                    return DictionaryItemInputOutput(
                        to_int64(key, "key"), to_text(name, "name"), to_data_type(data_type),
                        to_value(fail_safe_input_value, "fail_safe_input_value"));
                });
            },
            nb::arg("key"), nb::arg("name"), nb::arg("data_type"),
            nb::arg("fail_safe_input_value").none())
        .def_prop_ro("value_input",
                     [](const DictionaryItemInputOutput& i) { return from_value(i.get()); })
        .def_prop_ro("value_output",
                     [](const DictionaryItemInputOutput& i) { return from_value(i.get_output()); })
        .def_prop_ro("fail_safe_input_value",
                     [](const DictionaryItemInputOutput& i) {
                         return from_value(i.fail_safe_input_value());
                     })
        .def(
            "subscribe_input_changed",
            [](DictionaryItemInputOutput& i, nb::handle callback) {
                i.subscribe_input_changed(make_subscriber(callback));
            },
            nb::arg("callback").none())
        .def(
            "unsubscribe_input_changed",
            [](DictionaryItemInputOutput& i, nb::handle callback) {
                if (PyCallable_Check(callback.ptr())) {
                    i.unsubscribe_input_changed(make_subscriber(callback));
                }
            },
            nb::arg("callback").none())
        .def("__getstate__",
             [](nb::handle self) {
                 auto& i = initialized<DictionaryItemInputOutput>(self, "self");
                 return nb::make_tuple(i.key(), i.name(), i.data_type(),
                                       from_value(i.fail_safe_input_value()), from_value(i.get()),
                                       from_value(i.get_output()), instance_dict(self));
             })
        .def("__setstate__", [](nb::handle self, nb::handle state) {
            nb::tuple f = state_tuple(self, state, 7, "DictionaryItemInputOutput");
            const DataType type = to_data_type(f[2]);
            const Value fail_safe = to_value(f[3], "fail_safe_input_value");
            const Value input = restored_input(type, f[4], fail_safe, "value_input");
            const Value output = to_value_for(type, f[5], "value_output");
            serialize_value(type, output);
            auto& item = construct_in_place<DictionaryItemInputOutput>(
                self, to_int64(f[0], "key"), to_text(f[1], "name"), type, fail_safe);
            item.restore_values(input, output);
            restore_instance_dict(self, f[6]);
        });
}

nb::dict item_map(const Dictionary& d, bool by_key) {
    nb::dict result;
    for (const auto& item : d.items()) {
        nb::object key =
            by_key ? nb::object(nb::int_(item->key())) : nb::object(nb::str(item->name().c_str()));
        result[key] = nb::cast(item);
    }
    return result;
}

void bind_dictionary(nb::module_& m) {
    nb::class_<Dictionary>(m, "Dictionary", "Dictionary of safe items of a slave",
                           nb::type_slots(dictionary_slots))
        .def(
            "__init__",
            [](nb::handle self, nb::handle items) {
                init_in_place<Dictionary>(self, [&] { return Dictionary(items_argument(items)); });
            },
            nb::arg("items").none())
        .def_prop_ro("key_map",
                     [](const Dictionary& d) -> nb::typed<nb::dict, nb::int_, DictionaryItem> {
                         return item_map(d, true);
                     })
        .def_prop_ro("name_map",
                     [](const Dictionary& d) -> nb::typed<nb::dict, nb::str, DictionaryItem> {
                         return item_map(d, false);
                     })
        .def(
            "get",
            [](const Dictionary& d, nb::handle name) {
                return from_value(item_by_name(d, name).get());
            },
            nb::arg("name").none())
        .def(
            "set",
            [](const Dictionary& d, nb::handle name, nb::handle value) {
                item_set(item_by_name(d, name), value);
            },
            nb::arg("name").none(), nb::arg("value").none())
        .def(
            "_read",
            [](const Dictionary& d, nb::handle key) { return item_by_key(d, key)._read(); },
            nb::arg("key").none())
        .def(
            "_write",
            [](const Dictionary& d, nb::handle key, nb::handle value) {
                DictionaryItem& item = item_by_key(d, key);
                item._write(to_int64(value, "value"));
            },
            nb::arg("key").none(), nb::arg("value").none())
        .def("_set_inputs_to_failsafe", &Dictionary::_set_inputs_to_failsafe,
             "Set all inputs to fail-safe status")
        .def("__len__", [](const Dictionary& d) { return d.items().size(); })
        .def("__repr__", &dictionary_repr)
        .def("__getstate__",
             [](nb::handle self) {
                 nb::list items;
                 for (const auto& item : initialized<const Dictionary>(self, "self").items()) {
                     items.append(nb::cast(item));
                 }
                 return nb::make_tuple(items, instance_dict(self));
             })
        .def("__setstate__", [](nb::handle self, nb::handle state) {
            nb::tuple f = state_tuple(self, state, 2, "Dictionary");
            construct_in_place<Dictionary>(self, items_argument(f[0]));
            restore_instance_dict(self, f[1]);
        });
}

}  // namespace

void bind_model_items(nb::module_& m) {
    bind_items(m);
    bind_dictionary(m);
}

}  // namespace velmora::bindings
