#include "bindings/model_values.hpp"

#include <string>

#include "protocol/errors.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

enum class IntResult { Fits, TooBig };

// Python int -> int64; TooBig when it does not fit.
IntResult as_int64(PyObject* integer, std::int64_t& out) {
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (overflow != 0) return IntResult::TooBig;
    if (result == -1 && PyErr_Occurred()) throw nb::python_error();
    out = result;
    return IntResult::Fits;
}

[[noreturn]] void wrong_type(nb::handle object, const char* what) {
    throw TypeError(std::string(what) + " must be a bool, an int or a float, not " +
                    Py_TYPE(object.ptr())->tp_name);
}

// Converts `object`; on an int beyond 64 bits calls too_big(int object).
template <typename TooBig>
Value convert(nb::handle object, const char* what, TooBig&& too_big) {
    PyObject* o = object.ptr();
    if (PyBool_Check(o)) return Value{o == Py_True};
    if (PyFloat_Check(o)) return Value{PyFloat_AS_DOUBLE(o)};
    nb::object integer;
    if (PyLong_Check(o)) {
        integer = nb::borrow(object);
    } else if (PyIndex_Check(o)) {
        integer = nb::steal(PyNumber_Index(o));
        if (!integer.is_valid()) throw nb::python_error();
    } else {
        wrong_type(object, what);
    }
    std::int64_t value = 0;
    if (as_int64(integer.ptr(), value) == IntResult::TooBig) return too_big(integer);
    return Value{value};
}

}  // namespace

Value to_value(nb::handle object, const char* what) {
    return convert(object, what,
                   [](nb::handle) -> Value { throw OverflowError("value too large to convert"); });
}

Value to_value_for(DataType type, nb::handle object, const char* what) {
    return convert(object, what, [type](nb::handle integer) -> Value {
        if (type == DataType::BOOL) throw ValueError("Invalid value for BOOL type");
        if (type != DataType::FLOAT) throw ValueError();
        double d = PyLong_AsDouble(integer.ptr());
        if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return Value{d};
    });
}

ValueObject from_value(const Value& value) {
    if (auto* b = std::get_if<bool>(&value)) return nb::object(nb::bool_(*b));
    if (auto* i = std::get_if<std::int64_t>(&value)) return nb::object(nb::int_(*i));
    return nb::object(nb::float_(std::get<double>(value)));
}

}  // namespace velmora::bindings
