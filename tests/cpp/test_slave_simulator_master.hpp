#pragma once
// A small FSoE master for the simulator's tests, written straight from the master's
// protocol with frame objects and dynamic maps: Reset, Session, Connection, Parameter and
// Data, with the transition names of each state. The reset paths expect sequence number 1
// in the slave's first Session reply. No watchdog: the tests drive time themselves.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "frame/frame.hpp"
#include "mapping/dynamic_map.hpp"
#include "protocol/commands.hpp"

namespace velmora::testing {

struct MasterSetup {
    std::uint16_t slave_address = 0x0102;
    std::uint16_t connection_id = 0x0304;
    std::uint16_t watchdog_ms = 100;
    std::uint16_t input_bytes = 2;                     // safe data the slave sends
    std::uint16_t output_bytes = 2;                    // safe data the master sends
    std::vector<std::uint8_t> application_parameters;  // one UINT8 item per byte
    std::uint16_t comm_parameter_length = 2;
};

class ScriptedMaster {
  public:
    enum class State { Reset, Session, Connection, Parameter, Data };

    explicit ScriptedMaster(MasterSetup setup, std::uint64_t seed = 7)
        : setup_(std::move(setup)),
          master_frame_(FSOE_GetFrameSizeBytes(setup_.output_bytes)),
          slave_frame_(FSOE_GetFrameSizeBytes(setup_.input_bytes)),
          init_bytes_(std::min(setup_.input_bytes, setup_.output_bytes)),
          random_(seed),
          outputs_(setup_.output_bytes, 0),
          inputs_(setup_.input_bytes, 0) {
        for (auto* side : {&master_, &slave_}) {
            for (auto* item : {&side->address, &side->session_id, &side->error, &side->conn_id,
                               &side->comm_len, &side->watchdog, &side->app_len}) {
                *item =
                    std::make_shared<DynamicMappableItem>(Value{std::int64_t{0}}, DataType::UINT16);
            }
        }
        master_.address->set_raw_value(setup_.slave_address);
        master_.conn_id->set_raw_value(setup_.connection_id);
        master_.watchdog->set_raw_value(setup_.watchdog_ms);
        for (std::uint8_t byte : setup_.application_parameters) {
            master_params_.push_back(
                std::make_shared<DynamicMappableItem>(Value{std::int64_t{byte}}, DataType::UINT8));
            slave_params_.push_back(
                std::make_shared<DynamicMappableItem>(Value{std::int64_t{0}}, DataType::UINT8));
        }
    }

    // Called after the piece of setup data (or the outputs) is in the frame, before its CRCs.
    std::function<void(FSOEFrame&, State)> tamper;
    bool fail_safe = true;

    void start() {
        reset_start();
        build_request();
    }
    void reset() {
        log("RESET");
        reset_handler(BaseError::RESET);
        build_request();
    }

    const std::vector<std::uint8_t>& request() const { return request_; }
    State state() const { return state_; }
    const std::vector<std::string>& transitions() const { return transitions_; }
    std::string last_transition() const { return transitions_.empty() ? "" : transitions_.back(); }
    std::uint16_t slave_error() const {
        return static_cast<std::uint16_t>(slave_.error->_raw_value());
    }
    std::uint16_t master_session_id() const {
        return static_cast<std::uint16_t>(master_.session_id->_raw_value());
    }
    std::vector<std::uint8_t>& outputs() { return outputs_; }
    const std::vector<std::uint8_t>& inputs() const { return inputs_; }
    FSOEFrame& master_frame() { return master_frame_; }
    FSOEFrame& slave_frame() { return slave_frame_; }
    std::optional<std::uint16_t> master_last_crc0() const { return master_last_; }
    std::optional<std::uint16_t> slave_last_crc0() const { return slave_last_; }
    std::uint16_t data_command() const {
        return static_cast<std::uint16_t>(fail_safe ? FSOECommand::FAILSAFE_DATA
                                                    : FSOECommand::PROCESS_DATA);
    }

    void set_reply(std::span<const std::uint8_t> data) {
        if (data.size() == last_reply_.size() &&
            std::equal(data.begin(), data.end(), last_reply_.begin())) {
            return;
        }
        last_reply_.assign(data.begin(), data.end());
        slave_frame_.from_array(data);
        if (state_ != State::Reset) master_frame_.control().crc0(slave_frame_.crcs()[0]);
        if (command() == static_cast<std::uint16_t>(FSOECommand::RESET)) {
            slave_map_.clear();
            slave_map_.add(slave_.error);
        }
        slave_map_.get_data_from_frame(slave_frame_, init_bytes_);
        const State handled = state_;
        process_reply();
        if (handled != State::Reset) slave_frame_.control().increment_sequence_number();
        slave_last_ = slave_frame_.crcs()[0];
        build_request();
    }

