// The Parameter state: the parameter block with its lengths, sent piecewise and echoed.
#include <gtest/gtest.h>

#include "test_master_handler_support.hpp"

namespace velmora::testing {
namespace {

std::vector<ApplicationParameterPtr> params_1_2_4() {
    return {std::make_shared<ApplicationParameter>("a", Value{std::int64_t{0x11}}, 1),
            std::make_shared<ApplicationParameter>("b", Value{std::int64_t{0x2233}}, 2),
            std::make_shared<ApplicationParameter>("c", Value{std::int64_t{0x44556677}}, 4)};
}

struct BlockCase {
    std::uint16_t bytes;
    bool with_params;
    Bytes block;
};

class ParameterBlock : public ::testing::TestWithParam<BlockCase> {};

TEST_P(ParameterBlock, IsSentPiecewiseAndEchoed) {
    const BlockCase& c = GetParam();
    HandlerRig rig(c.bytes, c.bytes,
                   c.with_params ? params_1_2_4() : std::vector<ApplicationParameterPtr>{}, 0.3);
    rig.advance_to(StateId::Parameter);
    // Right after entry the slave's fields hold nothing yet.
    Session& slave = rig.handler->slave().session();
    EXPECT_EQ(u16_value(*slave.watchdog_ms), 0);
    EXPECT_EQ(u16_value(*slave.comm_parameter_size_bytes), 0);
    EXPECT_EQ(u16_value(*slave.app_parameter_size_bytes), 0);
    for (const auto& p : rig.handler->slave().application_parameters())
        EXPECT_EQ(p->_raw_value(), 0u);

    Bytes sent;
    int frames = 0;
    while (rig.handler->state() == StateId::Parameter) {
        const Request r = rig.decoded();
        EXPECT_EQ(r.command, static_cast<std::uint16_t>(FSOECommand::PARAMETER));
        sent.insert(sent.end(), r.safe_data.begin(), r.safe_data.end());
        rig.echo();
        ++frames;
    }
    EXPECT_EQ(rig.handler->state(), StateId::Data);
    EXPECT_EQ(frames, static_cast<int>((c.block.size() + c.bytes - 1) / c.bytes));
    sent.resize(c.block.size());
    EXPECT_EQ(sent, c.block);
    EXPECT_EQ(u16_value(*slave.watchdog_ms), 300);
    EXPECT_EQ(u16_value(*slave.comm_parameter_size_bytes), 2);
    const auto& echoed = rig.handler->slave().application_parameters();
    const auto& params = rig.handler->master().application_parameters();
    ASSERT_EQ(echoed.size(), params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        EXPECT_EQ(echoed[i]->_raw_value(), params[i]->_raw_value());
        EXPECT_EQ(echoed[i]->data_type(), params[i]->data_type());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ParameterBlock,
    ::testing::Values(
        BlockCase{2, false, {2, 0, 0x2C, 0x01, 0, 0}},
        BlockCase{16, false, {2, 0, 0x2C, 0x01, 0, 0}},
        BlockCase{1, true, {2, 0, 0x2C, 0x01, 7, 0, 0x11, 0x33, 0x22, 0x77, 0x66, 0x55, 0x44}},
        BlockCase{4, true, {2, 0, 0x2C, 0x01, 7, 0, 0x11, 0x33, 0x22, 0x77, 0x66, 0x55, 0x44}}));

TEST(StateParameter, WrongWatchdogEchoIsInvalidData) {
    HandlerRig rig(6, 6, {}, 0.3);
    rig.advance_to(StateId::Parameter);
    rig.answer(FSOECommand::PARAMETER, {2, 0, 0x2D, 0x01, 0, 0}, kConnectionId);
    ASSERT_EQ(rig.errors->records.size(), 1u);
    EXPECT_EQ(rig.errors->records[0].transition, "PARA_FAIL2");
    EXPECT_EQ(rig.errors->records[0].message,
              "Data exchanged during parameter state does not match");
    EXPECT_EQ(rig.reset_code(), 7);
}

TEST(StateParameter, ParametersAreLockedWhileRunning) {
    auto params = params_1_2_4();
    HandlerRig rig(2, 2, params);
    EXPECT_THROW(params[0]->set(Value{std::int64_t{1}}), FSOEMasterRunningException);
    EXPECT_EQ(params[0]->_raw_value(), 0x11u);
    rig.handler->stop();
    params[0]->set(Value{std::int64_t{0x99}});
    rig.handler->start();
    rig.advance_to(StateId::Parameter);
    EXPECT_EQ(rig.decoded().safe_data, (Bytes{2, 0}));
    rig.advance_to(StateId::Data);
    EXPECT_EQ(rig.handler->slave().application_parameters()[0]->_raw_value(), 0x99u);
}

}  // namespace
}  // namespace velmora::testing
