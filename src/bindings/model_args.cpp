#include "bindings/model_args.hpp"

#include <nanobind/stl/string.h>

#include "protocol/errors.hpp"

namespace nb = nanobind;

namespace velmora::bindings {

DataType to_data_type(nb::handle object, const char* what) {
    DataType type{};
    if (!nb::try_cast<DataType>(object, type, false)) {
        throw TypeError(std::string(what) + " must be a DataType, not " +
                        Py_TYPE(object.ptr())->tp_name);
    }
    return type;
}

std::string to_text(nb::handle object, const char* what) {
    if (!PyUnicode_Check(object.ptr())) {
        throw TypeError(std::string(what) + " must be a str, not " +
                        Py_TYPE(object.ptr())->tp_name);
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object.ptr(), &size);
    if (data == nullptr) throw nb::python_error();
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace velmora::bindings
