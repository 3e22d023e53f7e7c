// The slave simulator against a scripted master: connection into the Data state for many
// sizes, process data both ways, the CRC_0 edge case both ways, sequence numbers past 65535,
// the slave's own checks, every fault, the watchdog clock, garbage input.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "protocol/errors.hpp"
#include "sim/slave_simulator.hpp"
#include "test_slave_simulator_master.hpp"

using namespace velmora;
using namespace velmora::sim;
using velmora::testing::MasterSetup;
using velmora::testing::ScriptedMaster;
using MState = ScriptedMaster::State;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::span<const std::uint8_t> s) {
    return {s.begin(), s.end()};
}

FaultOptions value(std::int64_t v) {
    FaultOptions o;
    o.value = v;
    return o;
}
FaultOptions count_of(std::int64_t n) {
    FaultOptions o;
    o.count = n;
    return o;
}
FaultOptions index_of(std::int64_t i) {
    FaultOptions o;
    o.index = i;
    return o;
}

SlaveSimulator make_sim(const MasterSetup& m, std::uint64_t seed = 1) {
    return SlaveSimulator(m.slave_address, m.connection_id, m.input_bytes, m.output_bytes,
                          m.watchdog_ms, m.application_parameters, seed);
}

// Cycles until `done` holds (checked after each cycle) or the limit is reached.
template <typename Done>
int run(ScriptedMaster& master, SlaveSimulator& sim, int limit, Done done) {
    for (int i = 0; i < limit; ++i) {
        master.set_reply(sim.process(master.request()));
        if (done()) return i + 1;
    }
    return -1;
}

void connect(ScriptedMaster& master, SlaveSimulator& sim) {
    ASSERT_GT(run(master, sim, 200,
                  [&] { return master.state() == MState::Data && sim.state() == SimState::DATA; }),
              0)
        << "last transition " << master.last_transition();
}

int count(const std::vector<std::string>& names, const std::string& name) {
    return static_cast<int>(std::count(names.begin(), names.end(), name));
}

bool only_good_transitions(const std::vector<std::string>& names) {
    return std::none_of(names.begin(), names.end(), [](const std::string& n) {
        return n.find("FAIL") != std::string::npos || n.find("RESET1") != std::string::npos ||
               n.find("STAY2") != std::string::npos;
    });
}

Bytes pattern(std::size_t n, std::uint8_t start) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(start + 17 * i);
    return b;
}

// --- Connection for sizes and parameter sets ---

struct SizeCase {
    std::uint16_t input_bytes;
    std::uint16_t output_bytes;
    Bytes params;
};

class SimConnect : public ::testing::TestWithParam<SizeCase> {};

