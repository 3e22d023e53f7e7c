#pragma once
// The host's two callbacks, held as abstract callables so that a binding can wrap the
// host's own callables (and call them under its interpreter lock).
#include <memory>
#include <optional>
#include <string_view>

#include "engine/state_id.hpp"

namespace velmora {

class ErrorCallback {
  public:
    virtual ~ErrorCallback() = default;
    // A transition name and a message; either may be absent when a host passes none.
    virtual void operator()(std::optional<std::string_view> transition_name,
                            std::optional<std::string_view> message) = 0;
};

class StateChangeCallback {
  public:
    virtual ~StateChangeCallback() = default;
    virtual void operator()(StateId next_state) = 0;
};

using ErrorCallbackPtr = std::shared_ptr<ErrorCallback>;
using StateChangeCallbackPtr = std::shared_ptr<StateChangeCallback>;

}  // namespace velmora
