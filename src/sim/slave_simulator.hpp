#pragma once
// A simulated FSoE slave: the slave side of one connection, cycle by cycle, for running a
// safety master without safety hardware. It takes the master's PDU and returns its own.
//
// Protocol, as the slave sees it:
// - RESET: every reply is a Reset frame (sequence number 1, reference CRC_0 0, connection
//   id 0) carrying the slave's error code; a Reset from the master is acknowledged with
//   error code 0. The first Session frame moves the slave to SESSION; any other valid
//   command leaves the Reset frame, and the error that caused it, as it is.
// - SESSION: the slave receives the master's session id and sends its own, piecewise, with
//   the same number of bytes per frame as the master (the smaller of the two frame sizes).
//   Further Session frames are answered, so a master may repeat one after a bad reply.
// - CONNECTION, PARAMETER: the slave checks and echoes the connection id and its address,
//   then the parameter block (communication parameter length 2, watchdog time, application
//   parameter length, application parameter bytes).
// - DATA: PROCESS_DATA frames deliver the outputs; the reply carries the inputs.
// Every frame is checked (length, command, connection id field, CRCs with the sequence
// number and reference CRC_0, the data it must carry); a violation is answered with a Reset
// frame carrying the matching error code. Sequence numbers restart at 1 after every reset.
//
// A request equal to the previous one is no new frame: the current reply is returned again,
// as a bus repeats a PDU until its sender changes it. The slave has no thread: its watchdog
// runs on a clock that the host moves (process with a time, or advance).
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "frame/frame.hpp"
#include "protocol/commands.hpp"
#include "sim/setup_transfer.hpp"
#include "sim/sim_events.hpp"
#include "sim/sim_faults.hpp"
#include "sim/sim_state.hpp"

namespace velmora::sim {

class SlaveSimulator {
  public:
    static constexpr std::int64_t kDefaultMaxEvents = 1000;
    // Longest PDU kept for recognising a repeated request.
    static constexpr std::size_t kMaxPdu = 2 * FSOE_MAX_FRAME_WORDS;

    // slave_address, connection_id (not 0) and watchdog_ms are 16-bit values; input_bytes is
    // the safe data the slave sends, output_bytes what it receives (1 or an even number up to
    // 16 each); application_parameters are the parameter bytes it expects, as they travel;
    // seed makes its session ids repeatable; max_events bounds the event log.
    SlaveSimulator(std::int64_t slave_address, std::int64_t connection_id, std::int64_t input_bytes,
                   std::int64_t output_bytes, std::int64_t watchdog_ms,
                   std::span<const std::uint8_t> application_parameters = {},
                   std::optional<std::uint64_t> seed = std::nullopt,
                   std::int64_t max_events = kDefaultMaxEvents);
    SlaveSimulator(const SlaveSimulator&) = delete;
    SlaveSimulator& operator=(const SlaveSimulator&) = delete;

    // One cycle: the master's PDU in, the slave's PDU out (valid until the next call). An
    // empty request changes nothing and returns the current reply (empty before the first).
    std::span<const std::uint8_t> process(std::span<const std::uint8_t> request);
    // The same, after moving the clock to now_ms (not before time_ms()).
    std::span<const std::uint8_t> process(std::span<const std::uint8_t> request, double now_ms);
    // Moves the clock forward; the watchdog may expire.
    void advance(double ms);
    double time_ms() const noexcept { return clock_ms_; }

    // The slave resets the connection now: its reply becomes a Reset frame with `error`.
    void reset(std::int64_t error = 0);

    void inject(SimFault fault, const FaultOptions& options = {});
    void clear_faults() noexcept;
    void clear_fault(SimFault fault) noexcept;
    const FaultSet& faults() const noexcept { return faults_; }

    SimState state() const noexcept { return state_; }
    std::span<const std::uint8_t> inputs() const noexcept { return {inputs_, input_bytes_}; }
    void set_inputs(std::span<const std::uint8_t> inputs);
    // The outputs the slave applies: the data of the last PROCESS_DATA frame; all 0 before
    // one, after a FAILSAFE_DATA frame and outside the Data state.
    std::span<const std::uint8_t> outputs() const noexcept { return {outputs_, output_bytes_}; }
    bool outputs_valid() const noexcept { return outputs_valid_; }
    // The PDU the slave currently shows (what a repeated request returns).
    std::span<const std::uint8_t> reply() const noexcept { return {reply_, reply_length_}; }

    std::uint16_t slave_address() const noexcept { return slave_address_; }
    std::uint16_t connection_id() const noexcept { return connection_id_; }
    std::uint16_t watchdog_ms() const noexcept { return watchdog_ms_; }
    std::uint16_t input_bytes() const noexcept { return input_bytes_; }
    std::uint16_t output_bytes() const noexcept { return output_bytes_; }
    std::uint16_t initialization_data_bytes() const noexcept { return init_bytes_; }
    std::uint16_t request_length() const noexcept { return request_length_; }
    std::uint16_t reply_length() const noexcept { return reply_frame_length_; }
    std::span<const std::uint8_t> application_parameters() const noexcept {
        return application_parameters_;
    }

