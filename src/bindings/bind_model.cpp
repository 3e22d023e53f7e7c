// The data types, and (model_items.cpp) the dictionary items and the dictionary.
#include <nanobind/nanobind.h>

#include "bindings/convert.hpp"
#include "bindings/model_items.hpp"
#include "bindings/model_values.hpp"
#include "bindings/subsystems.hpp"
#include "model/data_type.hpp"
#include "protocol/errors.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

constexpr DataType kAllDataTypes[] = {DataType::BOOL,   DataType::FLOAT,  DataType::UINT8,
                                      DataType::INT8,   DataType::UINT16, DataType::INT16,
                                      DataType::UINT32, DataType::INT32};

void bind_data_type(nb::module_& m) {
    nb::enum_<DataType> type(m, "DataType", "Type of dictionary item");
    for (DataType t : kAllDataTypes) type.value(std::string(data_type_name(t)).c_str(), t);
    type.def_prop_ro("bits", &data_type_bits)
        .def_prop_ro("bytes", &data_type_bytes)
        .def_prop_ro("is_integer", &data_type_is_integer)
        .def_prop_ro("is_signed", &data_type_is_signed)
        .def_prop_ro("min_value", &data_type_min_value)
        .def_prop_ro("max_value", &data_type_max_value)
        .def("get_initial_value", [](DataType t) { return from_value(data_type_initial_value(t)); })
        .def(
            "serialize_value",
            [](DataType t, nb::handle value) { return serialize_value(t, to_value_for(t, value)); },
            nb::arg("value").none())
        .def(
            "serialize_bytes",
            [](DataType t, nb::handle value) {
                std::uint8_t out[4];
                std::uint8_t n = serialize_bytes(t, to_value_for(t, value), out);
                return nb::bytes(reinterpret_cast<const char*>(out), n);
            },
            nb::arg("value").none())
        .def(
            "unserialize_value",
            [](DataType t, nb::handle value) {
                return from_value(unserialize_value(t, to_int64(value, "value")));
            },
            nb::arg("value").none());
}

}  // namespace

void bind_model(nb::module_& m) {
    bind_data_type(m);
    bind_model_items(m);
}

}  // namespace velmora::bindings
