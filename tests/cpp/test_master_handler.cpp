// The handler's public surface: construction and start checks, the reply and request
// cycle, and the host callbacks.
#include <gtest/gtest.h>

#include "test_master_handler_support.hpp"

namespace velmora::testing {
namespace {

DictionaryPtr empty_dictionary() {
    return std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{});
}

template <typename E>
std::string message_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "<no error>";
}

TEST(MasterHandlerConstruction, RefusesBadArgumentsWithTheirMessages) {
    auto d = empty_dictionary();
    EXPECT_EQ(message_of<ValueError>([&] { MasterHandler(d, 1, 0, 1.0); }),
              "Connection ID = 0 is not permitted");
    EXPECT_EQ(message_of<ValueError>([&] { MasterHandler(d, 1, 1, 0.0009); }),
              "Watchdog time must be at least 1 ms");
    EXPECT_EQ(message_of<OverflowError>([&] { MasterHandler(d, 1, 1, 65.536); }),
              "value too large to convert to uint16_t");
    EXPECT_EQ(message_of<OverflowError>([&] { MasterHandler(d, -1, 1, 1.0); }),
              "can't convert negative value to uint16_t");
    EXPECT_EQ(message_of<OverflowError>([&] { MasterHandler(d, 1, 65536, 1.0); }),
              "value too large to convert to uint16_t");
    EXPECT_THROW(MasterHandler(nullptr, 1, 1, 1.0), TypeError);
}

TEST(MasterHandlerConstruction, FailureClaimsNoParameter) {
    auto a = std::make_shared<ApplicationParameter>("a", Value{std::int64_t{1}}, 1);
    auto b = std::make_shared<ApplicationParameter>("b", Value{std::int64_t{1}}, 1);
    auto d = empty_dictionary();
    MasterHandler owner(d, 1, 1, 1.0, {b});
    EXPECT_EQ(message_of<PermissionError>([&] {
                  MasterHandler(d, 1, 1, 1.0, {a, b});
              }),
              "Application parameter already used by a master");
    EXPECT_FALSE(a->claimed());
    EXPECT_THROW(MasterHandler(d, 1, 1, 0.0, {a}), ValueError);
    EXPECT_FALSE(a->claimed());
    EXPECT_THROW(MasterHandler(d, 1, 1, 1.0, {a, a}), PermissionError);
    EXPECT_FALSE(a->claimed());
    MasterHandler user(d, 1, 1, 1.0, {a});
    EXPECT_TRUE(a->claimed());
}

TEST(MasterHandlerConstruction, SlaveNodeHoldsPlaceholders) {
    auto p8 = std::make_shared<ApplicationParameter>("a", Value{std::int64_t{3}}, std::nullopt,
                                                     DataType::INT8);
    auto p32 = std::make_shared<ApplicationParameter>("b", Value{std::int64_t{9}}, 4);
    MasterHandler h(empty_dictionary(), 1, 1, 1.0, {p8, p32});
    const auto& placeholders = h.slave().application_parameters();
    ASSERT_EQ(placeholders.size(), 2u);
    EXPECT_EQ(placeholders[0]->data_type(), DataType::INT8);
    EXPECT_EQ(placeholders[1]->data_type(), DataType::UINT32);
    for (const auto& p : placeholders) EXPECT_EQ(p->_raw_value(), 0u);
    EXPECT_EQ(h.master().application_parameters()[1].get(), p32.get());
    EXPECT_EQ(u16_value(*h.master().session().watchdog_ms), 1000);
    EXPECT_EQ(u16_value(*h.slave().session().watchdog_ms), 0);
}

struct StartCase {
    std::uint16_t out_bytes;
    std::uint16_t in_bytes;
    std::string message;
};

