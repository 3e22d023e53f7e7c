// The Reset state: the reset exchange, its transitions and the Reset frames it sends.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "test_master_handler_support.hpp"

namespace velmora::testing {
namespace {

constexpr std::uint16_t kReset = static_cast<std::uint16_t>(FSOECommand::RESET);

TEST(StateReset, StartSendsResetFrameWithErrorCodeZero) {
    TraceCapture trace;
    HandlerRig rig(2, 2);
    const Bytes request = rig.request();
    const Request r = decode(request);
    EXPECT_EQ(r.command, kReset);
    EXPECT_EQ(r.connection_id, 0);
    EXPECT_EQ(r.safe_data, (Bytes{0, 0}));
    EXPECT_TRUE(protected_for(request, 1, 0));
    // The reference Reset frame: CRC_0 0x2DC4.
    EXPECT_EQ(request, (Bytes{0x2A, 0x00, 0x00, 0xC4, 0x2D, 0x00, 0x00}));
    EXPECT_EQ(TraceCapture::transitions(), std::vector<std::string>{"RESET_START"});
    EXPECT_TRUE(rig.errors->records.empty());
    EXPECT_TRUE(rig.states->states.empty());
    EXPECT_TRUE(rig.handler->_watchdog().active());
}

TEST(StateReset, ResetReplyOpensSessionWithoutCrcCheck) {
    for (bool corrupt : {false, true}) {
        TraceCapture trace;
        HandlerRig rig(2, 2);
        rig.answer(FSOECommand::RESET, {}, 0x999, corrupt);
        EXPECT_EQ(rig.handler->state(), StateId::Session);
        EXPECT_EQ(rig.states->states, std::vector<StateId>{StateId::Session});
        EXPECT_TRUE(rig.errors->records.empty());
        EXPECT_EQ(TraceCapture::transitions().back(), "RESET_OK");
        // The first Session frame: the new session id, sequence 1, reference CRC_0 0.
        const Bytes request = rig.request();
        const Request r = decode(request);
        EXPECT_EQ(r.command, static_cast<std::uint16_t>(FSOECommand::SESSION));
        EXPECT_EQ(r.connection_id, 0);
        const std::uint16_t sid = u16_value(*rig.handler->master().session().session_id);
        EXPECT_EQ(r.safe_data,
                  (Bytes{static_cast<std::uint8_t>(sid), static_cast<std::uint8_t>(sid >> 8)}));
        EXPECT_TRUE(protected_for(request, 1, 0));
    }
}

TEST(StateReset, OtherFramesStayWithResetFrame) {
    for (std::uint16_t command : {std::uint16_t{0x4E}, std::uint16_t{0x36}, std::uint16_t{0x13}}) {
        HandlerRig rig(2, 2);
        // A failure first, so that the error code in the Reset frame is not 0.
        rig.advance_to(StateId::Session);
        rig.expire();
        ASSERT_EQ(rig.reset_code(), 5);
        rig.errors->records.clear();
        TraceCapture trace;
        rig.answer(command);
        ASSERT_EQ(rig.errors->records.size(), 1u);
        EXPECT_EQ(rig.errors->records[0].transition, "RESET_STAY1");
        EXPECT_EQ(rig.errors->records[0].message, "Invalid slave frame command");
        EXPECT_EQ(TraceCapture::transitions().back(), "RESET_STAY1");
        EXPECT_EQ(rig.handler->state(), StateId::Reset);
        EXPECT_EQ(rig.reset_code(), 0);
        EXPECT_TRUE(protected_for(rig.request(), 1, 0));
    }
}

TEST(StateReset, WatchdogOpensSession) {
    HandlerRig rig(2, 2);
    TraceCapture trace;
    rig.expire();
    ASSERT_EQ(rig.errors->records.size(), 1u);
    EXPECT_EQ(rig.errors->records[0].transition, "RESET_WD");
    EXPECT_EQ(rig.errors->records[0].message, "The watchdog of the master expired");
    EXPECT_EQ(rig.handler->state(), StateId::Session);
    EXPECT_EQ(TraceCapture::transitions().back(), "RESET_WD");
    EXPECT_EQ(decode(rig.request()).command, static_cast<std::uint16_t>(FSOECommand::SESSION));
}

TEST(StateReset, HostResetStaysSilently) {
    HandlerRig rig(2, 2);
    TraceCapture trace;
    const auto version = rig.handler->request_version();
    rig.handler->reset();
    EXPECT_EQ(TraceCapture::transitions(), std::vector<std::string>{"RESET_START"});
    EXPECT_TRUE(rig.errors->records.empty());
    EXPECT_TRUE(rig.states->states.empty());
    EXPECT_EQ(rig.handler->state(), StateId::Reset);
    EXPECT_GT(rig.handler->request_version(), version);
}

TEST(StateReset, StayDoesNotRearmTheWatchdog) {
    HandlerRig rig(2, 2, {}, 0.05);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    // Wrong frames every 5 ms, far within the 50 ms watchdog time: it expires all the same.
    while (rig.handler->state() == StateId::Reset && std::chrono::steady_clock::now() < end) {
        rig.answer(FSOECommand::SESSION, {static_cast<std::uint8_t>(rig.errors->records.size())});
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    rig.handler->stop();
    ASSERT_FALSE(rig.errors->records.empty());
    EXPECT_EQ(rig.errors->records.back().transition, "RESET_WD");
}

TEST(StateReset, BaseStateIsNotImplemented) {
    HandlerRig rig(2, 2, {}, 60.0, false);
    State base(*rig.handler);
    EXPECT_THROW(base._process_frame_received_event(), NotImplementedError);
    EXPECT_THROW(base._process_watchdog_expired_event(), NotImplementedError);
    EXPECT_THROW(base._process_reset_connection_event(), NotImplementedError);
    EXPECT_THROW(base.map_frame(), NotImplementedError);
    EXPECT_THROW(StateConnection(*rig.handler).map_frame(), NotImplementedError);
}

TEST(StateReset, CrcCheckIsPlainUntilASlaveCrc0IsKnown) {
    HandlerRig rig(2, 2);
    rig.answer(FSOECommand::RESET);
    ASSERT_TRUE(rig.handler->slave()._last_crc0_sent.has_value());
    // The next Session reply of the slave is chained on its Reset frame (cyclic check).
    rig.answer(FSOECommand::SESSION);
    EXPECT_EQ(rig.handler->state(), StateId::Connection);
    // Without a stored CRC_0 the plain check applies: a reply made plainly passes too.
    HandlerRig fresh(2, 2);
    fresh.locked([&] {
        fresh.handler->slave()._last_crc0_sent.reset();
        FSOEFrame& f = fresh.handler->slave().frame();
        f.set_safe_data_size_bytes(2);
        f.control().set_command(FSOECommand::SESSION);
        f.generate_crcs();
        EXPECT_TRUE(StateSession(*fresh.handler)._check_received_crcs());
    });
}

}  // namespace
}  // namespace velmora::testing
