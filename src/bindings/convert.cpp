#include "bindings/convert.hpp"

#include "protocol/cycle_code.hpp"
#include "protocol/errors.hpp"

namespace nb = nanobind;

namespace velmora::bindings {

std::int64_t to_int64(nb::handle value, const char* what) {
    if (!PyLong_Check(value.ptr())) {
        throw TypeError(std::string(what) + " must be an integer, not " +
                        Py_TYPE(value.ptr())->tp_name);
    }
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow > 0) throw OverflowError("value too large to convert");
    if (overflow < 0) throw OverflowError("value too small to convert");
    if (result == -1 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

VELMORA_CYCLE_CODE
ByteView::ByteView(nb::handle object, const char* what) {
    // The exact type first: a pointer compare, where the general test reads the type's flags
    // (a line of the interpreter's that is cold when a host's cycle comes).
    if (PyBytes_CheckExact(object.ptr()) || PyBytes_Check(object.ptr())) {
        data_ = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object.ptr()));
        size_ = static_cast<std::size_t>(PyBytes_GET_SIZE(object.ptr()));
        return;
    }
    if (!PyObject_CheckBuffer(object.ptr()) ||
        PyObject_GetBuffer(object.ptr(), &buffer_, PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        throw TypeError(std::string(what) + " must be a bytes-like object, not " +
                        Py_TYPE(object.ptr())->tp_name);
    }
    has_buffer_ = true;
    data_ = static_cast<const std::uint8_t*>(buffer_.buf);
    size_ = static_cast<std::size_t>(buffer_.len);
}

VELMORA_CYCLE_CODE
ByteView::~ByteView() {
    if (has_buffer_) PyBuffer_Release(&buffer_);
}

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace velmora::bindings