TEST_P(SimConnect, ReachesDataAndExchangesProcessDataBothWays) {
    const SizeCase& c = GetParam();
    MasterSetup setup;
    setup.input_bytes = c.input_bytes;
    setup.output_bytes = c.output_bytes;
    setup.application_parameters = c.params;
    ScriptedMaster master(setup);
    SlaveSimulator sim = make_sim(setup);
    master.start();
    connect(master, sim);

    // The number of frames of each piecewise transfer follows the bytes per frame.
    const int init = std::min(c.input_bytes, c.output_bytes);
    auto frames = [&](int n) { return (n + init - 1) / init; };
    const auto& t = master.transitions();
    EXPECT_TRUE(only_good_transitions(t));
    EXPECT_EQ(count(t, "SESSION_STAY1"), frames(2) - 1);
    EXPECT_EQ(count(t, "CONNECTION_STAY1"), frames(4) - 1);
    EXPECT_EQ(count(t, "PARA_STAY1"), frames(6 + static_cast<int>(c.params.size())) - 1);
    EXPECT_EQ(sim.master_session_id(), master.master_session_id());
    EXPECT_EQ(sim.initialization_data_bytes(), init);

    // Fail-safe data first: the slave applies no outputs. This master sends its outputs in
    // fail-safe frames too, which the slave notes (fail-safe data is all zeros).
    const auto not_zero_notes = [&sim] {
        std::size_t n = 0;
        for (std::size_t i = 0; i < sim.events().size(); ++i) {
            n += sim.events()[i].kind == SimEventKind::FAILSAFE_NOT_ZERO ? 1 : 0;
        }
        return n;
    };
    EXPECT_EQ(not_zero_notes(), 0u);
    master.outputs() = pattern(c.output_bytes, 3);
    run(master, sim, 2, [] { return false; });
    EXPECT_FALSE(sim.outputs_valid());
    EXPECT_EQ(bytes(sim.outputs()), Bytes(c.output_bytes, 0));
    EXPECT_GT(not_zero_notes(), 0u);
    std::size_t notes = 0;

    master.fail_safe = false;
    for (std::uint8_t round = 0; round < 5; ++round) {
        master.outputs() = pattern(c.output_bytes, round);
        const Bytes in = pattern(c.input_bytes, static_cast<std::uint8_t>(100 + round));
        sim.set_inputs(in);
        run(master, sim, 2, [] { return false; });
        EXPECT_EQ(bytes(sim.outputs()), master.outputs());
        EXPECT_EQ(master.inputs(), in);
        // The request built before the switch was still fail-safe; none after it.
        if (round == 0) notes = not_zero_notes();
    }
    EXPECT_TRUE(sim.outputs_valid());
    EXPECT_EQ(master.last_transition(), "DATA_OK1");
    EXPECT_EQ(sim.errors_detected(), 0u);
    EXPECT_EQ(not_zero_notes(), notes);  // process data is no fail-safe data
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SimConnect,
    ::testing::Values(SizeCase{1, 1, {}}, SizeCase{2, 2, {}}, SizeCase{4, 4, {}},
                      SizeCase{6, 6, {}}, SizeCase{16, 16, {}}, SizeCase{1, 16, {}},
                      SizeCase{16, 1, {}}, SizeCase{2, 6, {}}, SizeCase{6, 2, {}},
                      SizeCase{1, 1, {0xA5}}, SizeCase{2, 2, {0x11, 0x22}},
                      SizeCase{4, 2, {1, 2, 3, 4}}, SizeCase{6, 6, {9, 8, 7, 6, 5, 4, 3}},
                      SizeCase{16, 16, pattern(13, 1)}));

// --- Frames pinned against the reference CRC values ---

TEST(SimFrames, ResetReplyMatchesReferenceBlockCrc) {
    // Command 0x2A, sequence number 1, connection id 0, reference CRC_0 0, data 0x0000.
    SlaveSimulator sim(1, 1, 2, 2, 100);
    FSOEFrame reset(7);
    reset.control().set_command(FSOECommand::RESET);
    reset.generate_crcs();
    std::uint8_t out[36];
    const Bytes request(out, out + reset.to_array(out));
    EXPECT_EQ(bytes(sim.process(request)), (Bytes{0x2A, 0x00, 0x00, 0xC4, 0x2D, 0x00, 0x00}));
}

TEST(SimFrames, OneByteFrameMatchesReferenceBlockCrc) {
    // Command 0x36, sequence number 1, connection id 0, reference CRC_0 0, data 0x12: a Reset
    // frame carrying error 0x12 whose command is swapped for PROCESS_DATA.
    SlaveSimulator sim(1, 1, 1, 1, 100);
    sim.inject(SimFault::RESET, value(0x12));
    sim.inject(SimFault::WRONG_COMMAND, value(0x36));
    const Bytes reply = bytes(sim.process(Bytes{0x2A, 0, 0, 0, 0, 0}));
    EXPECT_EQ(reply, (Bytes{0x36, 0x12, 0xBD, 0x92, 0x00, 0x00}));
}

// --- Sequence numbers and the CRC_0 edge case ---

TEST(SimSequence, RunsPastSequenceNumber65535) {
    MasterSetup setup;
    ScriptedMaster master(setup);
    SlaveSimulator sim = make_sim(setup);
    master.start();
    connect(master, sim);
    master.fail_safe = false;
    for (int i = 0; i < 66000; ++i) {
        master.outputs()[0] = static_cast<std::uint8_t>(i);
        master.set_reply(sim.process(master.request()));
        ASSERT_EQ(master.last_transition(), "DATA_OK1") << "cycle " << i;
    }
    EXPECT_EQ(sim.errors_detected(), 0u);
    // The last request carried the outputs of the cycle before.
    EXPECT_EQ(sim.outputs()[0], static_cast<std::uint8_t>(65998));
}

