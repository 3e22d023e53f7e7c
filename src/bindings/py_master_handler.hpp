#pragma once
// The core of a handler made from Python, with what the binding keeps for the host beside it.
#include <nanobind/nanobind.h>

#include "bindings/request_bytes.hpp"
#include "engine/master_handler.hpp"

namespace velmora::bindings {

// The core with the request handed to Python as bytes (bindings/request_bytes.hpp).
class PyMasterHandler final : public MasterHandler {
  public:
    using MasterHandler::MasterHandler;

    // Called under the exclusion, with the GIL.
    nanobind::object request_bytes() {
        return request_bytes_.get(current_request(), request_version());
    }

    // Whether __init__ ran (construction itself is __new__'s).
    bool initialized = false;

  private:
    void warm_host_side_() const noexcept override;

    RequestBytes request_bytes_;
};

// The core of a Python handler object (a live one: see nanobind::inst_ready).
inline MasterHandler& handler_of(PyObject* self) {
    return *nanobind::inst_ptr<MasterHandler>(self);
}

}  // namespace velmora::bindings
