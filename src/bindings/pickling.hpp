#pragma once
// Types whose state cannot be persisted refuse pickling with a TypeError.
#include <nanobind/nanobind.h>

#include <string>

namespace velmora::bindings {

template <typename Class>
void refuse_pickling(Class& cls, const char* name) {
    std::string message = std::string("cannot pickle '") + name + "' object";
    auto refuse = [message](nanobind::handle, nanobind::args) -> nanobind::object {
        throw nanobind::type_error(message.c_str());
    };
    cls.def("__reduce_ex__", refuse);
    cls.def("__reduce__", refuse);
    cls.def("__getstate__", refuse);
}

}  // namespace velmora::bindings
