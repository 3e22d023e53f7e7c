#include "sim/slave_simulator.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "protocol/errors.hpp"
#include "protocol/helpers.hpp"
#include "sim/sim_crc.hpp"

namespace velmora::sim {

namespace {

// The communication parameters are the 2-byte watchdog time.
constexpr std::uint32_t kCommParameterBytes = 2;
constexpr std::int64_t kMaxEventsLimit = 1'000'000;

std::uint16_t data_size(std::int64_t bytes, const char* what) {
    if (bytes == 1 || (bytes >= 2 && bytes <= MAX_DATA_BYTES && bytes % 2 == 0)) {
        return static_cast<std::uint16_t>(bytes);
    }
    throw ValueError(std::string(what) + " must be 1 or an even number from 2 to 16");
}

std::uint16_t nonzero_connection_id(std::int64_t id) {
    const std::uint16_t value = to_u16(id);
    if (value == 0) throw ValueError("Connection ID = 0 is not permitted");
    return value;
}

std::vector<std::uint8_t> parameter_bytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > 0xFFFF) {
        throw ValueError("application_parameters must not be longer than 65535 bytes");
    }
    return {bytes.begin(), bytes.end()};
}

std::size_t event_capacity(std::int64_t max_events) {
    if (max_events < 0 || max_events > kMaxEventsLimit) {
        throw ValueError("max_events must be from 0 to " + std::to_string(kMaxEventsLimit));
    }
    return static_cast<std::size_t>(max_events);
}

std::uint64_t initial_seed(std::optional<std::uint64_t> seed) {
    if (seed) return *seed;
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

std::uint32_t clamp_u32(double value) noexcept {
    constexpr double kMax = std::numeric_limits<std::uint32_t>::max();
    return value >= kMax ? std::numeric_limits<std::uint32_t>::max()
                         : static_cast<std::uint32_t>(value);
}

bool is_data_command(FSOECommand command) noexcept {
    return command == FSOECommand::PROCESS_DATA || command == FSOECommand::FAILSAFE_DATA;
}
}  // namespace

SlaveSimulator::SlaveSimulator(std::int64_t slave_address, std::int64_t connection_id,
                               std::int64_t input_bytes, std::int64_t output_bytes,
                               std::int64_t watchdog_ms,
                               std::span<const std::uint8_t> application_parameters,
                               std::optional<std::uint64_t> seed, std::int64_t max_events)
    : slave_address_(to_u16(slave_address)),
      connection_id_(nonzero_connection_id(connection_id)),
      watchdog_ms_(to_u16(watchdog_ms)),
      input_bytes_(data_size(input_bytes, "input_bytes")),
      output_bytes_(data_size(output_bytes, "output_bytes")),
      init_bytes_(std::min(input_bytes_, output_bytes_)),
      request_length_(FSOE_GetFrameSizeBytes(output_bytes_)),
      reply_frame_length_(FSOE_GetFrameSizeBytes(input_bytes_)),
      application_parameters_(parameter_bytes(application_parameters)),
      rx_(request_length_),
      tx_(reply_frame_length_),
      transfer_(application_parameters_.size()),
      random_(initial_seed(seed)),
      events_(event_capacity(max_events)) {}

// --- The cycle ---

std::span<const std::uint8_t> SlaveSimulator::process(std::span<const std::uint8_t> request) {
    ++process_calls_;
    if (faults_.armed(SimFault::SILENT)) {
        faults_.use(SimFault::SILENT);
        log(SimEventKind::IGNORED).detail = SimDetail::SILENT;
        return {delivered_, delivered_length_};
    }
    if (request.empty()) {
        log(SimEventKind::IGNORED).detail = SimDetail::EMPTY;
        return deliver();
    }
    if (is_repeat(request)) {
        log(SimEventKind::REPEAT);
        return deliver();
    }
    remember(request);
    ++frames_received_;
    handle(request);
    return deliver();
}

std::span<const std::uint8_t> SlaveSimulator::process(std::span<const std::uint8_t> request,
                                                      double now_ms) {
    move_clock(now_ms);
    return process(request);
}

