// A master handler driven into the Data state through the slave simulator, then fed
// arbitrary replies interleaved with honest cycles, host operations and simulator faults.
//
// After every step: the request keeps its configured length and the command of the current
// state; the inputs hold either their fail-safe values or the data of the last reply that a
// check made here (outside the handler) calls a valid PROCESS_DATA frame; outside the Data
// state they are fail-safe. Every new reply in the Data state ends as the state's table
// says (accepted, fail-safe, a Session restart, or a Reset frame with the table's error
// code). At the end, with the faults cleared, honest cycles bring the connection back to the
// Data state. The watchdog time is a minute, so it never expires while an input runs.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "engine/master_handler.hpp"
#include "frame/frame.hpp"
#include "frame/fsoe_frame.hpp"
#include "protocol/commands.hpp"
#include "protocol/errors.hpp"
#include "sim/slave_simulator.hpp"

using namespace velmora;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kAddress = 0x0042;
constexpr std::uint16_t kConnectionId = 0x1234;
constexpr double kWatchdogS = 60.0;
constexpr std::uint16_t kSizes[] = {1, 2, 4, 6, 8, 10, 12, 14, 16};
constexpr int kRecoveryCycles = 400;
constexpr int kSessionLivelockCycles = 40;

class Input : public FuzzInput {
  public:
    using FuzzInput::FuzzInput;
    Bytes bytes(std::size_t n) {
        Bytes out(n);
        for (auto& b : out) b = byte();
        return out;
    }
};

enum class Outcome { Ignored, Accepted, FailSafe, Restart, Fail };

struct Expectation {
    Outcome outcome = Outcome::Ignored;
    BaseError code = BaseError::RESET;
};

class Rig {
  public:
    Rig(std::uint16_t in_bytes, std::uint16_t out_bytes, std::uint8_t parameter_bytes)
        : in_bytes_(in_bytes), out_bytes_(out_bytes) {
        std::vector<DictionaryItemPtr> items;
        for (std::uint16_t i = 0; i < in_bytes; ++i) {
            auto item = std::make_shared<DictionaryItemInput>(
                100 + i, "in" + std::to_string(i), DataType::UINT8, Value{std::int64_t{0xA0 + i}});
            inputs_.push_back(item);
            items.push_back(item);
        }
        for (std::uint16_t i = 0; i < out_bytes; ++i) {
            auto item = std::make_shared<DictionaryItemOutput>(200 + i, "out" + std::to_string(i),
                                                               DataType::UINT8);
            outputs_.push_back(item);
            items.push_back(item);
        }
        std::vector<ApplicationParameterPtr> params;
        Bytes block;
        if (parameter_bytes != 0) {
            const std::uint32_t value = 0x89ABCDEFu;
            params.push_back(std::make_shared<ApplicationParameter>(
                "p",
                Value{std::int64_t{value & (parameter_bytes == 4   ? 0xFFFFFFFFu
                                            : parameter_bytes == 2 ? 0xFFFFu
                                                                   : 0xFFu)}},
                parameter_bytes));
            for (std::uint8_t i = 0; i < parameter_bytes; ++i) {
                block.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
            }
        }
        handler_ = std::make_shared<MasterHandler>(std::make_shared<Dictionary>(items), kAddress,
                                                   kConnectionId, kWatchdogS, params);
        for (auto& item : outputs_) handler_->master().dictionary_map()->add(item);
        for (auto& item : inputs_) handler_->slave().dictionary_map()->add(item);
        sim_ = std::make_unique<sim::SlaveSimulator>(kAddress, kConnectionId, in_bytes, out_bytes,
                                                     static_cast<std::int64_t>(kWatchdogS * 1000),
                                                     block, 1, 64);
        handler_->start();
        request_length_ = FSOE_GetFrameSizeBytes(out_bytes);
        reply_length_ = FSOE_GetFrameSizeBytes(in_bytes);
        check_invariants();
    }

    ~Rig() { handler_->delete_(); }

    StateId state() const noexcept { return handler_->state(); }

    Bytes request() {
        std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
        const std::uint16_t length = handler_->get_request(out);
        return Bytes(out, out + length);
    }

