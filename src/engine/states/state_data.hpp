#pragma once
// The Data state: every request carries the safe outputs, every correct reply delivers
// the safe inputs.
#include "engine/states/state.hpp"

namespace velmora {

class StateData final : public State {
  public:
    static constexpr StateId kId = StateId::Data;
    using State::State;

    StateId _process_frame_received_event() override;
    StateId _process_watchdog_expired_event() override;
    StateId _process_reset_connection_event() override;
    // The command of the host's fail-safe switch and the current outputs.
    void map_frame() override;

  private:
    StateId data_ok1_action_();
    StateId data_ok2_action_();
};

}  // namespace velmora
