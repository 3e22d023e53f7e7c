// Nodes, sessions and application parameters.
#include <nanobind/nanobind.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include <optional>
#include <string>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/engine_support.hpp"
#include "bindings/mapping_item_types.hpp"
#include "bindings/model_args.hpp"
#include "bindings/model_gc.hpp"
#include "bindings/model_pickle.hpp"
#include "bindings/model_values.hpp"
#include "bindings/pickling.hpp"
#include "engine/application_parameter.hpp"
#include "engine/master_handler.hpp"
#include "engine/node.hpp"
#include "engine/session.hpp"
#include "protocol/commands.hpp"
#include "protocol/errors.hpp"
#include "protocol/helpers.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

nb::handle g_fsoe_error;  // the FSOEError class, alive as long as the module

nb::object fsoe_error(std::uint16_t code) {
    // The enumeration's own lookup: an unknown code is its value error.
    return g_fsoe_error(code);
}

std::uint16_t error_code_argument(nb::handle error) {
    const std::int64_t code = to_int64(error, "error");
    if (!fsoe_error_has_value(code)) {
        throw ValueError(std::to_string(code) + " is not a valid FSOEError");
    }
    return static_cast<std::uint16_t>(code);
}

std::vector<DynamicMappableItemPtr> items_argument(nb::handle items) {
    std::vector<DynamicMappableItemPtr> result;
    if (items.is_none()) return result;
    if (!PyList_Check(items.ptr())) {
        throw TypeError(std::string("application_parameters must be a list or None, not ") +
                        Py_TYPE(items.ptr())->tp_name);
    }
    for (nb::handle item : nb::borrow<nb::list>(items)) {
        DynamicMappableItemPtr converted;
        if (item.is_none() || !nb::try_cast(item, converted, false) || !converted) {
            throw TypeError(std::string("application parameters must be DynamicMappableItem "
                                        "objects, not ") +
                            Py_TYPE(item.ptr())->tp_name);
        }
        result.push_back(std::move(converted));
    }
    return result;
}

DictionaryPtr dictionary_argument(nb::handle dictionary) {
    DictionaryPtr result;
    if (dictionary.is_none() || !nb::try_cast(dictionary, result, false) || !result) {
        throw TypeError(std::string("dictionary must be a Dictionary, not ") +
                        Py_TYPE(dictionary.ptr())->tp_name);
    }
    return result;
}

nb::list parameter_list(const std::vector<DynamicMappableItemPtr>& items) {
    nb::list result;
    for (const auto& item : items) result.append(nb::cast(item));
    return result;
}

// A node built from Python holds the dictionary and the parameters it was given.
int node_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!python_owns_instance(self)) return 0;
    const Node& node = *nb::inst_ptr<Node>(self);
    if (int r = visit_shared_owner(node.dictionary_map()->dictionary(), visit, arg)) return r;
    for (const auto& item : node.application_parameters()) {
        if (int r = visit_shared_owner(item, visit, arg)) return r;
    }
    return 0;
}

PyType_Slot node_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(&node_traverse)},
                            {0, nullptr}};

void bind_session(nb::module_& m) {
    nb::class_<Session> cls(m, "Session", "FSoE Session structure");
    cls.def(
           "__init__",
           [](nb::handle self, nb::handle slave_address, nb::handle connection_id,
              nb::handle watchdog_ms) {
               init_in_place<Session>(self, [&] {
                   return Session(to_u16_truncating(slave_address, "slave_address"),
                                  to_u16_truncating(connection_id, "connection_id"),
                                  to_u16_truncating(watchdog_ms, "watchdog_ms"));
               });
           },
           nb::arg("slave_address"), nb::arg("connection_id"), nb::arg("watchdog_ms"),
           nb::sig("def __init__(self, slave_address: int | float, connection_id: int | float, "
                   "watchdog_ms: int | float) -> None"))
        .def_prop_ro("slave_address", [](const Session& s) { return s.slave_address; })
        .def_prop_ro("session_id", [](const Session& s) { return s.session_id; })
        .def_prop_ro("error_id", [](const Session& s) { return s.error_id; })
        .def_prop_ro("connection_id", [](const Session& s) { return s.connection_id; })
        .def_prop_ro("comm_parameter_size_bytes",
                     [](const Session& s) { return s.comm_parameter_size_bytes; })
        .def_prop_ro("watchdog_ms", [](const Session& s) { return s.watchdog_ms; })
        .def_prop_ro("app_parameter_size_bytes",
                     [](const Session& s) { return s.app_parameter_size_bytes; })
        .def_prop_rw(
            "error", [](const Session& s) { return fsoe_error(s.error()); },
            [](Session& s, nb::handle error) { s.set_error(error_code_argument(error)); },
            nb::for_getter(nb::sig("def error(self, /) -> FSOEError")),
            nb::for_setter(nb::sig("def error(self, error: FSOEError | BaseError, /) -> None")));
    refuse_pickling(cls, "Session");
}

