#pragma once
// Helpers shared by the engine's binding files: argument conversions, the Python classes
// of the states, and the parts of bind_engine.
#include <nanobind/nanobind.h>

#include <cstdint>

#include "engine/state_id.hpp"

namespace velmora::bindings {

// An int, or a real number truncated toward zero, as an unsigned 16-bit value (overflow
// error outside 0..65535, type error for anything else).
std::uint16_t to_u16_truncating(nanobind::handle value, const char* what);

// The truth value of an object, as `if value:` would take it.
bool to_truth(nanobind::handle value);

// The Python class of a state, and back (type error for anything but the five classes).
nanobind::handle state_class(StateId id);
StateId state_id_of_class(nanobind::handle cls);

// Parts of bind_engine, in this order.
void bind_engine_nodes(nanobind::module_& m);
void bind_engine_states(nanobind::module_& m);
void bind_engine_handler(nanobind::module_& m);

}  // namespace velmora::bindings
