#pragma once
// The base of the five states. A state keeps no data of its own: everything it reads and
// writes lives in its context, the handler, and the handler's two nodes.
#include <cstdint>
#include <string_view>

#include "engine/state_id.hpp"
#include "protocol/commands.hpp"

namespace velmora {

class MasterHandler;

class State {
  public:
    explicit State(MasterHandler& context) noexcept : context_(&context) {}
    virtual ~State() = default;
    State(const State&) = default;
    State& operator=(const State&) = default;

    MasterHandler& context() const noexcept { return *context_; }

    // Each returns the next state; the base versions are not implemented.
    virtual StateId _process_frame_received_event();
    virtual StateId _process_watchdog_expired_event();
    virtual StateId _process_reset_connection_event();
    // Prepares the master's next frame; not implemented by the base and the Connection state.
    virtual void map_frame();

    // The slave frame's CRCs: checked plainly until a first slave CRC_0 is known, then
    // cyclically. A reply of another length than the input map fixes never passes.
    bool _check_received_crcs();

  protected:
    static void log_transition(std::string_view name);
    // Reports to the host's error callback.
    void report(std::string_view transition_name, std::string_view message);
    // The slave reset its side: the error code it sent, by name where it has one.
    void report_slave_reset(std::string_view transition_name);
    // The connection id field of the reply differs from the master's.
    void report_connection_id(std::string_view transition_name);
    // A fail, watchdog or host-reset action: log, then the Reset handling with `code`.
    StateId fail(std::string_view transition_name, BaseError code);
    // A slave-reset action outside the Session state: log, then the Session restart.
    StateId restart_session(std::string_view transition_name);
    // What every way back to the start of a connection does to the frames first: CRC_0 and
    // sequence number of both frames back to 0 and 1, fail-safe data from now on.
    void restart_frames();
    // The slave frame's command when it is a member; `valid` tells whether it is.
    FSOECommand received_command(bool& valid) const noexcept;

  private:
    MasterHandler* context_;
};

inline constexpr std::string_view kInvalidCommandMessage = "Invalid slave frame command";
inline constexpr std::string_view kInvalidCrcMessage = "Invalid slave CRC";
inline constexpr std::string_view kWatchdogExpiredMessage = "The watchdog of the master expired";

}  // namespace velmora