    // The reply of the simulated slave to the current request.
    Bytes honest_reply() {
        const Bytes req = request();
        const auto reply = sim_->process(req);
        Bytes out(reply.begin(), reply.end());
        if (out.size() == reply_length_) honest_.push_back(out);
        if (honest_.size() > 8) honest_.erase(honest_.begin());
        return out;
    }

    void cycle() { feed(honest_reply()); }

    // A reply the handler must take as valid, built for what it expects next, with the given
    // command, connection id and safe data.
    Bytes forged(std::uint16_t command, std::uint16_t connection_id, const Bytes& data) {
        Bytes out;
        handler_->exclusive([&] {
            const FSOEFrame& expected = handler_->slave().frame();
            FSOEFrame frame(reply_length_);
            frame.record().sControl.u16Command = command;
            frame.control().connection_id(connection_id);
            frame.control().sequence_number(expected.control().sequence_number());
            frame.control().crc0(expected.control().crc0());
            frame.set_safe_data_bytes({data.data(), std::min<std::size_t>(data.size(), in_bytes_)});
            if (handler_->slave()._last_crc0_sent) {
                frame.generate_crcs_cyclic(*handler_->slave()._last_crc0_sent);
            } else {
                frame.generate_crcs();
            }
            std::uint8_t pdu[2 * FSOE_MAX_FRAME_WORDS];
            out.assign(pdu, pdu + frame.to_array(pdu));
        });
        return out;
    }

    const Bytes* replay(std::uint8_t pick) const {
        if (honest_.empty()) return nullptr;
        return &honest_[pick % honest_.size()];
    }

    // Hands `reply` to the handler and checks the outcome against the Data state's table.
    void feed(const Bytes& reply) {
        const StateId before = state();
        const Expectation expect = judge(reply);
        // An empty reply comes as an empty vector's span, whose pointer may be null.
        handler_->set_reply(std::span<const std::uint8_t>(reply));
        if (before == StateId::Data) check_outcome(expect, reply);
        check_invariants();
    }

    void host_operation(Input& in) {
        const std::uint8_t op = in.byte();
        switch (op % 4) {
            case 0:
                handler_->reset();
                REQUIRE(state() == StateId::Reset);
                REQUIRE(reset_code() == 0);
                break;
            case 1:
                handler_->set_fail_safe(op & 0x10);
                break;
            case 2:
                for (auto& item : outputs_) item->set(Value{std::int64_t{in.byte()}});
                break;
            default:
                (void)request();
                break;
        }
        check_invariants();
    }

    void inject(Input& in) {
        const auto fault = static_cast<sim::SimFault>(in.byte() % sim::kFaultCount);
        sim::FaultOptions options;
        options.count = 1 + in.byte() % 4;
        try {
            sim_->inject(fault, options);
        } catch (const ValueError&) {
            // A fault this connection cannot carry (no application parameter).
        }
    }

    // With the faults cleared, honest cycles bring the connection back to the Data state.
    void recover() {
        sim_->clear_faults();
        // A reply forged here may have moved the handler past the slave, which then
        // resets the connection: done only when three cycles in a row stay in Data.
        int in_data = 0;
        int in_session = 0;
        for (int i = 0; i < kRecoveryCycles && in_data < 3; ++i) {
            const Bytes before = request();
            cycle();
            // An unchanged request draws the same reply again, which the handler ignores:
            // master and slave wait on each other until the master's watchdog expires (a
            // Reset frame answered by another command, "RESET_STAY1", is the same frame).
            if (request() == before) expire();
            in_data = state() == StateId::Data ? in_data + 1 : 0;
            // Known livelock: once the handler expects the slave's sequence number one ahead
            // (a corrupted copy of a repeated reply counted as a new frame), every honest
            // Session reply fails its CRC check with "SESSION_STAY2", which re-arms the
            // watchdog, and nothing ever resets. An honest Session state takes a few cycles;
            // the host's reset ends the livelock so that the rest of the input is checked.
            in_session = state() == StateId::Session ? in_session + 1 : 0;
            if (in_session == kSessionLivelockCycles) {
                handler_->reset();
                in_session = 0;
            }
        }
        REQUIRE(in_data == 3);
    }