void SlaveSimulator::advance(double ms) {
    if (!std::isfinite(ms) || ms < 0) {
        throw ValueError("ms must be a finite number of milliseconds, not below 0");
    }
    clock_ms_ += ms;
    check_watchdog();
}

void SlaveSimulator::move_clock(double now_ms) {
    if (!std::isfinite(now_ms)) throw ValueError("now must be a finite number of milliseconds");
    if (now_ms < clock_ms_) {
        throw ValueError("now must not be earlier than the simulator's clock (" +
                         std::to_string(clock_ms_) + " ms)");
    }
    clock_ms_ = now_ms;
    check_watchdog();
}

void SlaveSimulator::check_watchdog() {
    if (!watchdog_armed_ || watchdog_ms_ == 0) return;
    const double elapsed = clock_ms_ - last_frame_ms_;
    if (elapsed <= watchdog_ms_) return;
    SimEvent& event = log(SimEventKind::WATCHDOG);
    event.code = static_cast<std::uint16_t>(BaseError::WD_EXPIRED);
    event.value = clamp_u32(elapsed);
    event.expected = watchdog_ms_;
    last_error_ = BaseError::WD_EXPIRED;
    ++errors_detected_;
    enter_reset(static_cast<std::uint16_t>(BaseError::WD_EXPIRED));
    send_reset(false);
}

std::span<const std::uint8_t> SlaveSimulator::deliver() noexcept {
    std::memcpy(delivered_, reply_, reply_length_);
    delivered_length_ = reply_length_;
    // The master chains its CRC_0 check on the last reply it actually received.
    if (reply_length_ > 0) own_last_crc0_ = reply_crc0_;
    return {delivered_, delivered_length_};
}

bool SlaveSimulator::is_repeat(std::span<const std::uint8_t> request) const noexcept {
    return has_last_request_ && request.size() == last_request_length_ &&
           std::equal(request.begin(), request.end(), last_request_);
}

void SlaveSimulator::remember(std::span<const std::uint8_t> request) noexcept {
    // A PDU longer than any frame is never taken for a repetition.
    has_last_request_ = request.size() <= kMaxPdu;
    if (!has_last_request_) return;
    std::copy(request.begin(), request.end(), last_request_);
    last_request_length_ = request.size();
}

void SlaveSimulator::handle(std::span<const std::uint8_t> request) {
    SimEvent& frame_event = log(SimEventKind::FRAME);
    frame_event.command = request[0];
    const std::uint64_t number = frame_event.number;

    if (request.size() != request_length_) {
        fail(SimDetail::LENGTH, clamp_u32(static_cast<double>(request.size())), request_length_);
    } else {
        rx_.from_array_fixed(request, request_length_);
        if (faults_.armed(SimFault::RESET)) {
            const ArmedFault fault = faults_.get(SimFault::RESET);
            faults_.use(SimFault::RESET);
            log_fault(SimFault::RESET, 0, fault.value);
            enter_reset(fault.value);
            send_reset(true);
        } else {
            dispatch(rx_.control().command_raw());
        }
        master_last_crc0_ = rx_.crcs()[0];
    }

    if (SimEvent* event = events_.find(number)) {
        event->reply = reply_length_ > 0 ? reply_[0] : kNoCommand;
        event->state = state_;
    }
}

void SlaveSimulator::dispatch(std::uint16_t command) {
    if (!command_has_value(command)) return fail(SimDetail::UNKNOWN_COMMAND, command);
    const auto cmd = static_cast<FSOECommand>(command);
    if (cmd == FSOECommand::RESET) return on_master_reset();
    const bool setup_done = transfer_.received_all();
    switch (state_) {
        case SimState::RESET:
            if (cmd == FSOECommand::SESSION) return on_session_frame();
            // Already reset: the slave keeps showing its Reset frame and the error that
            // caused it until the master starts a new session.
            if (reply_length_ == 0) send_reset(true);
            return;
        case SimState::SESSION:
            // Session frames go on being answered after the session ids are exchanged: a
            // master repeats one when a reply failed its CRC check.
            if (cmd == FSOECommand::SESSION) return on_session_frame();
            if (cmd == FSOECommand::CONNECTION && setup_done) return on_connection_frame();
            break;
        case SimState::CONNECTION:
            if (cmd == FSOECommand::CONNECTION && !setup_done) return on_connection_frame();
            if (cmd == FSOECommand::PARAMETER && setup_done) return on_parameter_frame();
            break;
        case SimState::PARAMETER:
            if (cmd == FSOECommand::PARAMETER && !setup_done) return on_parameter_frame();
            if (is_data_command(cmd) && setup_done) return on_data_frame(command);
            break;
        case SimState::DATA:
            if (is_data_command(cmd)) return on_data_frame(command);
            break;
    }
    fail(SimDetail::UNEXPECTED_COMMAND, command);
}