void bind_node(nb::module_& m) {
    nb::class_<Node> cls(m, "Node", "FSoE Node", nb::type_slots(node_slots));
    cls.def(
           "__init__",
           [](nb::handle self, nb::handle slave_address, nb::handle connection_id,
              nb::handle watchdog_ms, nb::handle application_parameters, nb::handle dictionary,
              nb::handle item_types_accepted, nb::handle dictionary_map_is_editable) {
               init_in_place<Node>(self, [&] {
                   const std::uint16_t address =
                       to_u16_truncating(slave_address, "slave_address");
                   const std::uint16_t id = to_u16_truncating(connection_id, "connection_id");
                   const std::uint16_t ms = to_u16_truncating(watchdog_ms, "watchdog_ms");
                   auto params = items_argument(application_parameters);
                   DictionaryPtr dict = dictionary_argument(dictionary);
                   AcceptedItemTypesPtr accepted =
                       item_types_accepted.is_none()
                           ? std::make_shared<AcceptedItemTypes>(std::vector<ItemKind>{})
                           : accepted_from_python(item_types_accepted);
                   const bool editable = to_truth(dictionary_map_is_editable);
                   return Node(address, id, ms, std::move(params), std::move(dict),
                               std::move(accepted), editable);
               });
           },
           nb::arg("slave_address"), nb::arg("connection_id"), nb::arg("watchdog_ms"),
           nb::arg("application_parameters").none(), nb::arg("dictionary").none(),
           nb::arg("item_types_accepted").none(), nb::arg("dictionary_map_is_editable") = true,
           nb::sig("def __init__(self, slave_address: int | float, connection_id: int | float, "
                   "watchdog_ms: int | float, "
                   "application_parameters: list[DynamicMappableItem] | None, "
                   "dictionary: Dictionary, item_types_accepted: set[type] | None, "
                   "dictionary_map_is_editable: bool = True) -> None"))
        .def_prop_ro(
            "frame", [](Node& n) -> FSOEFrame& { return n.frame(); },
            nb::rv_policy::reference_internal)
        .def_prop_ro(
            "session", [](Node& n) -> Session& { return n.session(); },
            nb::rv_policy::reference_internal)
        .def_prop_ro("dictionary_map", [](const Node& n) { return n.dictionary_map(); })
        .def_prop_ro(
            "_dynamic_map", [](Node& n) -> FSOEDynamicMap& { return n._dynamic_map(); },
            nb::rv_policy::reference_internal)
        .def_prop_ro(
            "application_parameters",
            [](const Node& n) { return parameter_list(n.application_parameters()); },
            nb::sig("def application_parameters(self) -> list[DynamicMappableItem]"))
        .def_prop_rw(
            "_last_crc0_sent",
            [](const Node& n) -> nb::object {
                if (!n._last_crc0_sent) return nb::none();
                return nb::int_(*n._last_crc0_sent);
            },
            [](Node& n, nb::handle value) {
                if (value.is_none()) {
                    n._last_crc0_sent.reset();
                } else {
                    n._last_crc0_sent = to_u16(to_int64(value, "_last_crc0_sent"));
                }
            },
            nb::for_getter(nb::sig("def _last_crc0_sent(self, /) -> int | None")),
            nb::for_setter(nb::sig("def _last_crc0_sent(self, value: int | None, /) -> None")),
            nb::for_setter(nb::arg("value").none()))
        .def("start", &Node::start, "Procedures required before the FSoE is initialized")
        .def("stop", &Node::stop, "Procedures required when the FSoE is stopped");
    refuse_pickling(cls, "Node");
}

