#pragma once
// The Session state: the master sends a fresh random session id, piecewise when needed.
#include "engine/states/state.hpp"

namespace velmora {

class StateSession final : public State {
  public:
    static constexpr StateId kId = StateId::Session;
    using State::State;

    StateId _process_frame_received_event() override;
    StateId _process_watchdog_expired_event() override;
    StateId _process_reset_connection_event() override;
    void map_frame() override;

    // The Session restart after a reset by the slave: a new session id and a first
    // Session frame.
    StateId _reset_session();

  private:
    StateId session_ok_action_();
    StateId session_stay1_action_();
    StateId session_stay2_action_();
    StateId session_reset1_action_();
};

}  // namespace velmora
