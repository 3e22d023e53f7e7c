#pragma once
// The Reset state: master and slave exchange Reset frames; the master's carries its error
// code. Also home of the Reset handling that every failing transition ends in.
#include "engine/states/state.hpp"

namespace velmora {

class StateReset final : public State {
  public:
    static constexpr StateId kId = StateId::Reset;
    using State::State;

    StateId _process_frame_received_event() override;
    StateId _process_watchdog_expired_event() override;
    StateId _process_reset_connection_event() override;
    // A Reset frame carrying the master's error code.
    void map_frame() override;

    // Sequence numbers back to 1, reference CRC_0 back to 0, inputs to their fail-safe
    // values, and a Reset frame that carries `error` (an FSOEError code).
    StateId _reset_handler(std::uint16_t error);

  private:
    StateId reset_start_action_();
    StateId reset_ok_action_();
    StateId reset_stay1_action_();
    void restart_with_reset_frame_();
    StateId reset_wd_action_();
    StateId open_session_(std::string_view transition_name);
};

}  // namespace velmora