// --- The states ---

void SlaveSimulator::on_master_reset() {
    // A Reset frame is taken without checks; its safe data carries the master's error code.
    transfer_.begin(SetupPhase::RESET);
    transfer_.receive(rx_, init_bytes_);
    const auto code = static_cast<std::uint16_t>(transfer_.received(0));
    master_error_ = code;
    log(SimEventKind::MASTER_RESET).code = code;
    enter_reset(static_cast<std::uint16_t>(BaseError::RESET));
    send_reset(true);
}

void SlaveSimulator::on_session_frame() {
    // The master generates Session frames plainly after its own reset and cyclically after
    // a reset by the slave, so both are accepted.
    if (!check_frame(0, true)) return;
    if (state_ == SimState::RESET) {
        enter(SimState::SESSION);
        session_id_ = draw_session_id();
        master_session_id_.reset();
        transfer_.begin(SetupPhase::SESSION, session_id_);
    }
    if (!receive_setup()) return;
    if (transfer_.received_all()) {
        master_session_id_ = static_cast<std::uint16_t>(transfer_.received(0));
    }
    transfer_.send(tx_, init_bytes_);
    finish_reply(FSOECommand::SESSION, 0, false, true);
}

void SlaveSimulator::on_connection_frame() {
    if (!check_frame(connection_id_, false)) return;
    if (state_ != SimState::CONNECTION) {
        enter(SimState::CONNECTION);
        transfer_.begin(SetupPhase::CONNECTION);
        for (EchoOverride& o : echo_overrides_) o.active = false;
    }
    if (!receive_setup()) return;
    send_echo();
    finish_reply(FSOECommand::CONNECTION, connection_id_, false, true);
}

void SlaveSimulator::on_parameter_frame() {
    if (!check_frame(connection_id_, false)) return;
    if (state_ != SimState::PARAMETER) {
        enter(SimState::PARAMETER);
        transfer_.begin(SetupPhase::PARAMETER);
        for (EchoOverride& o : echo_overrides_) o.active = false;
    }
    if (!receive_setup()) return;
    send_echo();
    finish_reply(FSOECommand::PARAMETER, connection_id_, false, true);
}

void SlaveSimulator::on_data_frame(std::uint16_t command) {
    if (!check_frame(connection_id_, false)) return;
    enter(SimState::DATA);
    if (command == static_cast<std::uint16_t>(FSOECommand::PROCESS_DATA)) {
        std::uint8_t data[MAX_DATA_BYTES];
        rx_.get_safe_data_bytes(data);
        std::memcpy(outputs_, data, output_bytes_);
        outputs_valid_ = true;
    } else {
        // Fail-safe data: the slave must not act on the outputs it carries, which a master
        // sends as zeros; anything else is worth a note in the log.
        std::uint8_t data[MAX_DATA_BYTES];
        rx_.get_safe_data_bytes(data);
        for (std::uint16_t i = 0; i < rx_.safe_data_size_bytes(); ++i) {
            if (data[i] == 0) continue;
            SimEvent& event = log(SimEventKind::FAILSAFE_NOT_ZERO);
            event.index = i;
            event.value = data[i];
            break;
        }
        std::memset(outputs_, 0, sizeof outputs_);
        outputs_valid_ = false;
    }
    ++data_frames_;
    tx_.set_safe_data_bytes({inputs_, input_bytes_});
    finish_reply(FSOECommand::PROCESS_DATA, connection_id_, false, true);
}

// --- Checks ---

