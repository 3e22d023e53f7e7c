// The Connection state: connection id and slave address sent piecewise and echoed.
#include <gtest/gtest.h>

#include "test_master_handler_support.hpp"

namespace velmora::testing {
namespace {

struct SizeCase {
    std::uint16_t bytes;
    std::vector<std::string> transitions;
};

class ConnectionPieces : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ConnectionPieces, StaysUntilBothItemsAreEchoed) {
    HandlerRig rig(GetParam().bytes, GetParam().bytes);
    rig.advance_to(StateId::Connection);
    TraceCapture trace;
    Bytes sent;
    while (rig.handler->state() == StateId::Connection) {
        const Request r = rig.decoded();
        EXPECT_EQ(r.connection_id, kConnectionId);
        sent.insert(sent.end(), r.safe_data.begin(), r.safe_data.end());
        rig.echo();
    }
    EXPECT_EQ(TraceCapture::transitions(), GetParam().transitions);
    EXPECT_EQ(rig.handler->state(), StateId::Parameter);
    sent.resize(4);
    EXPECT_EQ(sent, (Bytes{0x34, 0x12, 0x42, 0x00}));
    // The echo went into the slave's session items.
    EXPECT_EQ(u16_value(*rig.handler->slave().session().connection_id), kConnectionId);
    EXPECT_EQ(u16_value(*rig.handler->slave().session().slave_address), kSlaveAddress);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ConnectionPieces,
                         ::testing::Values(SizeCase{4, {"CONN_OK"}},
                                           SizeCase{2, {"CONNECTION_STAY1", "CONN_OK"}},
                                           SizeCase{1,
                                                    {"CONNECTION_STAY1", "CONNECTION_STAY1",
                                                     "CONNECTION_STAY1", "CONN_OK"}}));

TEST(StateConnection, WrongAddressEchoIsInvalidData) {
    HandlerRig rig(4, 4);
    rig.advance_to(StateId::Connection);
    rig.answer(FSOECommand::CONNECTION, {0x34, 0x12, 0x43, 0x00}, kConnectionId);
    ASSERT_EQ(rig.errors->records.size(), 1u);
    EXPECT_EQ(rig.errors->records[0].transition, "CONN_FAIL2");
    EXPECT_EQ(rig.reset_code(), 7);
}

TEST(StateConnection, PartialEchoIsCheckedAtEveryStep) {
    HandlerRig rig(1, 1);
    rig.advance_to(StateId::Connection);
    rig.echo();                                                  // low byte of the connection id
    rig.answer(FSOECommand::CONNECTION, {0x13}, kConnectionId);  // wrong high byte
    ASSERT_EQ(rig.errors->records.size(), 1u);
    EXPECT_EQ(rig.errors->records[0].transition, "CONN_FAIL2");
}

}  // namespace
}  // namespace velmora::testing
