#pragma once
// Reprs of the model and mapping objects: short, one line (a map adds its text form), and
// naming the Python class so that host subclasses show as themselves.
#include <nanobind/nanobind.h>

namespace velmora::bindings {

// <DictionaryItemOutput 'speed' key=1 type=UINT16 value=0>
nanobind::str item_repr(nanobind::handle self);
// <Dictionary 2 items: <item repr>, <item repr>>
nanobind::str dictionary_repr(nanobind::handle self);
// <DictionaryMappedItem 'speed' bits=16 position_bits=8>, <DictionaryMappedItem padding ...>
nanobind::str mapped_item_repr(nanobind::handle self);
// <DictionaryMap 24 bits (3 bytes), 2 entries, unlocked> and the map's text form below it
nanobind::str map_repr(nanobind::handle self);
// <DynamicMappableItem UINT16 value=4660 raw_value=0x1234>
nanobind::str dynamic_item_repr(nanobind::handle self);
// <FSOEDynamicMap 3 of 10 bytes, 1 of 4 items processed>
nanobind::str dynamic_map_repr(nanobind::handle self);

}  // namespace velmora::bindings
