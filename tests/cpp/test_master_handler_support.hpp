#pragma once
// A handler over a small dictionary, a scripted slave that answers its requests as an FSoE
// slave does, and recorders for the host callbacks.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/master_handler.hpp"
#include "frame/frame.hpp"
#include "frame/fsoe_frame.hpp"
#include "protocol/errors.hpp"
#include "protocol/trace.hpp"

namespace velmora::testing {

using Bytes = std::vector<std::uint8_t>;

struct ErrorRecord {
    std::string transition;
    std::string message;
};

class RecordingErrors final : public ErrorCallback {
  public:
    void operator()(std::optional<std::string_view> name,
                    std::optional<std::string_view> message) override {
        {
            std::lock_guard lock(mutex);
            records.push_back(
                {std::string(name.value_or("<none>")), std::string(message.value_or("<none>"))});
        }
        if (on_call) on_call();
        if (throw_next) {
            throw_next = false;
            throw RuntimeError("error callback failed");
        }
    }
    // Read while a watchdog thread may report.
    std::size_t count() {
        std::lock_guard lock(mutex);
        return records.size();
    }
    std::vector<ErrorRecord> records;
    bool throw_next = false;
    std::function<void()> on_call;
    std::mutex mutex;
};

class RecordingStates final : public StateChangeCallback {
  public:
    void operator()(StateId next) override {
        states.push_back(next);
        if (throw_next) {
            throw_next = false;
            throw RuntimeError("state callback failed");
        }
    }
    std::vector<StateId> states;
    bool throw_next = false;
};

// A decoded request of the master.
struct Request {
    std::uint16_t command;
    std::uint16_t connection_id;
    Bytes safe_data;  // the frame's safe data bytes
    std::uint16_t crc0;
};

inline Request decode(std::span<const std::uint8_t> pdu) {
    FSOEFrame frame(static_cast<std::int64_t>(pdu.size()));
    frame.from_array(pdu);
    std::uint8_t data[MAX_DATA_BYTES];
    frame.get_safe_data_bytes(data);
    return {frame.control().command_raw(), frame.control().connection_id(),
            Bytes(data, data + frame.safe_data_size_bytes()), frame.crcs()[0]};
}

// The slave's side: replies chained on the request they answer, with the slave's own
// sequence numbers, which restart at 1 after every reset.
class ScriptedSlave {
  public:
    explicit ScriptedSlave(std::uint16_t data_bytes) : data_bytes_(data_bytes) {}

    // A reply to `request` with `command` (any byte), the given safe data (zero padded) and
    // connection id; `corrupt` breaks its CRCs.
    Bytes reply(std::span<const std::uint8_t> request, std::uint16_t command, Bytes safe = {},
                std::uint16_t connection_id = 0, bool corrupt = false) {
        const Request req = decode(request);
        const bool reset = req.command == static_cast<std::uint16_t>(FSOECommand::RESET) ||
                           command == static_cast<std::uint16_t>(FSOECommand::RESET);
        FSOEFrame frame(FSOE_GetFrameSizeBytes(data_bytes_));
        frame.record().sControl.u16Command = command;
        frame.control().connection_id(connection_id);
        frame.control().crc0(req.crc0);
        frame.control().sequence_number(reset ? 1 : next_sequence_);
        safe.resize(data_bytes_);
        frame.set_safe_data_bytes(safe);
        if (last_crc0_ && !reset) {
            frame.generate_crcs_cyclic(*last_crc0_);
        } else {
            frame.generate_crcs();
        }
        last_crc0_ = frame.crcs()[0];
        next_sequence_ =
            reset ? 1 : static_cast<std::uint16_t>(frame.control().sequence_number() + 1);
        if (corrupt) frame.crcs()[0] = static_cast<std::uint16_t>(frame.crcs()[0] ^ 0xFFFF);
        std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
        const std::uint16_t length = frame.to_array(out);
        return Bytes(out, out + length);
    }

    Bytes reply(std::span<const std::uint8_t> request, FSOECommand command, Bytes safe = {},
                std::uint16_t connection_id = 0, bool corrupt = false) {
        return reply(request, static_cast<std::uint16_t>(command), std::move(safe), connection_id,
                     corrupt);
    }

    // The echo of a setup request: its safe data and connection id back.
    Bytes echo(std::span<const std::uint8_t> request, bool corrupt = false) {
        const Request req = decode(request);
        return reply(request, req.command, req.safe_data, req.connection_id, corrupt);
    }

    std::uint16_t data_bytes() const { return data_bytes_; }

  private:
    std::uint16_t data_bytes_;
    std::uint16_t next_sequence_ = 1;
    std::optional<std::uint16_t> last_crc0_;
};

inline constexpr std::uint16_t kConnectionId = 0x1234;
inline constexpr std::uint16_t kSlaveAddress = 0x0042;

// A started handler with `out_bytes` one-byte outputs and `in_bytes` one-byte inputs
// (fail-safe value 0xA0 + i), a long watchdog, and recorded callbacks.
class HandlerRig {
  public:
    explicit HandlerRig(std::uint16_t out_bytes = 2, std::uint16_t in_bytes = 2,
                        std::vector<ApplicationParameterPtr> params = {}, double watchdog_s = 60.0,
                        bool start = true)
        : slave(in_bytes) {
        std::vector<DictionaryItemPtr> items;
        for (std::uint16_t i = 0; i < in_bytes; ++i) {
            auto item = std::make_shared<DictionaryItemInput>(
                100 + i, "in" + std::to_string(i), DataType::UINT8, Value{std::int64_t{0xA0 + i}});
            inputs.push_back(item);
            items.push_back(item);
        }
        for (std::uint16_t i = 0; i < out_bytes; ++i) {
            auto item = std::make_shared<DictionaryItemOutput>(200 + i, "out" + std::to_string(i),
                                                               DataType::UINT8);
            outputs.push_back(item);
            items.push_back(item);
        }
        dictionary = std::make_shared<Dictionary>(items);
        handler = std::make_shared<MasterHandler>(dictionary, kSlaveAddress, kConnectionId,
                                                  watchdog_s, std::move(params), errors, states);
        for (auto& item : outputs) handler->master().dictionary_map()->add(item);
        for (auto& item : inputs) handler->slave().dictionary_map()->add(item);
        if (start) handler->start();
    }