    // What the watchdog thread does when the watchdog time has passed.
    void expire() {
        handler_->exclusive([this] { handler_->_watchdog_expired_event(); });
        check_invariants();
    }

  private:
    // What the Data state must do with `reply`, judged from its bytes and from the sequence
    // number and reference CRC_0 that the handler expects.
    Expectation judge(const Bytes& reply) {
        if (!handler_->running() || reply == last_processed_) return {};
        last_processed_ = reply;
        FSOEFrame frame(reply_length_);
        frame.from_array_fixed(reply, reply_length_);
        bool crcs_ok = false;
        handler_->exclusive([&] {
            const FSOEFrame& expected = handler_->slave().frame();
            frame.control().sequence_number(expected.control().sequence_number());
            frame.control().crc0(expected.control().crc0());
            const auto& last = handler_->slave()._last_crc0_sent;
            crcs_ok = last ? frame.check_crcs_cyclic(*last) : frame.check_crcs();
        });
        crcs_ok = crcs_ok && reply.size() == reply_length_;
        const std::uint16_t command = frame.control().command_raw();
        if (!command_has_value(command)) return {Outcome::Fail, BaseError::UNKNOWN_CMD};
        switch (static_cast<FSOECommand>(command)) {
            case FSOECommand::RESET:
                return {Outcome::Restart};
            case FSOECommand::SESSION:
            case FSOECommand::CONNECTION:
            case FSOECommand::PARAMETER:
                return {Outcome::Fail, BaseError::INVALID_CMD};
            default:
                break;
        }
        if (frame.control().connection_id() != kConnectionId) {
            return {Outcome::Fail, BaseError::INVALID_CONNID};
        }
        if (!crcs_ok) return {Outcome::Fail, BaseError::INVALID_CRC};
        if (command == static_cast<std::uint16_t>(FSOECommand::FAILSAFE_DATA)) {
            return {Outcome::FailSafe};
        }
        accepted_candidate_.assign(in_bytes_, 0);
        std::uint8_t data[MAX_DATA_BYTES];
        frame.get_safe_data_bytes(data);
        std::copy_n(data, in_bytes_, accepted_candidate_.begin());
        return {Outcome::Accepted};
    }

    void check_outcome(const Expectation& expect, const Bytes& reply) {
        switch (expect.outcome) {
            case Outcome::Ignored:
                REQUIRE(state() == StateId::Data);
                break;
            case Outcome::Accepted:
                REQUIRE(state() == StateId::Data);
                accepted_ = accepted_candidate_;
                REQUIRE(input_values() == accepted_);
                break;
            case Outcome::FailSafe:
                REQUIRE(state() == StateId::Data);
                REQUIRE(inputs_fail_safe());
                break;
            case Outcome::Restart:
                REQUIRE(state() == StateId::Session);
                break;
            case Outcome::Fail:
                REQUIRE(state() == StateId::Reset);
                REQUIRE(reset_code() == static_cast<std::uint16_t>(expect.code));
                break;
        }
        (void)reply;
    }

    void check_invariants() {
        const Bytes req = request();
        REQUIRE(req.size() == request_length_);
        const std::uint16_t command = req[0];
        switch (state()) {
            case StateId::Reset:
                REQUIRE(command == static_cast<std::uint16_t>(FSOECommand::RESET));
                break;
            case StateId::Session:
                REQUIRE(command == static_cast<std::uint16_t>(FSOECommand::SESSION));
                break;
            case StateId::Connection:
                REQUIRE(command == static_cast<std::uint16_t>(FSOECommand::CONNECTION));
                break;
            case StateId::Parameter:
                REQUIRE(command == static_cast<std::uint16_t>(FSOECommand::PARAMETER));
                break;
            case StateId::Data:
                REQUIRE(command == static_cast<std::uint16_t>(FSOECommand::PROCESS_DATA) ||
                        command == static_cast<std::uint16_t>(FSOECommand::FAILSAFE_DATA));
                break;
        }
        // Never the data of a rejected frame: fail-safe, or the last accepted data.
        const bool fail_safe = inputs_fail_safe();
        REQUIRE(fail_safe || (state() == StateId::Data && input_values() == accepted_));
    }

