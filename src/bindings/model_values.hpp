#pragma once
// Item values between Python and the core: bool, int and float keep their kind both ways.
//
//   Value v = to_value(obj);              // bool / int / float, else TypeError
//   Value v = to_value_for(type, obj);    // as to_value, but an int beyond 64 bits fails
//                                         // as type's serialize_value would
//   nb::object o = from_value(v);         // back to bool / int / float
#include <nanobind/nanobind.h>
#include <nanobind/stl/variant.h>

#include <cstdint>
#include <variant>

#include "model/data_type.hpp"
#include "protocol/value.hpp"

namespace velmora::bindings {

// A Python bool, int (or an object with __index__) or float. An int beyond 64 bits is an
// overflow error; any other object a type error naming `what`.
Value to_value(nanobind::handle object, const char* what = "value");

// For a value that `type` will encode: an int beyond 64 bits is out of range for every
// integer type (value error, "Invalid value for BOOL type" for BOOL) and is taken as a real
// number for FLOAT (overflow error beyond double range), as serialize_value would judge it.
Value to_value_for(DataType type, nanobind::handle object, const char* what = "value");

// A Python object typed for signatures and stubs as `bool | int | float`.
using ValueObject = nanobind::typed<nanobind::object, std::variant<bool, std::int64_t, double>>;

ValueObject from_value(const Value& value);

}  // namespace velmora::bindings