// The data word that gives a frame the CRC_0 `target`.
std::uint16_t data_for_crc0(std::uint16_t command, std::uint16_t seq, std::uint16_t conn,
                            std::uint16_t crc0, std::uint16_t target) {
    FSOEFrame f(7);
    f.record().sControl = {command, seq, conn, crc0};
    for (std::uint32_t w = 0; w <= 0xFFFF; ++w) {
        f.record().au16Data[0] = static_cast<std::uint16_t>(w);
        if (f.calc_crc0() == target) return static_cast<std::uint16_t>(w);
    }
    ADD_FAILURE() << "no data word gives that CRC_0";
    return 0;
}

TEST(SimSequence, FollowsTheMastersCrc0EdgeCase) {
    MasterSetup setup;
    ScriptedMaster master(setup);
    SlaveSimulator sim = make_sim(setup);
    master.start();
    connect(master, sim);
    master.fail_safe = false;
    const Bytes reply = bytes(sim.process(master.request()));
    // Outputs that give the master's next frame, generated plainly, its previous CRC_0.
    FSOEFrame peek(7);
    peek.from_array(reply);
    const std::uint16_t seq = master.master_frame().control().sequence_number();
    const std::uint16_t word =
        data_for_crc0(0x36, seq, setup.connection_id, peek.crcs()[0], *master.master_last_crc0());
    master.outputs() = {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8)};
    master.set_reply(reply);
    EXPECT_EQ(master.master_frame().control().sequence_number(), seq + 2);  // one skipped
    master.set_reply(sim.process(master.request()));
    EXPECT_EQ(master.last_transition(), "DATA_OK1");
    EXPECT_EQ(bytes(sim.outputs()), master.outputs());
}

TEST(SimSequence, AppliesTheCrc0EdgeCaseToItsOwnReplies) {
    MasterSetup setup;
    ScriptedMaster master(setup);
    SlaveSimulator sim = make_sim(setup);
    master.start();
    connect(master, sim);
    // Inputs that give the slave's next reply, generated plainly, its previous CRC_0.
    FSOEFrame request(7);
    request.from_array(master.request());
    const std::uint16_t seq = master.slave_frame().control().sequence_number();
    const std::uint16_t word =
        data_for_crc0(0x36, seq, setup.connection_id, request.crcs()[0], *master.slave_last_crc0());
    const Bytes in{static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8)};
    sim.set_inputs(in);
    master.set_reply(sim.process(master.request()));
    EXPECT_EQ(master.last_transition(), "DATA_OK1");
    EXPECT_EQ(master.inputs(), in);
    EXPECT_EQ(master.slave_frame().control().sequence_number(), seq + 2);
}

// --- The slave's own checks ---

struct CheckCase {
    const char* name;
    void (*configure)(MasterSetup& master, MasterSetup& slave);
    MState tamper_state;
    void (*tamper)(FSOEFrame&);
    BaseError expected;
};

void no_config(MasterSetup&, MasterSetup&) {}

const CheckCase kChecks[] = {
    {"connection_id_data", no_config, MState::Connection,
     [](FSOEFrame& f) { f.safe_data()[0] ^= 1; }, BaseError::INVALID_CONNID},
    {"address", [](MasterSetup&, MasterSetup& s) { s.slave_address = 7; }, MState::Reset, nullptr,
     BaseError::INVALID_ADDRESS},
    {"watchdog", [](MasterSetup&, MasterSetup& s) { s.watchdog_ms = 99; }, MState::Reset, nullptr,
     BaseError::INVALID_COMPARA},
    {"comm_para_length", [](MasterSetup& m, MasterSetup&) { m.comm_parameter_length = 4; },
     MState::Reset, nullptr, BaseError::INVALID_COMMPARALEN},
    {"user_para_length",
     [](MasterSetup& m, MasterSetup&) { m.application_parameters.push_back(5); }, MState::Reset,
     nullptr, BaseError::INVALID_USERPARALEN},
    {"user_para", [](MasterSetup& m, MasterSetup&) { m.application_parameters[1] ^= 1; },
     MState::Reset, nullptr, BaseError::INVALID_USERPARA},
    {"connection_id_field", no_config, MState::Connection,
     [](FSOEFrame& f) { f.control().connection_id(0x0999); }, BaseError::INVALID_CONNID},
    {"session_connection_id_field", no_config, MState::Session,
     [](FSOEFrame& f) { f.control().connection_id(1); }, BaseError::INVALID_CONNID},
    {"sequence_number", no_config, MState::Data,
     [](FSOEFrame& f) { f.control().increment_sequence_number(); }, BaseError::INVALID_CRC},
    {"unknown_command", no_config, MState::Parameter,
     [](FSOEFrame& f) { f.record().sControl.u16Command = 0x77; }, BaseError::UNKNOWN_CMD},
    {"unexpected_command", no_config, MState::Data,
     [](FSOEFrame& f) { f.control().set_command(FSOECommand::PARAMETER); }, BaseError::INVALID_CMD},
    {"padding", no_config, MState::Session, [](FSOEFrame& f) { f.safe_data()[3] = 0x0100; },
     BaseError::INVALID_DATA},
};