    Bytes input_values() const {
        Bytes values;
        for (const auto& item : inputs_) {
            values.push_back(static_cast<std::uint8_t>(std::get<std::int64_t>(item->get())));
        }
        return values;
    }

    bool inputs_fail_safe() const {
        for (const auto& item : inputs_) {
            if (!values_equal(item->get(), item->fail_safe_value())) return false;
        }
        return true;
    }

    // The error code carried by the current request, a Reset frame (as far as one frame
    // carries it: the low byte only when a frame has one byte of safe data).
    std::uint16_t reset_code() {
        const Bytes req = request();
        REQUIRE(req[0] == static_cast<std::uint8_t>(FSOECommand::RESET));
        FSOEFrame frame(static_cast<std::int64_t>(req.size()));
        frame.from_array(req);
        std::uint8_t data[MAX_DATA_BYTES];
        frame.get_safe_data_bytes(data);
        return out_bytes_ == 1 ? data[0] : static_cast<std::uint16_t>(data[0] | (data[1] << 8));
    }

    std::uint16_t in_bytes_;
    std::uint16_t out_bytes_;
    std::uint16_t request_length_ = 0;
    std::uint16_t reply_length_ = 0;
    std::vector<std::shared_ptr<DictionaryItemInput>> inputs_;
    std::vector<std::shared_ptr<DictionaryItemOutput>> outputs_;
    std::shared_ptr<MasterHandler> handler_;
    std::unique_ptr<sim::SlaveSimulator> sim_;
    std::vector<Bytes> honest_;
    Bytes last_processed_;
    Bytes accepted_;
    Bytes accepted_candidate_;
};

constexpr std::uint16_t kCommands[] = {
    static_cast<std::uint16_t>(FSOECommand::PROCESS_DATA),
    static_cast<std::uint16_t>(FSOECommand::FAILSAFE_DATA),
    static_cast<std::uint16_t>(FSOECommand::RESET),
    static_cast<std::uint16_t>(FSOECommand::SESSION),
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t config = in.byte();
    const std::uint16_t in_bytes = kSizes[(config & 0x0F) % std::size(kSizes)];
    const std::uint16_t out_bytes = kSizes[in.byte() % std::size(kSizes)];
    static constexpr std::uint8_t kParameterBytes[] = {0, 1, 2, 4};
    Rig rig(in_bytes, out_bytes, kParameterBytes[config >> 6]);
    for (int i = 0; i < kRecoveryCycles && rig.state() != StateId::Data; ++i) rig.cycle();
    REQUIRE(rig.state() == StateId::Data);
    if (config & 0x10) rig.host_operation(in);  // a host operation first, at times

    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        switch (op & 7) {
            case 0:
            case 1:
                rig.cycle();
                break;
            case 2:  // arbitrary bytes, of any length up to a little more than a frame
                rig.feed(in.bytes(in.byte() % 41));
                break;
            case 3: {  // an honest reply with a few bytes changed
                Bytes reply = rig.honest_reply();
                const int changes = 1 + (op >> 3) % 4;
                for (int c = 0; c < changes && !reply.empty(); ++c) {
                    const std::uint8_t at = in.byte();
                    reply[at % reply.size()] ^= static_cast<std::uint8_t>(in.byte() | 1);
                }
                rig.feed(reply);
                break;
            }
            case 4:  // an earlier honest reply again
                if (const Bytes* old = rig.replay(in.byte())) rig.feed(Bytes(*old));
                break;
            case 5:
                rig.host_operation(in);
                break;
            case 6:
                rig.inject(in);
                rig.cycle();
                break;
            default: {  // correctly protected, with chosen command, connection id and data
                const std::uint16_t command = (op & 0x08) ? in.byte() : kCommands[(op >> 4) & 3];
                const std::uint16_t id = (op & 0x40) ? in.byte() : kConnectionId;
                rig.feed(rig.forged(command, id, in.bytes(MAX_DATA_BYTES)));
                break;
            }
        }
    }
    rig.recover();
    return 0;
}
