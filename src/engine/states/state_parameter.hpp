#pragma once
// The Parameter state: the master sends the watchdog time and the application
// parameters, with their lengths, and the slave echoes them.
#include "engine/states/state.hpp"

namespace velmora {

class Node;

class StateParameter final : public State {
  public:
    static constexpr StateId kId = StateId::Parameter;
    using State::State;

    StateId _process_frame_received_event() override;
    StateId _process_watchdog_expired_event() override;
    StateId _process_reset_connection_event() override;
    void map_frame() override;

  private:
    void calculate_master_size_bytes_();
    void clear_slave_parameters_();
    static void map_node_(Node& node);
    StateId para_ok_action_();
    StateId para_stay1_action_();
};

}  // namespace velmora