    std::uint16_t session_id() const noexcept { return session_id_; }
    std::optional<std::uint16_t> master_session_id() const noexcept { return master_session_id_; }
    std::uint16_t error_code() const noexcept { return error_code_; }
    std::optional<BaseError> last_error() const noexcept { return last_error_; }
    std::optional<std::uint16_t> master_error() const noexcept { return master_error_; }

    std::uint64_t process_calls() const noexcept { return process_calls_; }
    std::uint64_t frames_received() const noexcept { return frames_received_; }
    std::uint64_t data_frames() const noexcept { return data_frames_; }
    std::uint64_t errors_detected() const noexcept { return errors_detected_; }

    const EventLog& events() const noexcept { return events_; }
    void clear_events() noexcept { events_.clear(); }

  private:
    // Echo faults: which setup item they change, and whether they did in the current setup.
    struct EchoOverride {
        SimFault fault;
        SetupPhase phase;
        bool active = false;
        bool has_value = false;
        std::uint16_t value = 0;
        std::uint16_t index = 0;
    };

    void move_clock(double now_ms);
    void check_watchdog();
    std::span<const std::uint8_t> deliver() noexcept;
    bool is_repeat(std::span<const std::uint8_t> request) const noexcept;
    void remember(std::span<const std::uint8_t> request) noexcept;

    void handle(std::span<const std::uint8_t> request);
    void dispatch(std::uint16_t command);
    void on_master_reset();
    void on_session_frame();
    void on_connection_frame();
    void on_parameter_frame();
    void on_data_frame(std::uint16_t command);

    bool check_frame(std::uint16_t connection_id, bool plain_too);
    bool receive_setup();
    bool check_item(std::size_t item);
    void send_echo();
    std::size_t echo_item(const EchoOverride& o) const noexcept;

    void fail(SimDetail detail, std::uint32_t value = 0, std::uint32_t expected = 0,
              std::uint16_t index = 0);
    void enter(SimState state);
    void enter_reset(std::uint16_t error);
    void send_reset(bool apply_faults);
    void finish_reply(FSOECommand command, std::uint16_t connection_id, bool reset_frame,
                      bool apply_faults);
    void apply_reply_faults(std::uint16_t& command, std::uint16_t& connection_id);
    SimEvent& log(SimEventKind kind) noexcept { return events_.push(kind, clock_ms_, state_); }
    void log_fault(SimFault fault, std::uint32_t value = 0, std::uint16_t code = 0) noexcept;
    std::uint16_t draw_session_id() noexcept;

    // Configuration.
    std::uint16_t slave_address_;
    std::uint16_t connection_id_;
    std::uint16_t watchdog_ms_;
    std::uint16_t input_bytes_;
    std::uint16_t output_bytes_;
    std::uint16_t init_bytes_;
    std::uint16_t request_length_;
    std::uint16_t reply_frame_length_;
    std::vector<std::uint8_t> application_parameters_;

    // Protocol.
    SimState state_ = SimState::RESET;
    FSOEFrame rx_;  // the master's frame; its control holds the expected values while checked
    FSOEFrame tx_;  // the slave's reply
    std::uint16_t master_seq_ = 1;  // sequence number expected in the master's next frame
    std::uint16_t own_seq_ = 1;     // sequence number of the slave's next non-Reset reply
    std::uint16_t own_ref_ = 0;     // reference CRC_0 expected in the master's next frame
    std::optional<std::uint16_t> master_last_crc0_;  // CRC_0 of the master's last frame
    std::optional<std::uint16_t> own_last_crc0_;     // CRC_0 of the last reply delivered
    std::uint16_t error_code_ = 0;
    SetupTransfer transfer_;
    std::mt19937_64 random_;
    std::uint16_t session_id_ = 0;
    std::optional<std::uint16_t> master_session_id_;
    std::optional<BaseError> last_error_;
    std::optional<std::uint16_t> master_error_;

    // Process data.
    std::uint8_t inputs_[MAX_DATA_BYTES] = {};
    std::uint8_t outputs_[MAX_DATA_BYTES] = {};
    bool outputs_valid_ = false;

    // The PDUs.
    std::uint8_t reply_[kMaxPdu] = {};
    std::uint16_t reply_length_ = 0;
    std::uint16_t reply_crc0_ = 0;
    std::uint8_t delivered_[kMaxPdu] = {};
    std::uint16_t delivered_length_ = 0;
    std::uint8_t last_request_[kMaxPdu] = {};
    std::size_t last_request_length_ = 0;
    bool has_last_request_ = false;

    // Watchdog on the host-driven clock.
    double clock_ms_ = 0;
    double last_frame_ms_ = 0;
    bool watchdog_armed_ = false;

    FaultSet faults_;
    EchoOverride echo_overrides_[3] = {
        {SimFault::WRONG_ADDRESS, SetupPhase::CONNECTION},
        {SimFault::WRONG_WATCHDOG, SetupPhase::PARAMETER},
        {SimFault::WRONG_PARAMETER, SetupPhase::PARAMETER},
    };
    EventLog events_;
    std::uint64_t process_calls_ = 0;
    std::uint64_t frames_received_ = 0;
    std::uint64_t data_frames_ = 0;
    std::uint64_t errors_detected_ = 0;
};

}  // namespace velmora::sim