  private:
    struct Side {
        DynamicMappableItemPtr address, session_id, error, conn_id, comm_len, watchdog, app_len;
    };

    std::uint16_t command() const { return slave_frame_.control().command_raw(); }
    bool is(FSOECommand c) const { return command() == static_cast<std::uint16_t>(c); }
    void log(const std::string& name) { transitions_.push_back(name); }
    bool crcs_ok() {
        return slave_last_ ? slave_frame_.check_crcs_cyclic(*slave_last_)
                           : slave_frame_.check_crcs();
    }
    bool pending() const { return master_map_.pending() || slave_map_.pending(); }
    bool connection_id_ok() const {
        return slave_frame_.control().connection_id() == setup_.connection_id;
    }

    void map_reset_frame() {
        master_frame_.control().set_command(FSOECommand::RESET);
        master_map_.clear();
        slave_map_.clear();
        master_map_.add(master_.error);
    }
    void clear_chain() {
        master_frame_.control().crc0(0);
        slave_frame_.control().crc0(0);
        master_frame_.control().sequence_number(1);
        slave_frame_.control().sequence_number(1);
    }
    void reset_start() {
        log("RESET_START");
        clear_chain();
        fail_safe = true;
        master_.error->set_raw_value(0);
        map_reset_frame();
        cyclic_ = false;
        state_ = State::Reset;
    }
    void reset_handler(BaseError code) {
        clear_chain();
        fail_safe = true;
        std::fill(inputs_.begin(), inputs_.end(), 0);
        master_.error->set_raw_value(static_cast<std::uint16_t>(code));
        map_reset_frame();
        master_last_.reset();
        cyclic_ = false;
        reset_slave_seq_ = true;
        state_ = State::Reset;
    }
    void fail(const std::string& name, BaseError code) {
        log(name);
        reset_handler(code);
    }
    void map_session_frame() {
        master_.session_id->set_raw_value(static_cast<std::uint16_t>(random_() >> 48));
        second_session_frame_ = false;
        master_frame_.control().set_command(FSOECommand::SESSION);
        master_map_.clear();
        slave_map_.clear();
        master_map_.add(master_.session_id);
    }
    void reset_session(const std::string& name) {
        log(name);
        clear_chain();
        fail_safe = true;
        std::fill(inputs_.begin(), inputs_.end(), 0);
        map_session_frame();
        reset_slave_seq_ = true;
        state_ = State::Session;
    }

    void process_reply() {
        const bool valid = command_has_value(command());
        switch (state_) {
            case State::Reset:
                if (is(FSOECommand::RESET)) {
                    log("RESET_OK");
                    map_session_frame();
                    cyclic_ = false;
                    state_ = State::Session;
                } else {
                    log("RESET_STAY1");
                    clear_chain();
                    master_.error->set_raw_value(0);
                    map_reset_frame();
                    cyclic_ = false;
                }
                return;
            case State::Session:
                if (!valid) return fail("SESSION_FAIL4", BaseError::UNKNOWN_CMD);
                if (is(FSOECommand::SESSION)) {
                    const bool ok = crcs_ok();
                    if (ok && !pending()) return session_ok();
                    if (ok) {
                        second_session_frame_ = true;
                        return log("SESSION_STAY1");
                    }
                    if (second_session_frame_) return fail("SESSION_FAIL1", BaseError::INVALID_CRC);
                    return log("SESSION_STAY2");
                }
                if (is(FSOECommand::RESET)) return reset_session("SESSION_RESET1");
                return fail("SESSION_FAIL3", BaseError::INVALID_CMD);
            case State::Connection:
                return setup_state("CONN", FSOECommand::CONNECTION, "CONNECTION_STAY1");
            case State::Parameter:
                return setup_state("PARA", FSOECommand::PARAMETER, "PARA_STAY1");
            case State::Data:
                if (!valid) return fail("DATA_FAIL4", BaseError::UNKNOWN_CMD);
                if (is(FSOECommand::SESSION) || is(FSOECommand::CONNECTION) ||
                    is(FSOECommand::PARAMETER)) {
                    return fail("DATA_FAIL3", BaseError::INVALID_CMD);
                }
                if (is(FSOECommand::RESET)) return reset_session("DATA_RESET1");
                if (!connection_id_ok()) return fail("DATA_FAIL2", BaseError::INVALID_CONNID);
                if (!crcs_ok()) return fail("DATA_FAIL1", BaseError::INVALID_CRC);
                if (is(FSOECommand::PROCESS_DATA)) {
                    std::uint8_t data[MAX_DATA_BYTES];
                    slave_frame_.get_safe_data_bytes(data);
                    inputs_.assign(data, data + setup_.input_bytes);
                    return log("DATA_OK1");
                }
                std::fill(inputs_.begin(), inputs_.end(), 0);
                return log("DATA_OK2");
        }
    }

