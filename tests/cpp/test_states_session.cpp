// The Session state: the session id in one or two frames, CRC failures tolerated until a
// second Session frame has been sent, and the Session restart.
#include <gtest/gtest.h>

#include "test_master_handler_support.hpp"

namespace velmora::testing {
namespace {

constexpr std::uint16_t kSession = static_cast<std::uint16_t>(FSOECommand::SESSION);

TEST(StateSession, WholeIdInOneFrameAdvancesAtOnce) {
    HandlerRig rig(2, 4);
    rig.answer(FSOECommand::RESET);
    TraceCapture trace;
    rig.answer(FSOECommand::SESSION);
    EXPECT_EQ(TraceCapture::transitions(), std::vector<std::string>{"SESSION_OK"});
    EXPECT_EQ(rig.handler->state(), StateId::Connection);
    // The first Connection frame: the connection id, with the master's id in its field.
    const Request r = rig.decoded();
    EXPECT_EQ(r.command, static_cast<std::uint16_t>(FSOECommand::CONNECTION));
    EXPECT_EQ(r.connection_id, kConnectionId);
    EXPECT_EQ(r.safe_data, (Bytes{0x34, 0x12}));
    EXPECT_TRUE(rig.handler->_generate_crcs_cyclic_for_next_frame);
}

TEST(StateSession, OneBytePerFrameSendsTheIdInTwoPieces) {
    HandlerRig rig(1, 1);
    ASSERT_EQ(rig.handler->initialization_data_bytes(), 1);
    rig.answer(FSOECommand::RESET);
    const std::uint16_t sid = u16_value(*rig.handler->master().session().session_id);
    EXPECT_EQ(rig.decoded().safe_data, Bytes{static_cast<std::uint8_t>(sid)});
    TraceCapture trace;
    rig.answer(FSOECommand::SESSION);
    EXPECT_EQ(rig.handler->state(), StateId::Session);
    EXPECT_TRUE(rig.handler->_second_session_frame_sent);
    EXPECT_EQ(rig.decoded().safe_data, Bytes{static_cast<std::uint8_t>(sid >> 8)});
    EXPECT_TRUE(protected_for(rig.request(), 2, rig.handler->master().frame().control().crc0()));
    rig.answer(FSOECommand::SESSION);
    EXPECT_EQ(TraceCapture::transitions(),
              (std::vector<std::string>{"SESSION_STAY1", "SESSION_OK"}));
    EXPECT_EQ(rig.handler->state(), StateId::Connection);
}

TEST(StateSession, CrcFailureToleratedOnlyBeforeTheSecondFrame) {
    HandlerRig rig(1, 1);
    rig.answer(FSOECommand::RESET);
    rig.answer(FSOECommand::SESSION, {}, 0, true);
    ASSERT_EQ(rig.errors->records.size(), 1u);
    EXPECT_EQ(rig.errors->records[0].transition, "SESSION_STAY2");
    EXPECT_EQ(rig.errors->records[0].message, "Invalid slave CRC");
    EXPECT_EQ(rig.handler->state(), StateId::Session);
    EXPECT_FALSE(rig.handler->_second_session_frame_sent);

    HandlerRig late(1, 1);
    late.answer(FSOECommand::RESET);
    late.answer(FSOECommand::SESSION);
    late.answer(FSOECommand::SESSION, {}, 0, true);
    ASSERT_EQ(late.errors->records.size(), 1u);
    EXPECT_EQ(late.errors->records[0].transition, "SESSION_FAIL1");
    EXPECT_EQ(late.errors->records[0].message, "Invalid slave CRC");
    EXPECT_EQ(late.reset_code(), 4);
}

TEST(StateSession, IdInOneFrameToleratesEveryCrcFailure) {
    HandlerRig rig(2, 2);
    rig.answer(FSOECommand::RESET);
    for (std::uint8_t i = 0; i < 5; ++i) rig.answer(FSOECommand::SESSION, {i}, 0, true);
    ASSERT_EQ(rig.errors->records.size(), 5u);
    for (const auto& e : rig.errors->records) EXPECT_EQ(e.transition, "SESSION_STAY2");
    EXPECT_EQ(rig.handler->state(), StateId::Session);
}

TEST(StateSession, SlaveResetRestartsWithNewIdAndSequenceOne) {
    HandlerRig rig(2, 2);
    rig.answer(FSOECommand::RESET);
    rig.answer(FSOECommand::SESSION, {}, 0, true);  // a tolerated failure moves sequences on
    const std::uint16_t old_id = u16_value(*rig.handler->master().session().session_id);
    rig.answer(FSOECommand::RESET, {4, 0});
    ASSERT_EQ(rig.errors->records.size(), 2u);
    EXPECT_EQ(rig.errors->records[1].transition, "SESSION_RESET1");
    EXPECT_EQ(rig.errors->records[1].message,
              "Connection was reset by the slave (slave reported error INVALID_CRC)");
    EXPECT_NE(u16_value(*rig.handler->master().session().session_id), old_id);
    EXPECT_EQ(rig.handler->slave().frame().control().sequence_number(), 1);
    EXPECT_TRUE(protected_for(rig.request(), 1, 0));
    // No state change: the Session state was current already.
    EXPECT_EQ(rig.states->states, std::vector<StateId>{StateId::Session});
    rig.answer(FSOECommand::SESSION);
    EXPECT_EQ(rig.handler->state(), StateId::Connection);
}

TEST(StateSession, SessionDataIsNotCompared) {
    HandlerRig rig(2, 2);
    rig.answer(FSOECommand::RESET);
    rig.answer(FSOECommand::SESSION, {0xDE, 0xAD});
    EXPECT_EQ(rig.handler->state(), StateId::Connection);
}

TEST(StateSession, ResetSessionKeepsErrorAndCrcMode) {
    HandlerRig rig(2, 2);
    rig.advance_to(StateId::Data);
    rig.locked([&] {
        rig.handler->master().session().set_error(7);
        EXPECT_EQ(StateSession(*rig.handler)._reset_session(), StateId::Session);
    });
    EXPECT_EQ(rig.handler->master().session().error(), 7);
    EXPECT_TRUE(rig.handler->_generate_crcs_cyclic_for_next_frame);
    EXPECT_TRUE(rig.handler->master()._last_crc0_sent.has_value());
    EXPECT_TRUE(inputs_fail_safe(rig));
    EXPECT_EQ(rig.handler->master().frame().control().command_raw(), kSession);
}

}  // namespace
}  // namespace velmora::testing
