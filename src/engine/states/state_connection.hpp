#pragma once
// The Connection state: the master sends its connection id and the slave's address, and
// the slave echoes them. The first Connection frame is prepared by "SESSION_OK".
#include "engine/states/state.hpp"

namespace velmora {

class StateConnection final : public State {
  public:
    static constexpr StateId kId = StateId::Connection;
    using State::State;

    StateId _process_frame_received_event() override;
    StateId _process_watchdog_expired_event() override;
    StateId _process_reset_connection_event() override;

  private:
    StateId conn_ok_action_();
    StateId conn_stay1_action_();
};

}  // namespace velmora
