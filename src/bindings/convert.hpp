#pragma once
// Argument conversions with the host's error kinds: a non-integer is a type error, an
// integer outside the target range an overflow error (never a wrapped value).
#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>
#include <string>

namespace velmora::bindings {

// Any Python int (bool included) as a 64-bit integer; a value beyond int64 is an overflow
// error, a non-integer a type error naming `what`.
std::int64_t to_int64(nanobind::handle value, const char* what = "value");

// A bytes-like object as a span of its bytes, valid while `holder` lives. Anything else is
// a type error.
class ByteView {
public:
    explicit ByteView(nanobind::handle object, const char* what = "data");
    ~ByteView();
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    std::span<const std::uint8_t> span() const noexcept { return {data_, size_}; }

private:
    Py_buffer buffer_{};
    bool has_buffer_ = false;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// True while the interpreter is shutting down (calling into Python then is unsafe).
bool interpreter_finalizing() noexcept;

}  // namespace velmora::bindings
