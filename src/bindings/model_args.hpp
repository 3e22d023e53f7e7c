#pragma once
// Argument conversions shared by the model and dynamic-map bindings.
#include <nanobind/nanobind.h>

#include <string>

#include "model/data_type.hpp"

namespace velmora::bindings {

// A DataType member, else a type error naming `what`.
DataType to_data_type(nanobind::handle object, const char* what = "data_type");

// A str, else a type error naming `what`.
std::string to_text(nanobind::handle object, const char* what);

}  // namespace velmora::bindings