class StartChecks : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartChecks, RefuseBeforeLockingAnything) {
    HandlerRig rig(GetParam().out_bytes, GetParam().in_bytes, {}, 60.0, false);
    EXPECT_EQ(message_of<ValueError>([&] { rig.handler->start(); }), GetParam().message);
    EXPECT_FALSE(rig.handler->running());
    EXPECT_FALSE(rig.handler->master().dictionary_map()->locked());
    EXPECT_FALSE(rig.handler->slave().dictionary_map()->locked());
    EXPECT_TRUE(rig.request().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Maps, StartChecks,
    ::testing::Values(
        StartCase{17, 2, "Frame structure cannot handle more than 16 bytes"},
        StartCase{2, 17, "Frame structure cannot handle more than 16 bytes"},
        StartCase{3, 2,
                  "Safe data of 3 bytes is not a valid frame size: complete the map to whole "
                  "16-bit words"},
        StartCase{2, 15,
                  "Safe data of 15 bytes is not a valid frame size: complete the map to whole "
                  "16-bit words"},
        StartCase{0, 2, "A connection needs at least 1 byte of safe data in each direction"},
        StartCase{2, 0, "A connection needs at least 1 byte of safe data in each direction"}));

TEST(MasterHandler, FixedMapCanBeStartedAfterARefusal) {
    HandlerRig rig(3, 2, {}, 60.0, false);
    EXPECT_THROW(rig.handler->start(), ValueError);
    rig.handler->master().dictionary_map()->add(nullptr, 8);
    rig.handler->start();
    EXPECT_EQ(rig.handler->initialization_data_bytes(), 2);
    EXPECT_EQ(rig.handler->master().frame().safe_data_size_bytes(), 4);
}

TEST(MasterHandler, InitializationBytesAreTheSmallerFrame) {
    HandlerRig rig(2, 4, {}, 60.0, false);
    EXPECT_EQ(rig.handler->initialization_data_bytes(), 0);
    rig.handler->start();
    EXPECT_EQ(rig.handler->initialization_data_bytes(), 2);
}

TEST(MasterHandler, RepliesAreIgnoredWhileStopped) {
    HandlerRig rig(2, 2, {}, 60.0, false);
    const Bytes reset{0x2A, 0, 0, 0xC4, 0x2D, 0, 0};
    rig.answer(reset);
    EXPECT_EQ(rig.handler->state(), StateId::Reset);
    EXPECT_TRUE(rig.request().empty());
    rig.handler->start();
    rig.handler->stop();
    const Bytes stopped = rig.request();
    EXPECT_EQ(decode(stopped).command, static_cast<std::uint16_t>(FSOECommand::RESET));
    rig.answer(reset);
    EXPECT_EQ(rig.handler->state(), StateId::Reset);
    EXPECT_EQ(rig.request(), stopped);
    EXPECT_FALSE(rig.handler->_watchdog().active());
    // Stopping a stopped handler does nothing at all.
    const auto version = rig.handler->request_version();
    rig.handler->stop();
    EXPECT_EQ(rig.handler->request_version(), version);
}

TEST(MasterHandler, SameReplyIsProcessedOnce) {
    HandlerRig rig(2, 2);
    rig.answer(FSOECommand::RESET);
    const Bytes bad_crc = rig.slave.reply(rig.request(), FSOECommand::SESSION, {}, 0, true);
    const Bytes other = rig.slave.reply(rig.request(), FSOECommand::SESSION, {1}, 0, true);
    rig.answer(bad_crc);
    rig.answer(bad_crc);
    EXPECT_EQ(rig.errors->records.size(), 1u);
    rig.answer(other);
    rig.answer(bad_crc);
    EXPECT_EQ(rig.errors->records.size(), 3u);
}

TEST(MasterHandler, ReplyOfAnotherLengthNeverPassesTheCrcCheck) {
    HandlerRig rig(2, 2);
    rig.answer(FSOECommand::RESET);
    // A correct Session reply with one byte too many: read at the map's length its CRCs
    // are valid, but it is not the PDU the slave must send.
    Bytes longer = rig.slave.reply(rig.request(), FSOECommand::SESSION);
    longer.push_back(0);
    rig.answer(longer);
    EXPECT_EQ(rig.handler->state(), StateId::Session);
    ASSERT_EQ(rig.errors->records.size(), 1u);
    EXPECT_EQ(rig.errors->records[0].transition, "SESSION_STAY2");
    // Far too long and empty replies raise nothing; a Reset frame still counts as one.
    rig.answer(Bytes(1000, 0x4E));
    EXPECT_EQ(rig.errors->records.back().transition, "SESSION_STAY2");
    rig.answer(Bytes{0x2A});
    EXPECT_EQ(rig.handler->state(), StateId::Session);
    EXPECT_EQ(rig.errors->records.back().transition, "SESSION_RESET1");
    rig.answer(Bytes{});
    EXPECT_EQ(rig.errors->records.back().transition, "SESSION_FAIL4");
}

TEST(MasterHandler, ShortReplyLeavesNoZerosInTheInputs) {
    HandlerRig rig(2, 4);
    rig.advance_to(StateId::Data);
    rig.answer(FSOECommand::PROCESS_DATA, {1, 2, 3, 4}, kConnectionId);
    ASSERT_EQ(std::get<std::int64_t>(rig.inputs[3]->get()), 4);
    Bytes reply =
        rig.slave.reply(rig.request(), FSOECommand::PROCESS_DATA, {5, 6, 7, 8}, kConnectionId);
    reply.resize(reply.size() - 4);
    rig.answer(reply);
    EXPECT_EQ(rig.handler->state(), StateId::Reset);
    EXPECT_TRUE(inputs_fail_safe(rig));
}

TEST(MasterHandler, LongRepliesDifferingOnlyAtTheEndAreBothProcessed) {
    HandlerRig rig(2, 2);
    rig.answer(FSOECommand::RESET);
    Bytes a(100, 0x4E);
    Bytes b = a;
    b.back() = 0x01;
    rig.answer(a);
    rig.answer(a);
    rig.answer(b);
    EXPECT_EQ(rig.errors->records.size(), 2u);
}

TEST(MasterHandler, SessionIdsReachBothEnds) {
    HandlerRig rig(2, 2, {}, 60.0, false);
    bool low = false;
    bool high = false;
    rig.locked([&] {
        for (int i = 0; i < 3'000'000 && !(low && high); ++i) {
            rig.handler->_create_session_id();
            const std::uint16_t id = u16_value(*rig.handler->master().session().session_id);
            low = low || id == 0;
            high = high || id == 0xFFFF;
        }
    });
    EXPECT_TRUE(low && high);
}

TEST(MasterHandler, SameStateMakesNoCallback) {
    HandlerRig rig(2, 2);
    rig.locked([&] { rig.handler->_set_next_state(StateId::Reset); });
    EXPECT_TRUE(rig.states->states.empty());
    State* before = &rig.handler->_state();
    rig.locked([&] { rig.handler->_set_next_state(StateId::Data); });
    EXPECT_EQ(rig.states->states, std::vector<StateId>{StateId::Data});
    EXPECT_NE(&rig.handler->_state(), before);
}

TEST(MasterHandler, SlaveAddressIsFixedWhileRunning) {
    HandlerRig rig(2, 2);
    EXPECT_EQ(message_of<FSOEMasterRunningException>([&] { rig.handler->set_slave_address(9); }),
              "Cannot set slave address while running");
    EXPECT_EQ(rig.handler->get_slave_address(), kSlaveAddress);
    rig.handler->stop();
    rig.handler->set_slave_address(9);
    EXPECT_EQ(rig.handler->get_slave_address(), 9);
    EXPECT_THROW(rig.handler->set_slave_address(70000), OverflowError);
}

TEST(MasterHandler, CallbackErrorsComeAfterTheTransitionIsComplete) {
    HandlerRig rig(2, 2);
    rig.advance_to(StateId::Data);
    rig.errors->throw_next = true;
    rig.states->throw_next = true;
    const Bytes bad =
        rig.slave.reply(rig.request(), FSOECommand::PROCESS_DATA, {1, 2}, kConnectionId, true);
    EXPECT_EQ(message_of<RuntimeError>([&] { rig.answer(bad); }), "error callback failed");
    // The Reset frame is ready and the state change was made despite both errors.
    EXPECT_EQ(rig.handler->state(), StateId::Reset);
    EXPECT_EQ(rig.reset_code(), 4);
    EXPECT_EQ(rig.states->states.back(), StateId::Reset);
    EXPECT_TRUE(inputs_fail_safe(rig));
    rig.advance_to(StateId::Data);
}

class ThrowingSubscriber final : public Subscriber {
  public:
    void operator()() override {
        ++calls;
        throw RuntimeError("subscriber failed");
    }
    bool equals(const Subscriber& other) const override { return this == &other; }
    int calls = 0;
};

TEST(MasterHandler, RaisingSubscriberDoesNotKeepInputsFromFailSafe) {
    HandlerRig rig(2, 2);
    auto subscriber = std::make_shared<ThrowingSubscriber>();
    rig.inputs[0]->subscribe_changed(subscriber);
    rig.inputs[1]->subscribe_changed(subscriber);
    rig.advance_to(StateId::Data);
    EXPECT_THROW(rig.answer(FSOECommand::PROCESS_DATA, {1, 2}, kConnectionId), RuntimeError);
    EXPECT_EQ(rig.handler->state(), StateId::Data);
    EXPECT_THROW(rig.handler->reset(), RuntimeError);
    EXPECT_TRUE(inputs_fail_safe(rig));
    EXPECT_EQ(rig.reset_code(), 0);
}

TEST(MasterHandler, StoppedHandlerKeepsItsWatchdogInactive) {
    HandlerRig rig(2, 2);
    rig.handler->stop();
    rig.handler->reset();
    rig.locked([&] { StateReset(*rig.handler)._reset_handler(4); });
    EXPECT_FALSE(rig.handler->_watchdog().active());
    rig.handler->start();
    EXPECT_TRUE(rig.handler->_watchdog().active());
}

TEST(MasterHandler, StopFromACallbackSettlesTheStoppedConnection) {
    HandlerRig rig(2, 2);
    rig.advance_to(StateId::Session);
    rig.errors->on_call = [&] { rig.handler->stop(); };
    // The slave resets: the transition goes on after the callback stopped the handler.
    rig.answer(FSOECommand::RESET, {4, 0});
    EXPECT_FALSE(rig.handler->running());
    EXPECT_EQ(rig.handler->state(), StateId::Reset);
    EXPECT_EQ(rig.reset_code(), 0);
    EXPECT_TRUE(protected_for(rig.request(), 1, 0));
    EXPECT_FALSE(rig.handler->_watchdog().active());
    EXPECT_FALSE(rig.handler->master().dictionary_map()->locked());
}

TEST(MasterHandler, DeleteEndsTheWatchdogAndTwiceIsHarmless) {
    HandlerRig rig(2, 2);
    rig.handler->delete_();
    EXPECT_FALSE(rig.handler->running());
    EXPECT_FALSE(rig.handler->_watchdog().is_alive());
    rig.handler->delete_();
    EXPECT_EQ(message_of<RuntimeError>([&] { rig.handler->start(); }),
              "FSoE Watchdog thread is not running");
    EXPECT_FALSE(rig.handler->master().dictionary_map()->locked());
    rig.answer(FSOECommand::RESET);  // ignored, raises nothing
}

}  // namespace
}  // namespace velmora::testing
