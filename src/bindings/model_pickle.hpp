#pragma once
// In-place construction of bound objects from Python: __init__, and the field-by-field
// pickling of shared core objects.
//
// __init__ takes the instance as a handle, so that a live object is refused plainly
// ("Dictionary is already initialized") before its arguments are looked at; `make` returns
// the new object, which is built in the instance's storage:
//
//   cls.def("__init__", [](nb::handle self, nb::handle key) {
//       init_in_place<Foo>(self, [&] { return Foo(to_int64(key, "key")); });
//   }, nb::arg("key"));
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
// a subclass keeps its own attributes. Every check comes before the object is built: a
// refused call leaves the instance as it was.
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

// Python names of classes, for messages.
inline std::string name_of_type(nanobind::handle type) {
    return nanobind::str(nanobind::getattr(type, "__name__")).c_str();
}
inline std::string class_name(nanobind::handle object) {
    return name_of_type(object.type());
}

// Building into a live object would overwrite a C++ object that others may share.
inline void refuse_initialized(nanobind::handle self) {
    if (nanobind::inst_ready(self)) {
        throw RuntimeError(class_name(self) + " is already initialized");
    }
}

// As above, for the instance being restored (not a live one), and attributes in the state
// need an instance that can hold them.
inline nanobind::tuple state_tuple(nanobind::handle self, nanobind::handle state, std::size_t size,
                                   const char* cls) {
    if (nanobind::inst_check(self)) refuse_initialized(self);
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
// exactly T (a Python subclass of T's class is fine); a live object is refused.
template <typename T>
T* uninitialized_storage(nanobind::handle self) {
    if (!nanobind::isinstance<T>(self)) {
        throw TypeError(std::string("expected a ") + name_of_type(nanobind::type<T>()) +
                        " object, not " + Py_TYPE(self.ptr())->tp_name);
    }
    refuse_initialized(self);
    if (nanobind::type_info(self.type()) != typeid(T)) {
        throw TypeError("cannot build a " + name_of_type(nanobind::type<T>()) + " in a " +
                        class_name(self) + " object");
    }
    return nanobind::inst_ptr<T>(self);
}

template <typename T, typename... Args>
T& construct_in_place(nanobind::handle self, Args&&... args) {
    T* storage = uninitialized_storage<T>(self);
    T* object = new (storage) T(std::forward<Args>(args)...);
    nanobind::inst_mark_ready(self);
    return *object;
}

// `make` converts the arguments and returns the object, after `self` has been checked.
template <typename T, typename Make>
T& init_in_place(nanobind::handle self, Make&& make) {
    T* storage = uninitialized_storage<T>(self);
    T* object = new (storage) T(std::forward<Make>(make)());
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
