// PDU descriptions: frames built by the frame code decode and check, every kind of damage is
// found and named, the cyclic advance matches the frame's own check, bad sizes are refused.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "frame/frame.hpp"
#include "history/pdu_description.hpp"
#include "protocol/errors.hpp"

using namespace velmora;

namespace {

constexpr std::uint16_t kSizes[] = {0, 1, 2, 4, 6, 8, 10, 12, 14, 16};
constexpr std::uint16_t kCrc0 = 0x4A3B;
constexpr std::uint16_t kSeq = 7;
constexpr std::uint16_t kConn = 0x1234;

struct Sent {
    std::uint8_t command = static_cast<std::uint8_t>(FSOECommand::PROCESS_DATA);
    std::uint16_t size = 4;
    std::uint16_t crc0 = kCrc0;
    std::uint16_t seq = kSeq;
};

std::vector<std::uint8_t> safe_data(std::uint16_t size) {
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0x11 * (i + 1));
    return data;
}

// The PDU a sender with these fields puts on the wire, CRCs by the frame code.
std::vector<std::uint8_t> pdu(const Sent& s) {
    FSOEFrame frame(pdu_length(s.size));
    frame.record().sControl.u16Command = s.command;
    frame.control().sequence_number(s.seq);
    frame.control().crc0(s.crc0);
    frame.control().connection_id(kConn);
    frame.set_safe_data_bytes(safe_data(s.size));
    frame.generate_crcs();
    std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
    const std::uint16_t length = frame.to_array(out);
    return {out, out + length};
}

bool any_problem_has(const PduDescription& d, const std::string& text) {
    for (const std::string& p : d.problems) {
        if (p.find(text) != std::string::npos) return true;
    }
    return false;
}

std::string problems_of(const PduDescription& d) {
    std::string all;
    for (const std::string& p : d.problems) all += p + "\n";
    return all;
}

template <typename F>
std::string value_error(F&& f) {
    try {
        f();
    } catch (const ValueError& e) {
        return e.what();
    }
    ADD_FAILURE() << "no ValueError";
    return {};
}

}  // namespace

class GoodFrames : public ::testing::TestWithParam<std::tuple<FSOECommand, std::uint16_t>> {};

