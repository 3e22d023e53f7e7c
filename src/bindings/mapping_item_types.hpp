#pragma once
// The accepted item classes of a dictionary map as the host sees them: a Python set of
// classes, tested against the exact Python class of an item.
#include <nanobind/nanobind.h>

#include "mapping/dictionary_map.hpp"

namespace velmora::bindings {

// A set or frozenset of classes, else a type error. The set object itself is kept.
AcceptedItemTypesPtr accepted_from_python(nanobind::handle types);

// The Python set of a map. A map built in C++ gets one made of the classes of its kinds on
// first use; its copies share it, since they share the accepted-types object.
nanobind::object accepted_types(const DictionaryMap& map);

}  // namespace velmora::bindings