    void setup_state(const std::string& prefix, FSOECommand own, const std::string& stay) {
        if (!command_has_value(command())) return fail(prefix + "_FAIL5", BaseError::UNKNOWN_CMD);
        if (is(own)) {
            if (!connection_id_ok()) return fail(prefix + "_FAIL3", BaseError::INVALID_CONNID);
            if (!slave_map_.is_safedata_correct(master_map_)) {
                return fail(prefix + "_FAIL2", BaseError::INVALID_DATA);
            }
            if (!crcs_ok()) return fail(prefix + "_FAIL1", BaseError::INVALID_CRC);
            if (pending()) return log(stay);
            log(prefix + "_OK");
            cyclic_ = true;
            if (own == FSOECommand::CONNECTION) {
                map_parameter_frame();
                state_ = State::Parameter;
            } else {
                state_ = State::Data;
            }
            return;
        }
        if (is(FSOECommand::RESET)) return reset_session(prefix + "_RESET1");
        fail(prefix + "_FAIL4", BaseError::INVALID_CMD);
    }

    void session_ok() {
        log("SESSION_OK");
        master_frame_.control().set_command(FSOECommand::CONNECTION);
        master_map_.clear();
        slave_map_.clear();
        master_map_.add(master_.conn_id);
        master_map_.add(master_.address);
        slave_map_.add(slave_.conn_id);
        slave_map_.add(slave_.address);
        cyclic_ = true;
        state_ = State::Connection;
    }

    void map_parameter_frame() {
        master_frame_.control().set_command(FSOECommand::PARAMETER);
        master_.comm_len->set_raw_value(setup_.comm_parameter_length);
        master_.app_len->set_raw_value(static_cast<std::uint32_t>(master_params_.size()));
        for (const auto& item : {slave_.comm_len, slave_.watchdog, slave_.app_len}) {
            item->set_raw_value(0);
        }
        for (const auto& item : slave_params_) item->set_raw_value(0);
        map_block(master_map_, master_, master_params_);
        map_block(slave_map_, slave_, slave_params_);
    }

    static void map_block(FSOEDynamicMap& map, const Side& side,
                          const std::vector<DynamicMappableItemPtr>& params) {
        map.clear();
        map.add(side.comm_len);
        map.add(side.watchdog);
        map.add(side.app_len);
        for (const auto& item : params) map.add(item);
    }

    void build_request() {
        if (state_ == State::Data) {
            master_frame_.record().sControl.u16Command = data_command();
            master_frame_.set_safe_data_bytes(outputs_);
        } else {
            master_map_.set_data_to_frame(master_frame_, init_bytes_);
        }
        const bool no_connection = state_ == State::Reset || state_ == State::Session;
        master_frame_.control().connection_id(no_connection ? 0 : setup_.connection_id);
        if (tamper) tamper(master_frame_, state_);
        if (cyclic_) {
            master_frame_.generate_crcs_cyclic(*master_last_);
        } else {
            master_frame_.generate_crcs();
        }
        master_last_ = master_frame_.crcs()[0];
        if (reset_slave_seq_) {
            slave_frame_.control().sequence_number(1);
            reset_slave_seq_ = false;
        }
        if (state_ != State::Reset) {
            slave_frame_.control().crc0(master_frame_.crcs()[0]);
            master_frame_.control().increment_sequence_number();
        }
        std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
        request_.assign(out, out + master_frame_.to_array(out));
    }

    MasterSetup setup_;
    FSOEFrame master_frame_;
    FSOEFrame slave_frame_;
    std::uint16_t init_bytes_;
    std::mt19937_64 random_;
    Side master_{}, slave_{};
    std::vector<DynamicMappableItemPtr> master_params_, slave_params_;
    FSOEDynamicMap master_map_, slave_map_;
    State state_ = State::Reset;
    bool cyclic_ = false;
    bool reset_slave_seq_ = false;
    bool second_session_frame_ = false;
    std::optional<std::uint16_t> master_last_, slave_last_;
    std::vector<std::uint8_t> request_, last_reply_;
    std::vector<std::uint8_t> outputs_, inputs_;
    std::vector<std::string> transitions_;
};

}  // namespace velmora::testing