bool SlaveSimulator::check_frame(std::uint16_t connection_id, bool plain_too) {
    const std::uint16_t received = rx_.control().connection_id();
    if (received != connection_id) {
        fail(SimDetail::CONNECTION_ID_FIELD, received, connection_id);
        return false;
    }
    // The sequence number and the reference CRC_0 never travel: they enter the CRCs.
    rx_.control().sequence_number(master_seq_);
    rx_.control().crc0(own_ref_);
    if (!check_crcs(rx_, master_last_crc0_, plain_too)) {
        fail(SimDetail::CRC, 0, master_seq_);
        return false;
    }
    rx_.control().increment_sequence_number();
    master_seq_ = rx_.control().sequence_number();
    last_frame_ms_ = clock_ms_;
    watchdog_armed_ = true;
    return true;
}

bool SlaveSimulator::receive_setup() {
    const SetupTransfer::Piece piece = transfer_.receive(rx_, init_bytes_);
    for (std::size_t item = piece.first_item; item < piece.end_item; ++item) {
        if (!check_item(item)) return false;
    }
    // The master pads each piece with zeros up to its frame size.
    std::uint8_t data[MAX_DATA_BYTES];
    rx_.get_safe_data_bytes(data);
    for (std::size_t i = piece.end_byte - piece.first_byte; i < output_bytes_; ++i) {
        if (data[i] != 0) {
            fail(SimDetail::PADDING, data[i], 0, static_cast<std::uint16_t>(i));
            return false;
        }
    }
    return true;
}

bool SlaveSimulator::check_item(std::size_t item) {
    const std::uint32_t got = transfer_.received(item);
    SimDetail detail = SimDetail::NONE;
    std::uint32_t expected = 0;
    std::uint16_t index = 0;
    if (transfer_.phase() == SetupPhase::CONNECTION) {
        detail = item == 0 ? SimDetail::CONNECTION_ID_DATA : SimDetail::ADDRESS;
        expected = item == 0 ? connection_id_ : slave_address_;
    } else if (transfer_.phase() == SetupPhase::PARAMETER) {
        switch (item) {
            case 0:
                detail = SimDetail::COMM_PARA_LENGTH;
                expected = kCommParameterBytes;
                break;
            case 1:
                detail = SimDetail::WATCHDOG_TIME;
                expected = watchdog_ms_;
                break;
            case 2:
                detail = SimDetail::USER_PARA_LENGTH;
                expected = static_cast<std::uint32_t>(application_parameters_.size());
                break;
            default:
                detail = SimDetail::USER_PARA;
                index = static_cast<std::uint16_t>(item - kParameterHeaderItems);
                expected = application_parameters_[index];
                break;
        }
    }
    if (detail == SimDetail::NONE || got == expected) return true;
    fail(detail, got, expected, index);
    return false;
}
// --- Transitions ---

void SlaveSimulator::fail(SimDetail detail, std::uint32_t value, std::uint32_t expected,
                          std::uint16_t index) {
    const std::uint16_t code = detail_error_code(detail);
    SimEvent& event = log(SimEventKind::ERROR);
    event.detail = detail;
    event.code = code;
    event.value = value;
    event.expected = expected;
    event.index = index;
    last_error_ = static_cast<BaseError>(code);
    ++errors_detected_;
    enter_reset(code);
    send_reset(true);
}

void SlaveSimulator::enter(SimState state) {
    if (state == state_) return;
    SimEvent& event = log(SimEventKind::STATE);
    event.from = state_;
    event.state = state;
    state_ = state;
}

void SlaveSimulator::enter_reset(std::uint16_t error) {
    enter(SimState::RESET);
    error_code_ = error;
    master_seq_ = 1;
    own_seq_ = 1;
    own_ref_ = 0;
    std::memset(outputs_, 0, sizeof outputs_);
    outputs_valid_ = false;
    watchdog_armed_ = false;
    for (EchoOverride& o : echo_overrides_) o.active = false;
}
std::uint16_t SlaveSimulator::draw_session_id() noexcept {
    // The top bits of the 64-bit engine: the same on every platform for the same seed.
    return static_cast<std::uint16_t>(random_() >> 48);
}
}  // namespace velmora::sim
