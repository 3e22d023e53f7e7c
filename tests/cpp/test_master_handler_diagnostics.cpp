// The handler's connection counters, and a restart that forgets the previous connection's
// last reply.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "test_master_handler_support.hpp"

namespace velmora::testing {
namespace {

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

TEST(MasterHandlerDiagnostics, CountsCyclesAndAcceptedRepliesIntoTheDataState) {
    HandlerRig rig;
    HandlerDiagnostics d = rig.handler->diagnostics();
    EXPECT_EQ(d.cycles, 0u);
    EXPECT_FALSE(d.time_since_last_accepted_reply_s.has_value());
    EXPECT_FALSE(d.min_reply_interval_s.has_value());

    rig.advance_to(StateId::Data);
    const std::uint64_t setup = rig.handler->diagnostics().cycles;
    EXPECT_GT(setup, 4u);
    const Bytes reply =
        rig.slave.reply(rig.request(), FSOECommand::PROCESS_DATA, rig.input_bytes(), kConnectionId);
    rig.answer(reply);
    rig.answer(reply);  // a repeat is no cycle
    d = rig.handler->diagnostics();
    EXPECT_EQ(d.cycles, setup + 1);
    EXPECT_EQ(d.accepted_replies, d.cycles);
    EXPECT_TRUE(d.resets.empty());
    EXPECT_FALSE(d.has_last_error);
    ASSERT_TRUE(d.time_since_last_accepted_reply_s.has_value());
    EXPECT_GE(*d.time_since_last_accepted_reply_s, 0.0);
    ASSERT_TRUE(d.min_reply_interval_s && d.max_reply_interval_s);
    EXPECT_LE(*d.min_reply_interval_s, *d.max_reply_interval_s);
}

TEST(MasterHandlerDiagnostics, RepliesWhileStoppedAreNoCycles) {
    HandlerRig rig(2, 2, {}, 60.0, false);
    rig.handler->set_reply(Bytes(7, 0));
    EXPECT_EQ(rig.handler->diagnostics().cycles, 0u);
}

struct FaultCase {
    const char* transition;
    StateId state;  // where the fault happens
    std::function<void(HandlerRig&)> fault;
    bool resets;  // counted under `transition` in resets
};

class DiagnosticsFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(DiagnosticsFault, RecordsTheErrorAndCountsOnlyResets) {
    const FaultCase& c = GetParam();
    HandlerRig rig;
    rig.advance_to(c.state);
    const HandlerDiagnostics before = rig.handler->diagnostics();
    c.fault(rig);
    const HandlerDiagnostics d = rig.handler->diagnostics();
    ASSERT_FALSE(rig.errors->records.empty());
    ASSERT_TRUE(d.has_last_error);
    EXPECT_EQ(d.last_error_transition, c.transition);
    EXPECT_EQ(d.last_error_message, rig.errors->records.back().message);
    EXPECT_EQ(d.accepted_replies, before.accepted_replies);
    if (c.resets) {
        ASSERT_EQ(d.resets.size(), 1u);
        EXPECT_EQ(d.resets.at(c.transition), 1u);
    } else {
        EXPECT_TRUE(d.resets.empty());
    }
    // The connection recovers, and the counters go on from there.
    rig.advance_to(StateId::Data);
    EXPECT_GT(rig.handler->diagnostics().accepted_replies, d.accepted_replies);
}

INSTANTIATE_TEST_SUITE_P(
    All, DiagnosticsFault,
    ::testing::Values(
        FaultCase{"DATA_FAIL1", StateId::Data,
                  [](HandlerRig& r) {
                      r.answer(FSOECommand::PROCESS_DATA, r.input_bytes(), kConnectionId, true);
                  },
                  true},
        FaultCase{"DATA_RESET1", StateId::Data, [](HandlerRig& r) { r.answer(FSOECommand::RESET); },
                  true},
        FaultCase{"DATA_WD", StateId::Data, [](HandlerRig& r) { r.expire(); }, true},
        FaultCase{"RESET_WD", StateId::Reset, [](HandlerRig& r) { r.expire(); }, true},
        FaultCase{"CONN_FAIL1", StateId::Connection, [](HandlerRig& r) { r.echo(true); }, true},
        FaultCase{"SESSION_STAY2", StateId::Session,
                  [](HandlerRig& r) { r.answer(FSOECommand::SESSION, {}, 0, true); }, false},
        FaultCase{"RESET_STAY1", StateId::Reset,
                  [](HandlerRig& r) { r.answer(FSOECommand::SESSION); }, false}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.transition; });

TEST(MasterHandlerDiagnostics, HostResetsAreNotCounted) {
    HandlerRig rig;
    rig.advance_to(StateId::Data);
    rig.handler->reset();
    rig.handler->stop();
    rig.handler->start();
    const HandlerDiagnostics d = rig.handler->diagnostics();
    EXPECT_TRUE(d.resets.empty());
    EXPECT_FALSE(d.has_last_error);
}

TEST(MasterHandlerDiagnostics, ResetZeroesTheCountersButKeepsTheLastReplyTime) {
    HandlerRig rig;
    rig.advance_to(StateId::Data);
    rig.expire();
    rig.handler->reset_diagnostics();
    HandlerDiagnostics d = rig.handler->diagnostics();
    EXPECT_EQ(d.cycles, 0u);
    EXPECT_EQ(d.accepted_replies, 0u);
    EXPECT_TRUE(d.resets.empty());
    EXPECT_FALSE(d.has_last_error);
    EXPECT_FALSE(d.min_reply_interval_s.has_value());
    EXPECT_TRUE(d.time_since_last_accepted_reply_s.has_value());
    rig.answer(FSOECommand::RESET);
    d = rig.handler->diagnostics();
    EXPECT_EQ(d.cycles, 1u);
    EXPECT_EQ(d.accepted_replies, 1u);
}

TEST(MasterHandlerDiagnostics, IntervalsSpanAcceptedRepliesOfOneConnection) {
    HandlerRig rig;
    rig.answer(FSOECommand::RESET);
    sleep_ms(100);
    rig.answer(FSOECommand::SESSION);
    rig.echo();  // the Connection state's first echo
    HandlerDiagnostics d = rig.handler->diagnostics();
    ASSERT_EQ(d.accepted_replies, 3u);
    ASSERT_TRUE(d.max_reply_interval_s && d.min_reply_interval_s);
    EXPECT_GE(*d.max_reply_interval_s, 0.1);
    EXPECT_LT(*d.min_reply_interval_s, 0.1);

    // The time between stop and start is no reply interval.
    rig.handler->reset_diagnostics();
    rig.handler->stop();
    sleep_ms(200);
    rig.handler->start();
    rig.answer(FSOECommand::RESET);
    d = rig.handler->diagnostics();
    EXPECT_FALSE(d.max_reply_interval_s.has_value());
    rig.answer(FSOECommand::SESSION);
    d = rig.handler->diagnostics();
    ASSERT_TRUE(d.max_reply_interval_s.has_value());
    EXPECT_LT(*d.max_reply_interval_s, 0.2);
}

TEST(MasterHandlerDiagnostics, AnErrorCallbackSeesTheErrorAlreadyRecorded) {
    HandlerRig rig;
    std::optional<std::string> seen;
    rig.errors->on_call = [&] {
        seen = rig.handler->diagnostics().last_error_transition.value_or("<none>");
    };
    rig.answer(FSOECommand::SESSION);
    EXPECT_EQ(seen, "RESET_STAY1");
}

// The slave answers a new connection's Reset request with a Reset frame that can equal the
// last reply of the previous connection byte for byte; it is a new reply all the same.
TEST(MasterHandlerRestart, StartForgetsThePreviousConnectionsLastReply) {
    HandlerRig rig;
    const Bytes reset_reply = rig.slave.reply(rig.request(), FSOECommand::RESET);
    rig.answer(reset_reply);
    ASSERT_EQ(rig.handler->state(), StateId::Session);
    rig.handler->stop();
    rig.handler->start();
    ASSERT_EQ(rig.handler->state(), StateId::Reset);
    EXPECT_EQ(rig.slave.reply(rig.request(), FSOECommand::RESET), reset_reply);
    rig.answer(reset_reply);
    EXPECT_EQ(rig.handler->state(), StateId::Session);
    EXPECT_TRUE(rig.errors->records.empty());
}

}  // namespace
}  // namespace velmora::testing
