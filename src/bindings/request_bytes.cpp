#include "bindings/request_bytes.hpp"

#include "protocol/cycle_code.hpp"
#include "protocol/small_bytes.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

// Rewriting needs the cached hash reset. Where the field may be gone (a later Python), or
// where the reference count does not tell sole ownership (free-threaded builds), a new
// object is made every time.
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
constexpr bool kRewriteInPlace = true;

void forget_hash(PyObject* bytes) noexcept {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    reinterpret_cast<PyBytesObject*>(bytes)->ob_shash = -1;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}
#else
constexpr bool kRewriteInPlace = false;

void forget_hash(PyObject*) noexcept {}
#endif

}  // namespace

VELMORA_CYCLE_CODE
bool RequestBytes::rewritable(int slot, std::size_t size) const noexcept {
    if (!kRewriteInPlace || slot < 0 || !slots_[slot].has_value()) return false;
    PyObject* object = slots_[slot]->get();
    // Objects of one byte or none may be shared singletons; ours are always longer.
    return object != nullptr && size > 1 && Py_REFCNT(object) == 1 &&
           PyBytes_CheckExact(object) && static_cast<std::size_t>(PyBytes_GET_SIZE(object)) == size;
}

VELMORA_CYCLE_CODE
void RequestBytes::prefetch() const noexcept {
    for (const auto& slot : slots_) {
        if (!slot.has_value() || slot->get() == nullptr) continue;
        // The header (reference count, size, hash) and the bytes after it.
        const auto* object = reinterpret_cast<const char*>(slot->get());
        __builtin_prefetch(object);
        __builtin_prefetch(object + 64);
    }
}

VELMORA_CYCLE_CODE
nb::object RequestBytes::get(std::span<const std::uint8_t> request, std::uint64_t version) {
    if (current_ >= 0 && version == version_) return nb::borrow(slots_[current_]->get());
    // The other slot first: the current object is most likely the one the host still holds.
    const int other = current_ == 0 ? 1 : 0;
    int chosen = -1;
    for (const int slot : {other, current_}) {
        if (rewritable(slot, request.size())) {
            chosen = slot;
            break;
        }
    }
    if (chosen >= 0) {
        PyObject* object = slots_[chosen]->get();
        small_copy(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(object)), request.data(),
                   request.size());
        forget_hash(object);
    } else {
        nb::bytes fresh(reinterpret_cast<const char*>(request.data()), request.size());
        chosen = other;
        slots_[chosen].emplace(fresh);
    }
    current_ = chosen;
    version_ = version;
    return nb::borrow(slots_[current_]->get());
}

}  // namespace velmora::bindings