TEST_P(GoodFrames, DecodeAndCheck) {
    const auto [command, size] = GetParam();
    const Sent sent{static_cast<std::uint8_t>(command), size};
    std::vector<std::uint8_t> bytes = pdu(sent);
    ASSERT_EQ(bytes.size(), pdu_length(size));
    if (bytes.size() % 2 == 1) bytes.push_back(0);  // the word form decodes the same

    const PduDescription d = describe_pdu(bytes, size, kCrc0, kSeq);
    EXPECT_EQ(d.length, bytes.size());
    EXPECT_EQ(d.safe_data_bytes, size);
    EXPECT_EQ(d.command, static_cast<std::uint8_t>(command));
    EXPECT_EQ(d.command_name, std::string(command_name(command)));
    EXPECT_EQ(d.connection_id, kConn);
    EXPECT_EQ(d.safe_data, safe_data(size));
    EXPECT_EQ(d.crcs.size(), (size + 1u) / 2u);
    ASSERT_TRUE(d.computed_crcs.has_value());
    EXPECT_EQ(*d.computed_crcs, d.crcs);
    EXPECT_EQ(d.crcs_ok, true);
    EXPECT_TRUE(d.problems.empty()) << problems_of(d);
    EXPECT_EQ(d.sequence_number, kSeq);

    // Without the full reference nothing is checked, and nothing is claimed.
    for (const auto& partial : {describe_pdu(bytes, size), describe_pdu(bytes, size, kCrc0),
                                describe_pdu(bytes, size, std::nullopt, kSeq)}) {
        EXPECT_FALSE(partial.computed_crcs.has_value());
        EXPECT_FALSE(partial.crcs_ok.has_value());
        EXPECT_EQ(partial.crcs, d.crcs);
        EXPECT_TRUE(partial.problems.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(EveryCommandEverySize, GoodFrames,
                         ::testing::Combine(::testing::ValuesIn(kAllCommands),
                                            ::testing::ValuesIn(kSizes)));

class Damage : public ::testing::TestWithParam<std::uint16_t> {
  protected:
    std::uint16_t size() const { return GetParam(); }
    std::size_t blocks() const { return (size() + 1u) / 2u; }
    PduDescription expect_failure(const std::vector<std::uint8_t>& bytes) const {
        PduDescription d = describe_pdu(bytes, size(), kCrc0, kSeq);
        EXPECT_EQ(d.crcs_ok, false);
        return d;
    }
};

TEST_P(Damage, DataOfBlockZero) {
    auto bytes = pdu({.size = size()});
    bytes[1] ^= 0x40;
    const PduDescription d = expect_failure(bytes);
    EXPECT_TRUE(any_problem_has(d, "block 0 CRC is " + hex_u16(d.crcs[0]))) << problems_of(d);
    EXPECT_FALSE(any_problem_has(d, "block 1 CRC")) << problems_of(d);
    if (blocks() > 1) {
        EXPECT_TRUE(any_problem_has(d, "only block 0 failed")) << problems_of(d);
    }
}

TEST_P(Damage, CrcOfTheLastBlock) {
    auto bytes = pdu({.size = size()});
    const std::size_t last = blocks() - 1;
    bytes[1 + 4 * last + 2] ^= 0x01;  // a byte of its CRC
    const PduDescription d = expect_failure(bytes);
    const std::string name = "block " + std::to_string(last);
    EXPECT_TRUE(any_problem_has(d, name + " CRC is ")) << problems_of(d);
    if (last > 0) {
        EXPECT_TRUE(any_problem_has(d, "only " + name + " failed")) << problems_of(d);
        EXPECT_FALSE(any_problem_has(d, "block 0 CRC")) << problems_of(d);
    } else {
        EXPECT_TRUE(any_problem_has(d, "the only block fails")) << problems_of(d);
    }
}

TEST_P(Damage, SequenceNumberOfTheSender) {
    for (const std::uint16_t seq : {std::uint16_t{kSeq + 3}, std::uint16_t{kSeq - 2}}) {
        const PduDescription d = expect_failure(pdu({.size = size(), .seq = seq}));
        EXPECT_TRUE(any_problem_has(d, "the CRCs check with sequence number " +
                                           std::to_string(seq) + ", not " + std::to_string(kSeq)))
            << problems_of(d);
    }
}

TEST_P(Damage, CrcZeroReferenceOfTheSender) {
    const PduDescription d = expect_failure(pdu({.size = size(), .crc0 = 0x0BAD}));
    if (blocks() >= 2) {
        EXPECT_TRUE(any_problem_has(d, "the CRCs check with CRC_0 0x0BAD, not 0x4A3B"))
            << problems_of(d);
    } else {
        // One CRC cannot tell the reference apart: every reference fits some CRC.
        EXPECT_TRUE(any_problem_has(d, "the only block fails")) << problems_of(d);
    }
}

TEST_P(Damage, UnknownCommandIsNamedEvenWithGoodCrcs) {
    const PduDescription d = describe_pdu(pdu({.command = 0x99, .size = size()}), size(), kCrc0, kSeq);
    EXPECT_EQ(d.command, 0x99);
    EXPECT_FALSE(d.command_name.has_value());
    EXPECT_EQ(d.crcs_ok, true);
    EXPECT_EQ(d.problems, std::vector<std::string>{"command 0x99 is not an FSoE command"});
}

INSTANTIATE_TEST_SUITE_P(EverySizeWithData, Damage, ::testing::Values(1, 2, 4, 8, 16));

class Cyclic : public ::testing::TestWithParam<std::uint16_t> {};

// The advance is the one FSOEFrame::check_crcs_cyclic makes, for every size, at the wrap.
TEST_P(Cyclic, AdvancesAsTheFrameCheckDoes) {
    const std::uint16_t size = GetParam();
    for (const std::uint16_t seq : {std::uint16_t{kSeq}, std::uint16_t{0xFFFF}}) {
        // The previous CRC_0 the sender would repeat with this sequence number.
        FSOEFrame probe(pdu_length(size));
        probe.control().sequence_number(seq);
        probe.control().crc0(kCrc0);
        probe.control().connection_id(kConn);
        probe.record().sControl.u16Command = static_cast<std::uint8_t>(FSOECommand::PROCESS_DATA);
        probe.set_safe_data_bytes(safe_data(size));
        const std::uint16_t previous = probe.calc_crc0();
        const std::uint16_t next = seq == 0xFFFF ? 1 : seq + 1;

        const auto bytes = pdu({.size = size, .seq = next});
        const PduDescription d = describe_pdu(bytes, size, kCrc0, seq, previous);
        FSOEFrame frame;
        frame.from_array(bytes);
        frame.control().crc0(kCrc0);
        frame.control().sequence_number(seq);
        const bool frame_ok = frame.check_crcs_cyclic(previous);
        EXPECT_EQ(d.sequence_number, frame.control().sequence_number());
        EXPECT_EQ(d.sequence_number, next);
        EXPECT_EQ(d.crcs_ok, frame_ok);
        EXPECT_EQ(d.crcs_ok, true) << problems_of(d);

        // Another previous CRC_0 leaves the number alone.
        const PduDescription plain = describe_pdu(bytes, size, kCrc0, next, previous ^ 1);
        EXPECT_EQ(plain.sequence_number, next);
        EXPECT_EQ(plain.crcs_ok, true);
    }
}

INSTANTIATE_TEST_SUITE_P(EverySize, Cyclic, ::testing::ValuesIn(kSizes));

TEST(DescribePdu, RefusesSizesAndLengthsThatDoNotFit) {
    const auto seven = pdu({.size = 2});
    for (const std::uint16_t size : {3, 5, 15, 17, 18, 0xFFFF}) {
        const std::string message = value_error([&] { describe_pdu(seven, size); });
        EXPECT_NE(message.find(std::to_string(size) + " bytes of safe data is not a frame size"),
                  std::string::npos)
            << message;
    }
    EXPECT_EQ(value_error([&] { describe_pdu(seven, 4); }),
              "a PDU of 7 bytes does not fit 4 bytes of safe data, which take 11 bytes (12 in "
              "word form)");
    const std::vector<std::uint8_t> six(6);
    EXPECT_EQ(value_error([&] { describe_pdu(std::span(six).first(5), 1); }),
              "a PDU of 5 bytes does not fit 1 byte of safe data, which take 6 bytes");
    EXPECT_NE(value_error([&] { describe_pdu({}, 0); }).find("a PDU of 0 bytes"), std::string::npos);
    const std::vector<std::uint8_t> long_pdu(37);
    EXPECT_NE(value_error([&] { describe_pdu(long_pdu, 16); }).find("37 bytes is longer"),
              std::string::npos);
}

TEST(DescribePdu, InfersTheSizeOfEveryLengthAFrameHas) {
    for (std::size_t length = 0; length <= 40; ++length) {
        std::optional<std::uint16_t> fits;
        for (const std::uint16_t size : kSizes) {
            if (!pdu_length_problem(length, size)) {
                EXPECT_FALSE(fits.has_value()) << "two sizes for length " << length;
                fits = size;
            }
        }
        EXPECT_EQ(safe_data_bytes_for_length(length), fits) << "length " << length;
    }
    EXPECT_EQ(safe_data_bytes_for_length(36), 16);
    EXPECT_EQ(safe_data_bytes_for_length(9), std::nullopt);
}

TEST(PduText, ShowsFieldsVerdictAndProblems) {
    auto bytes = pdu({.size = 4});
    bytes[5] ^= 0xFF;  // block 1 data
    const std::string text = pdu_text(describe_pdu(bytes, 4, kCrc0, kSeq));
    for (const char* piece : {"PDU of 11 bytes: PROCESS_DATA (0x36), 4 bytes of safe data",
                             "connection id    4660 (0x1234)", "CRCs             FAIL",
                             "reference        CRC_0 0x4A3B, sequence number 7",
                             "    - block 1 CRC is", "    - only block 1 failed"}) {
        EXPECT_NE(text.find(piece), std::string::npos) << piece << "\n" << text;
    }
    EXPECT_NE(pdu_text(describe_pdu(bytes, 4)).find("CRCs             not checked"),
              std::string::npos);
    // A description built by hand with vectors that disagree still prints safely.
    PduDescription odd;
    odd.crcs = {1, 2, 3};
    odd.computed_crcs = std::vector<std::uint16_t>{1};
    odd.crcs_ok = false;
    EXPECT_NE(pdu_text(odd).find("block 2"), std::string::npos);
}