class SimChecks : public ::testing::TestWithParam<CheckCase> {};

TEST_P(SimChecks, ViolationIsAnsweredWithResetAndCode) {
    const CheckCase& c = GetParam();
    MasterSetup master_setup;
    master_setup.output_bytes = 8;
    master_setup.application_parameters = {1, 2, 3};
    MasterSetup slave_setup = master_setup;
    c.configure(master_setup, slave_setup);
    ScriptedMaster master(master_setup);
    SlaveSimulator sim = make_sim(slave_setup);
    bool tampered = false;
    if (c.tamper != nullptr) {
        master.tamper = [&](FSOEFrame& f, MState s) {
            if (s == c.tamper_state && !tampered) {
                c.tamper(f);
                tampered = true;
            }
        };
    }
    master.start();
    const int cycles = run(master, sim, 100, [&] { return sim.last_error().has_value(); });
    ASSERT_GT(cycles, 0);
    EXPECT_EQ(sim.last_error(), c.expected);
    EXPECT_EQ(sim.state(), SimState::RESET);
    EXPECT_EQ(sim.reply()[0], 0x2A);
    EXPECT_EQ(sim.reply()[1], static_cast<std::uint8_t>(c.expected));
    EXPECT_EQ(sim.errors_detected(), 1u);
    // The master has the Reset frame already and learns the code from it.
    EXPECT_EQ(master.slave_error(), static_cast<std::uint16_t>(c.expected));
    if (c.tamper != nullptr) {
        // A master that sends correct frames again reconnects.
        connect(master, sim);
        EXPECT_EQ(sim.errors_detected(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(All, SimChecks, ::testing::ValuesIn(kChecks),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimChecks, RequestOfWrongLengthIsInvalidData) {
    SlaveSimulator sim(1, 1, 2, 2, 100);
    const Bytes reply = bytes(sim.process(Bytes{0x2A, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(reply.size(), 7u);
    EXPECT_EQ(reply[0], 0x2A);
    EXPECT_EQ(reply[1], static_cast<std::uint8_t>(BaseError::INVALID_DATA));
    EXPECT_EQ(sim.last_error(), BaseError::INVALID_DATA);
}

// --- Faults, as the master sees them, and recovery ---

struct FaultCase {
    const char* name;
    SimFault fault;
    FaultOptions options;
    MState when;  // inject once the master is in this state
    const char* transition;
    bool recovers_by_itself;
};

const FaultCase kFaults[] = {
    {"corrupt_crc_data", SimFault::CORRUPT_CRC, {}, MState::Data, "DATA_FAIL1", true},
    {"corrupt_crc_connection", SimFault::CORRUPT_CRC, {}, MState::Connection, "CONN_FAIL1", true},
    {"corrupt_crc_parameter", SimFault::CORRUPT_CRC, {}, MState::Parameter, "PARA_FAIL1", true},
    {"corrupt_crc_session", SimFault::CORRUPT_CRC, {}, MState::Session, "SESSION_STAY2", true},
    {"wrong_connection_id", SimFault::WRONG_CONNECTION_ID, {}, MState::Data, "DATA_FAIL2", true},
    {"wrong_connection_id_conn", SimFault::WRONG_CONNECTION_ID, value(9), MState::Connection,
     "CONN_FAIL3", true},
    {"reset", SimFault::RESET, value(9), MState::Data, "DATA_RESET1", true},
    {"unknown_command", SimFault::UNKNOWN_COMMAND, {}, MState::Data, "DATA_FAIL4", true},
    {"wrong_command", SimFault::WRONG_COMMAND, {}, MState::Data, "DATA_FAIL3", true},
    {"wrong_command_session", SimFault::WRONG_COMMAND, {}, MState::Session, "SESSION_FAIL3", true},
    {"wrong_address", SimFault::WRONG_ADDRESS, {}, MState::Reset, "CONN_FAIL2", true},
    {"wrong_watchdog", SimFault::WRONG_WATCHDOG, value(5), MState::Reset, "PARA_FAIL2", true},
    {"wrong_parameter", SimFault::WRONG_PARAMETER, index_of(1), MState::Reset, "PARA_FAIL2", true},
    {"failsafe_data", SimFault::FAILSAFE_DATA, {}, MState::Data, "DATA_OK2", true},
};

class SimFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SimFaults, MasterSeesTheFaultAndReconnects) {
    const FaultCase& c = GetParam();
    MasterSetup setup;
    setup.application_parameters = {4, 5};
    ScriptedMaster master(setup);
    SlaveSimulator sim = make_sim(setup);
    master.start();
    if (c.when != MState::Reset) {
        ASSERT_GT(run(master, sim, 100, [&] { return master.state() == c.when; }), 0);
    }
    master.fail_safe = false;
    sim.set_inputs(Bytes{0x5A, 0xA5});
    sim.inject(c.fault, c.options);
    const std::size_t before = master.transitions().size();
    ASSERT_GT(run(master, sim, 100, [&] { return count(master.transitions(), c.transition) > 0; }),
              0);
    EXPECT_FALSE(sim.faults().armed(c.fault));
    const auto& t = master.transitions();
    EXPECT_NE(std::find(t.begin() + static_cast<long>(before), t.end(), c.transition), t.end());
    if (c.fault == SimFault::FAILSAFE_DATA) {
        EXPECT_EQ(master.inputs(), Bytes(2, 0));
    }
    if (c.fault == SimFault::RESET) {
        EXPECT_EQ(master.slave_error(), 9);
    }
    connect(master, sim);
    run(master, sim, 2, [] { return false; });
    EXPECT_EQ(master.inputs(), (Bytes{0x5A, 0xA5}));
}

INSTANTIATE_TEST_SUITE_P(All, SimFaults, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimFaults, CountedAndPersistentFaults) {
    MasterSetup setup;
    ScriptedMaster master(setup);
    SlaveSimulator sim = make_sim(setup);
    master.start();
    connect(master, sim);
    sim.inject(SimFault::FAILSAFE_DATA, count_of(3));
    run(master, sim, 5, [] { return false; });
    EXPECT_EQ(count(master.transitions(), "DATA_OK2"), 3);
    sim.inject(SimFault::FAILSAFE_DATA, count_of(FaultOptions::kUntilCleared));
    run(master, sim, 10, [] { return false; });
    EXPECT_EQ(count(master.transitions(), "DATA_OK2"), 13);
    EXPECT_TRUE(sim.faults().armed(SimFault::FAILSAFE_DATA));
    sim.clear_faults();
    run(master, sim, 1, [] { return false; });
    EXPECT_EQ(master.last_transition(), "DATA_OK1");
}

TEST(SimFaults, SilentSlaveRepeatsItsLastReplyUntilCleared) {
    MasterSetup setup;
    ScriptedMaster master(setup);
    SlaveSimulator sim = make_sim(setup);
    master.start();
    connect(master, sim);
    const Bytes last = bytes(sim.reply());
    const std::uint64_t frames = sim.frames_received();
    sim.inject(SimFault::SILENT);
    const std::size_t before = master.transitions().size();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(bytes(sim.process(master.request())), last);
    master.set_reply(last);
    EXPECT_EQ(master.transitions().size(), before);  // nothing new reached the master
    EXPECT_EQ(sim.frames_received(), frames);
    sim.clear_fault(SimFault::SILENT);
    run(master, sim, 3, [] { return false; });
    EXPECT_EQ(master.last_transition(), "DATA_OK1");

    sim.inject(SimFault::SILENT, count_of(2));
    sim.process(master.request());
    sim.process(master.request());
    EXPECT_FALSE(sim.faults().armed(SimFault::SILENT));
}

TEST(SimFaults, InvalidInjectionsAreRefused) {
    SlaveSimulator sim(1, 1, 2, 2, 100);
    EXPECT_THROW(sim.inject(SimFault::WRONG_PARAMETER), ValueError);  // no parameters
    EXPECT_THROW(sim.inject(SimFault::UNKNOWN_COMMAND, value(0x36)), ValueError);
    EXPECT_THROW(sim.inject(SimFault::UNKNOWN_COMMAND, value(256)), OverflowError);
    EXPECT_THROW(sim.inject(SimFault::WRONG_COMMAND, value(0x77)), ValueError);
    EXPECT_THROW(sim.inject(SimFault::CORRUPT_CRC, value(1)), ValueError);
    EXPECT_THROW(sim.inject(SimFault::RESET, count_of(-5)), ValueError);
    EXPECT_THROW(sim.inject(SimFault::RESET, value(70000)), OverflowError);
    SlaveSimulator with_params(1, 1, 2, 2, 100, Bytes{1, 2});
    EXPECT_THROW(with_params.inject(SimFault::WRONG_PARAMETER, index_of(2)), IndexError);
    for (std::size_t i = 0; i < kFaultCount; ++i)
        EXPECT_FALSE(sim.faults().armed(static_cast<SimFault>(i)));
}

// --- Watchdog on the host's clock, host reset ---

TEST(SimWatchdog, ExpiresOnlyAfterTheWatchdogTimeAndMasterRecovers) {
    MasterSetup setup;
    ScriptedMaster master(setup);
    SlaveSimulator sim = make_sim(setup);
    master.start();
    connect(master, sim);
    sim.advance(setup.watchdog_ms);  // exactly the watchdog time is still in time
    EXPECT_EQ(sim.state(), SimState::DATA);
    sim.advance(0.5);
    EXPECT_EQ(sim.state(), SimState::RESET);
    EXPECT_EQ(sim.last_error(), BaseError::WD_EXPIRED);
    // The master's pending request is no new frame: it gets the slave's Reset frame.
    master.set_reply(sim.process(master.request()));
    EXPECT_EQ(master.last_transition(), "DATA_RESET1");
    EXPECT_EQ(master.slave_error(), static_cast<std::uint16_t>(BaseError::WD_EXPIRED));
    connect(master, sim);
    // process with a time: frames within the watchdog time keep the connection.
    double now = sim.time_ms();
    for (int i = 0; i < 10; ++i) {
        now += 60;
        master.set_reply(sim.process(master.request(), now));
    }
    EXPECT_EQ(sim.state(), SimState::DATA);
    EXPECT_THROW(sim.process(master.request(), now - 1), ValueError);
    EXPECT_THROW(sim.advance(-1), ValueError);
}

TEST(SimWatchdog, ZeroWatchdogNeverExpiresAndResetStateIsNotSupervised) {
    SlaveSimulator idle(1, 1, 2, 2, 100);
    idle.advance(1e9);
    EXPECT_FALSE(idle.last_error().has_value());
    MasterSetup setup;
    setup.watchdog_ms = 0;
    ScriptedMaster master(setup);
    SlaveSimulator sim = make_sim(setup);
    master.start();
    connect(master, sim);
    sim.advance(1e9);
    EXPECT_EQ(sim.state(), SimState::DATA);
}

TEST(SimHost, HostResetSendsResetFrameAtOnce) {
    MasterSetup setup;
    ScriptedMaster master(setup);
    SlaveSimulator sim = make_sim(setup);
    master.start();
    connect(master, sim);
    sim.reset(6);
    EXPECT_EQ(sim.state(), SimState::RESET);
    EXPECT_EQ(bytes(sim.reply()).at(1), 6);
    master.set_reply(sim.process(master.request()));
    EXPECT_EQ(master.last_transition(), "DATA_RESET1");
    EXPECT_EQ(master.slave_error(), 6);
    connect(master, sim);
    master.reset();  // and a reset by the master is acknowledged
    master.set_reply(sim.process(master.request()));
    EXPECT_EQ(master.last_transition(), "RESET_OK");
    EXPECT_EQ(sim.master_error(), 0);
    connect(master, sim);
}

// --- Repeats, events, determinism, garbage ---

TEST(SimInput, RepeatedRequestIsNoNewFrame) {
    SlaveSimulator sim(1, 1, 2, 2, 100);
    EXPECT_TRUE(sim.process({}).empty());  // nothing answered yet
    const Bytes reset{0x2A, 0, 0, 0xC4, 0x2D, 0, 0};
    const Bytes first = bytes(sim.process(reset));
    EXPECT_EQ(bytes(sim.process(reset)), first);
    EXPECT_EQ(bytes(sim.process({})), first);
    EXPECT_EQ(sim.frames_received(), 1u);
    EXPECT_EQ(sim.process_calls(), 4u);
    const EventLog& log = sim.events();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].kind, SimEventKind::IGNORED);
    EXPECT_EQ(log[1].kind, SimEventKind::FRAME);
    EXPECT_EQ(log[1].reply, 0x2A);
    EXPECT_EQ(log[2].kind, SimEventKind::MASTER_RESET);
    EXPECT_EQ(log[3].kind, SimEventKind::REPEAT);
    EXPECT_EQ(describe(log[1]), "received RESET, replied RESET");
}

TEST(SimInput, EventLogKeepsTheNewest) {
    SlaveSimulator sim(1, 1, 2, 2, 100, {}, 1, 3);
    for (int i = 0; i < 10; ++i) sim.process({});
    ASSERT_EQ(sim.events().size(), 3u);
    EXPECT_EQ(sim.events()[0].number, 7u);
    EXPECT_EQ(sim.events()[2].number, 9u);
    SlaveSimulator none(1, 1, 2, 2, 100, {}, 1, 0);
    none.process({});
    EXPECT_EQ(none.events().size(), 0u);
}

TEST(SimInput, SeedMakesSessionIdsRepeatable) {
    auto session_ids = [](std::uint64_t seed) {
        MasterSetup setup;
        ScriptedMaster master(setup);
        SlaveSimulator sim = make_sim(setup, seed);
        std::vector<std::uint16_t> ids;
        master.start();
        for (int i = 0; i < 3; ++i) {
            connect(master, sim);
            ids.push_back(sim.session_id());
            sim.reset(0);
        }
        return ids;
    };
    EXPECT_EQ(session_ids(42), session_ids(42));
    EXPECT_NE(session_ids(42), session_ids(43));
}

TEST(SimInput, GarbageNeverBreaksTheSlave) {
    MasterSetup setup;
    SlaveSimulator sim = make_sim(setup);
    std::mt19937 random(5);
    for (int i = 0; i < 20000; ++i) {
        Bytes garbage(random() % 41);
        if (i % 3 == 0) garbage.resize(sim.request_length());
        for (auto& b : garbage) b = static_cast<std::uint8_t>(random());
        if (i % 5 == 0 && !garbage.empty()) garbage[0] = 0x4E;  // a Session frame, bad CRCs
        const Bytes reply = bytes(sim.process(garbage));
        ASSERT_TRUE(reply.empty() || reply.size() == sim.reply_length());
    }
    ScriptedMaster master(setup);
    master.start();
    connect(master, sim);
}

TEST(SimInput, RejectsInvalidConfiguration) {
    EXPECT_THROW(SlaveSimulator(1, 0, 2, 2, 100), ValueError);
    EXPECT_THROW(SlaveSimulator(70000, 1, 2, 2, 100), OverflowError);
    EXPECT_THROW(SlaveSimulator(1, 1, 3, 2, 100), ValueError);
    EXPECT_THROW(SlaveSimulator(1, 1, 2, 0, 100), ValueError);
    EXPECT_THROW(SlaveSimulator(1, 1, 2, 18, 100), ValueError);
    EXPECT_THROW(SlaveSimulator(1, 1, 2, 2, -1), OverflowError);
    EXPECT_THROW(SlaveSimulator(1, 1, 2, 2, 100, {}, 1, -1), ValueError);
    SlaveSimulator sim(1, 1, 2, 2, 100);
    EXPECT_THROW(sim.set_inputs(Bytes{1}), ValueError);
}

}  // namespace
