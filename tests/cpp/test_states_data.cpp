// The Data state: process data both ways, the fail-safe switch, fail-safe inputs.
#include <gtest/gtest.h>

#include "test_master_handler_support.hpp"

namespace velmora::testing {
namespace {

constexpr std::uint16_t kFailsafe = static_cast<std::uint16_t>(FSOECommand::FAILSAFE_DATA);
constexpr std::uint16_t kProcess = static_cast<std::uint16_t>(FSOECommand::PROCESS_DATA);

std::int64_t value_of(const std::shared_ptr<DictionaryItemInput>& item) {
    return std::get<std::int64_t>(item->get());
}

TEST(StateData, OutputsTravelUnderTheFailSafeSwitch) {
    HandlerRig rig(2, 2);
    rig.outputs[0]->set(Value{std::int64_t{0x5A}});
    rig.outputs[1]->set(Value{std::int64_t{0xC3}});
    rig.advance_to(StateId::Data);
    Request r = rig.decoded();
    EXPECT_EQ(r.command, kFailsafe);
    EXPECT_EQ(r.connection_id, kConnectionId);
    EXPECT_EQ(r.safe_data, (Bytes{0, 0})) << "fail-safe data is all zeros";
    rig.handler->set_fail_safe(false);
    EXPECT_EQ(rig.decoded().command, kFailsafe) << "takes effect with the next request built";
    rig.outputs[0]->set(Value{std::int64_t{0x01}});
    rig.answer(FSOECommand::PROCESS_DATA, rig.input_bytes(), kConnectionId);
    r = rig.decoded();
    EXPECT_EQ(r.command, kProcess);
    EXPECT_EQ(r.safe_data, (Bytes{0x01, 0xC3}));
    rig.handler->set_fail_safe();
    rig.answer(FSOECommand::PROCESS_DATA, rig.input_bytes(0x20), kConnectionId);
    r = rig.decoded();
    EXPECT_EQ(r.command, kFailsafe);
    EXPECT_EQ(r.safe_data, (Bytes{0, 0}));
    // The items kept their values: the next process-data frame carries them again.
    rig.handler->set_fail_safe(false);
    rig.answer(FSOECommand::PROCESS_DATA, rig.input_bytes(0x30), kConnectionId);
    EXPECT_EQ(rig.decoded().safe_data, (Bytes{0x01, 0xC3}));
}

// Every fail-safe request carries zeros whatever the outputs hold: after the first Data
// frame, on every cycle, and again after a host reset, an expiry and a slave reset.
TEST(StateData, FailSafeRequestsCarryZerosThroughResetsAndExpiries) {
    HandlerRig rig(2, 2);
    for (int round = 0; round < 3; ++round) {
        rig.outputs[0]->set(Value{std::int64_t{0x11 + round}});
        rig.outputs[1]->set(Value{std::int64_t{0xEE}});
        rig.advance_to(StateId::Data);
        for (int i = 0; i < 5; ++i) {
            const Request r = rig.decoded();
            ASSERT_EQ(r.command, kFailsafe);
            ASSERT_EQ(r.safe_data, (Bytes{0, 0}));
            rig.answer(FSOECommand::PROCESS_DATA, rig.input_bytes(static_cast<std::uint8_t>(i)),
                       kConnectionId);
        }
        if (round == 0) rig.handler->reset();
        if (round == 1) rig.expire();
        if (round == 2) rig.answer(FSOECommand::RESET);
    }
}

TEST(StateData, ProcessDataDeliversInputsAndFailsafeDataDropsThem) {
    HandlerRig rig(2, 2);
    rig.advance_to(StateId::Data);
    TraceCapture trace;
    rig.answer(FSOECommand::PROCESS_DATA, {0x07, 0x08}, kConnectionId);
    EXPECT_EQ(value_of(rig.inputs[0]), 0x07);
    EXPECT_EQ(value_of(rig.inputs[1]), 0x08);
    rig.answer(FSOECommand::FAILSAFE_DATA, {0x09, 0x0A}, kConnectionId);
    EXPECT_TRUE(inputs_fail_safe(rig));
    EXPECT_EQ(rig.handler->state(), StateId::Data);
    EXPECT_EQ(TraceCapture::transitions(), (std::vector<std::string>{"DATA_OK1", "DATA_OK2"}));
    EXPECT_TRUE(rig.errors->records.empty());
}

TEST(StateData, CorruptReplyLeavesNoDataInTheInputs) {
    HandlerRig rig(2, 2);
    rig.advance_to(StateId::Data);
    rig.answer(FSOECommand::PROCESS_DATA, {0x07, 0x08}, kConnectionId, true);
    EXPECT_TRUE(inputs_fail_safe(rig));
    EXPECT_EQ(rig.reset_code(), 4);
}

TEST(StateData, ManyCyclesKeepTheChainValid) {
    // Thousands of frames cross the CRC_0 repetition case now and then on both sides.
    HandlerRig rig(2, 2);
    rig.advance_to(StateId::Data);
    rig.handler->set_fail_safe(false);
    for (int i = 0; i < 5000; ++i) {
        const Bytes data{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)};
        rig.outputs[0]->set(Value{std::int64_t{i & 0xFF}});
        rig.answer(FSOECommand::PROCESS_DATA, data, kConnectionId);
        ASSERT_EQ(rig.handler->state(), StateId::Data) << "cycle " << i;
        ASSERT_EQ(value_of(rig.inputs[1]), (i >> 8) & 0xFF);
    }
    EXPECT_TRUE(rig.errors->records.empty());
}

TEST(StateData, SlaveResetFallsBackToFailsafeFrames) {
    HandlerRig rig(2, 2);
    rig.advance_to(StateId::Data);
    rig.handler->set_fail_safe(false);
    rig.answer(FSOECommand::PROCESS_DATA, {1, 2}, kConnectionId);
    ASSERT_EQ(rig.decoded().command, kProcess);
    rig.answer(FSOECommand::RESET);
    EXPECT_EQ(rig.handler->state(), StateId::Session);
    EXPECT_TRUE(inputs_fail_safe(rig));
    rig.advance_to(StateId::Data);
    EXPECT_EQ(rig.decoded().command, kFailsafe);
}

}  // namespace
}  // namespace velmora::testing
