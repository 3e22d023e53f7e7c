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

}  // namespace
}  // namespace velmora::testing
