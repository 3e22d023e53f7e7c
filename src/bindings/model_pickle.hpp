#pragma once
// Field-by-field pickling of shared core objects.
//
// __getstate__ returns a tuple of Python objects; objects that refer to other bound objects
// put those objects themselves in it (nanobind hands back the existing wrapper), so pickle's
// memo keeps shared references shared. __setstate__ receives the fresh, uninitialised
// instance that pickle made with cls.__new__ and constructs the C++ object in place:
//
//   cls.def("__setstate__", [](nb::handle self, nb::handle state) {
//       auto fields = state_tuple(self, state, 3, "Foo");  // checks fields[2] too
//       construct_in_place<Foo>(self, /* constructor arguments */);
//       restore_instance_dict(self, fields[2]);
//   });
//
// The last field of every state is the instance __dict__ of a Python subclass (or None), so
// a subclass keeps its own attributes.
#include <nanobind/nanobind.h>

#include <new>
#include <string>
#include <typeinfo>
#include <utility>

#include "protocol/errors.hpp"

namespace velmora::bindings {

// The state as a tuple of exactly `size` fields whose last one is None or a dict, else a
// type error. Checked before anything is built, so a refused state leaves `self` unbuilt.
inline nanobind::tuple state_tuple(nanobind::handle state, std::size_t size, const char* cls) {
    if (!PyTuple_Check(state.ptr()) ||
        static_cast<std::size_t>(PyTuple_GET_SIZE(state.ptr())) != size) {
        throw TypeError(std::string("invalid pickled state for ") + cls);
    }
    if (size > 0) {
        PyObject* dict = PyTuple_GET_ITEM(state.ptr(), static_cast<Py_ssize_t>(size - 1));
        if (dict != Py_None && !PyDict_Check(dict)) {
            throw TypeError("invalid pickled instance attributes");
        }
    }
    return nanobind::borrow<nanobind::tuple>(state);
}

// As above, and attributes in the state need an instance that can hold them.
inline nanobind::tuple state_tuple(nanobind::handle self, nanobind::handle state, std::size_t size,
                                   const char* cls) {
    nanobind::tuple fields = state_tuple(state, size, cls);
    if (size > 0 && !fields[size - 1].is_none() &&
        nanobind::getattr(self, "__dict__", nanobind::none()).is_none()) {
        throw TypeError("pickled instance attributes for a class without them");
    }
    return fields;
}

// The C++ object of a bound argument; an instance whose construction never ran (made by
// cls.__new__) is a type error rather than a failed cast.
template <typename T>
T& initialized(nanobind::handle value, const char* what) {
    if (!nanobind::isinstance<T>(value) || !nanobind::inst_ready(value)) {
        throw TypeError(std::string(what) + " is not an initialized " +
                        Py_TYPE(value.ptr())->tp_name);
    }
    return nanobind::cast<T&>(value);  // a cast also finds a base class object
}

// The storage of the not yet constructed C++ object of `self`, whose bound class must be
// exactly T (a Python subclass of T's class is fine). Restoring into a live object would
// overwrite a C++ object that others may share, so that is refused.
template <typename T>
T* uninitialized_storage(nanobind::handle self) {
    if (!nanobind::isinstance<T>(self) || nanobind::type_info(self.type()) != typeid(T)) {
        throw TypeError("__setstate__ applied to an object of another class");
    }
    if (nanobind::inst_ready(self)) throw RuntimeError("object is already initialized");
    return nanobind::inst_ptr<T>(self);
}

template <typename T, typename... Args>
T& construct_in_place(nanobind::handle self, Args&&... args) {
    T* storage = uninitialized_storage<T>(self);
    T* object = new (storage) T(std::forward<Args>(args)...);
    nanobind::inst_mark_ready(self);
    return *object;
}

// The __dict__ of a Python subclass instance, or None.
inline nanobind::object instance_dict(nanobind::handle self) {
    nanobind::object dict = nanobind::getattr(self, "__dict__", nanobind::none());
    if (!PyDict_Check(dict.ptr()) || PyDict_GET_SIZE(dict.ptr()) == 0) return nanobind::none();
    return dict;
}

inline void restore_instance_dict(nanobind::handle self, nanobind::handle dict) {
    if (dict.is_none()) return;
    if (!PyDict_Check(dict.ptr())) throw TypeError("invalid pickled instance attributes");
    nanobind::object target = nanobind::getattr(self, "__dict__", nanobind::none());
    if (target.is_none()) throw TypeError("pickled instance attributes for a class without them");
    target.attr("update")(dict);
}

}  // namespace velmora::bindings