std::optional<std::int64_t> optional_int(nb::handle value, const char* what) {
    if (value.is_none()) return std::nullopt;
    return to_int64(value, what);
}

std::optional<DataType> optional_type(nb::handle value) {
    if (value.is_none()) return std::nullopt;
    return to_data_type(value);
}

void bind_application_parameter(nb::module_& m) {
    nb::class_<ApplicationParameter, DynamicMappableItem> cls(m, "ApplicationParameter",
                                                              "Application Parameter.");
    cls.def(
           "__init__",
           [](nb::handle self, nb::handle name, nb::handle initial_value, nb::handle n_bytes,
              nb::handle data_type) {
               init_in_place<ApplicationParameter>(self, [&] {
                   std::string text = to_text(name, "name");
                   const std::optional<std::int64_t> size = optional_int(n_bytes, "n_bytes");
                   const std::optional<DataType> type = optional_type(data_type);
                   const DataType resolved = ApplicationParameter::resolve_type(size, type);
                   Value value = to_value_for(resolved, initial_value, "initial_value");
                   return ApplicationParameter(std::move(text), value, size, type);
               });
           },
           nb::arg("name").none(), nb::arg("initial_value").none(),
           nb::arg("n_bytes").none() = nb::none(), nb::arg("data_type").none() = nb::none(),
           nb::sig("def __init__(self, name: str, initial_value: float | int | bool, "
                   "n_bytes: int | None = None, data_type: DataType | None = None) -> None"))
        .def_prop_ro("name", &ApplicationParameter::name)
        .def(
            "set",
            [](ApplicationParameter& p, nb::handle value) {
                p.set(to_value_for(p.data_type(), value));
            },
            nb::arg("value").none(), "Set value of the item")
        .def_prop_rw(
            "value", [](const ApplicationParameter& p) { return from_value(p.get()); },
            [](ApplicationParameter& p, nb::handle value) {
                p.set(to_value_for(p.data_type(), value));
            },
            nb::for_setter(nb::arg("value").none()))
        .def(
            "_set_use_by_master",
            [](ApplicationParameter& p, nb::handle master) {
                if (!nb::isinstance<MasterHandler>(master) || !nb::inst_ready(master)) {
                    throw TypeError(std::string("master must be a MasterHandler, not ") +
                                    Py_TYPE(master.ptr())->tp_name);
                }
                p._set_use_by_master(nb::inst_ptr<MasterHandler>(master)->running_flag());
            },
            nb::arg("master").none(),
            nb::sig("def _set_use_by_master(self, master: MasterHandler) -> None"),
            "Set the master that uses this application parameter.")
        // Name, type and value; never the handler that claimed it.
        .def("__getstate__",
             [](nb::handle self) {
                 auto& p = initialized<const ApplicationParameter>(self, "self");
                 return nb::make_tuple(p.name(), p.data_type(), from_value(p.get()),
                                       instance_dict(self));
             })
        .def("__setstate__", [](nb::handle self, nb::handle state) {
            nb::tuple f = state_tuple(self, state, 4, "ApplicationParameter");
            std::string name = to_text(f[0], "name");
            const DataType type = to_data_type(f[1]);
            Value value = to_value_for(type, f[2], "value");
            construct_in_place<ApplicationParameter>(self, std::move(name), value, std::nullopt,
                                                     type);
            restore_instance_dict(self, f[3]);
        });
}

}  // namespace

void bind_engine_nodes(nb::module_& m) {
    g_fsoe_error = m.attr("FSOEError");
    bind_session(m);
    bind_node(m);
    bind_application_parameter(m);
}

}  // namespace velmora::bindings