    Bytes request() {
        std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
        const std::uint16_t length = handler->get_request(out);
        return Bytes(out, out + length);
    }
    Request decoded() { return decode(request()); }

    void answer(const Bytes& reply) { handler->set_reply(reply); }
    void answer(std::uint16_t command, Bytes safe = {}, std::uint16_t connection_id = 0,
                bool corrupt = false) {
        answer(slave.reply(request(), command, std::move(safe), connection_id, corrupt));
    }
    void answer(FSOECommand command, Bytes safe = {}, std::uint16_t connection_id = 0,
                bool corrupt = false) {
        answer(static_cast<std::uint16_t>(command), std::move(safe), connection_id, corrupt);
    }
    void echo(bool corrupt = false) { answer(slave.echo(request(), corrupt)); }

    // Runs `f` as a host operation (the states expect the exclusion held).
    template <typename F>
    void locked(F&& f) {
        handler->exclusive(std::forward<F>(f));
    }
    void expire() {
        locked([this] { handler->_watchdog_expired_event(); });
    }

    // The input bytes a correct Data reply carries in these tests.
    Bytes input_bytes(std::uint8_t base = 0x10) const {
        Bytes data;
        for (std::size_t i = 0; i < inputs.size(); ++i)
            data.push_back(static_cast<std::uint8_t>(base + i));
        return data;
    }

    // Drives the connection with correct replies from its current state into `target`;
    // nothing may be reported on the way.
    void advance_to(StateId target) {
        const std::size_t reported = errors->count();
        for (int i = 0; i < 200 && handler->state() != target; ++i) {
            switch (handler->state()) {
                case StateId::Reset:
                    answer(FSOECommand::RESET);
                    break;
                case StateId::Session:
                    answer(FSOECommand::SESSION);
                    break;
                case StateId::Connection:
                case StateId::Parameter:
                    echo();
                    break;
                case StateId::Data:
                    answer(FSOECommand::PROCESS_DATA, input_bytes(), kConnectionId);
                    break;
            }
        }
        ASSERT_EQ(handler->state(), target);
        ASSERT_EQ(errors->count(), reported) << errors->records.back().transition;
    }

    // The error code carried by the current request (a Reset frame).
    std::uint16_t reset_code() {
        const Request r = decode(request());
        EXPECT_EQ(r.command, static_cast<std::uint16_t>(FSOECommand::RESET));
        std::uint16_t code = r.safe_data.empty() ? 0 : r.safe_data[0];
        if (r.safe_data.size() > 1) code = static_cast<std::uint16_t>(code | r.safe_data[1] << 8);
        return code;
    }

    std::vector<std::shared_ptr<DictionaryItemInput>> inputs;
    std::vector<std::shared_ptr<DictionaryItemOutput>> outputs;
    DictionaryPtr dictionary;
    std::shared_ptr<RecordingErrors> errors = std::make_shared<RecordingErrors>();
    std::shared_ptr<RecordingStates> states = std::make_shared<RecordingStates>();
    std::shared_ptr<MasterHandler> handler;
    ScriptedSlave slave;
};

// Captures the diagnostic trace while it lives.
class TraceCapture {
  public:
    TraceCapture() {
        lines().clear();
        trace::set_sink(&TraceCapture::sink);
        trace::set_enabled_for_testing(true);
    }
    ~TraceCapture() {
        trace::set_enabled_for_testing(false);
        trace::set_sink(nullptr);
    }
    // The transition names logged so far, in order.
    static std::vector<std::string> transitions() {
        std::vector<std::string> names;
        const std::string prefix = "MASTER | TRANSITION | ";
        for (const auto& line : lines()) {
            if (line.rfind(prefix, 0) == 0) names.push_back(line.substr(prefix.size()));
        }
        return names;
    }
    static void clear() { lines().clear(); }

  private:
    static std::vector<std::string>& lines() {
        static std::vector<std::string> captured;
        return captured;
    }
    static void sink(std::string_view line) { lines().emplace_back(line); }
};

// True when `pdu` is protected for sequence number `sequence` and reference CRC_0 `crc0`.
inline bool protected_for(std::span<const std::uint8_t> pdu, std::uint16_t sequence,
                          std::uint16_t crc0) {
    FSOEFrame frame(static_cast<std::int64_t>(pdu.size()));
    frame.from_array(pdu);
    frame.control().sequence_number(sequence);
    frame.control().crc0(crc0);
    return frame.check_crcs();
}

inline bool inputs_fail_safe(const HandlerRig& rig) {
    for (const auto& item : rig.inputs) {
        if (!values_equal(item->get(), item->fail_safe_value())) return false;
    }
    return true;
}

}  // namespace velmora::testing
