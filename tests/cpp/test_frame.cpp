// Frame objects: sizes, codec of every PDU length, views, control fields, the cyclic CRCs.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "frame/frame.hpp"
#include "protocol/errors.hpp"

using namespace velmora;

namespace {

// The safe-data size a PDU of L bytes carries: W = ceil(L / 2) words give W - 2 bytes
// (none up to 2 words); an odd size above 1 is taken as the next smaller even size.
std::uint16_t expected_size(std::size_t length) {
    std::size_t words = (length + 1) / 2;
    std::size_t n = words <= 2 ? 0 : words - 2;
    if (n > 1 && n % 2 == 1) --n;
    return static_cast<std::uint16_t>(n);
}

std::uint16_t le16(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    auto byte = [&](std::size_t j) -> unsigned { return j < bytes.size() ? bytes[j] : 0u; };
    return static_cast<std::uint16_t>(byte(at) | (byte(at + 1) << 8));
}

template <typename Error, typename F>
std::string error_message(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    ADD_FAILURE() << "no exception";
    return {};
}

}  // namespace

TEST(FSOEFrame, SizeFollowsTheLength) {
    const std::pair<int, int> cases[] = {{0, 0},  {4, 0},   {5, 1},   {6, 1},   {7, 2},
                                         {8, 2},  {9, 2},   {10, 2},  {11, 4},  {14, 4},
                                         {15, 6}, {31, 14}, {33, 14}, {35, 16}, {36, 16}};
    for (auto [length, size] : cases) {
        EXPECT_EQ(FSOEFrame(length).safe_data_size_bytes(), size) << "length " << length;
    }
    EXPECT_EQ(error_message<ValueError>([] { FSOEFrame f(37); }),
              "Frame structure cannot handle more than 16 bytes");
    EXPECT_THROW(FSOEFrame(-1), OverflowError);
}

class DecodeEveryLength : public ::testing::TestWithParam<int> {};

TEST_P(DecodeEveryLength, ReadsTheWireLayoutAndNothingBeyond) {
    const auto length = static_cast<std::size_t>(GetParam());
    std::mt19937 rng(static_cast<unsigned>(length));
    std::vector<std::uint8_t> pdu(length);
    for (auto& b : pdu) b = static_cast<std::uint8_t>(rng());

    FSOEFrame frame(0);
    frame.control().sequence_number(0x1111);
    frame.control().crc0(0x2222);
    for (int i = 0; i < 8; ++i) frame.crcs()[i] = frame.safe_data()[i] = 0xEEEE;
    frame.from_array(pdu);

    const std::uint16_t n = expected_size(length);
    const std::size_t blocks = (n + 1) / 2;
    ASSERT_EQ(frame.safe_data_size_bytes(), n);
    EXPECT_EQ(frame.control().command_raw(), length ? pdu[0] : 0);
    EXPECT_EQ(frame.control().sequence_number(), 0x1111);
    EXPECT_EQ(frame.control().crc0(), 0x2222);
    std::size_t conn_at = 1;
    if (n == 1) {
        EXPECT_EQ(frame.safe_data()[0], pdu[1]);
        EXPECT_EQ(frame.crcs()[0], le16(pdu, 2));
        conn_at = 4;
    } else {
        for (std::size_t i = 0; i < blocks; ++i) {
            EXPECT_EQ(frame.safe_data()[i], le16(pdu, 1 + 4 * i));
            EXPECT_EQ(frame.crcs()[i], le16(pdu, 3 + 4 * i));
        }
        conn_at = 1 + 4 * blocks;
    }
    EXPECT_EQ(frame.control().connection_id(), le16(pdu, conn_at));
    for (std::size_t i = blocks; i < 8; ++i) {
        EXPECT_EQ(frame.safe_data()[i], 0);
        EXPECT_EQ(frame.crcs()[i], 0);
    }
    // Encoding gives back the defined frame: the PDU without the bytes beyond it.
    std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
    std::uint16_t encoded = frame.to_array(out);
    ASSERT_EQ(encoded, n == 0 ? 3 : (n == 1 ? 6 : 2 * n + 3));
    if (length >= encoded) {
        EXPECT_EQ(std::memcmp(out, pdu.data(), encoded), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths0To36, DecodeEveryLength, ::testing::Range(0, 37));

TEST(FSOEFrame, DecodingTooLongRefusesAndChangesNothing) {
    FSOEFrame frame(7);
    frame.safe_data()[0] = 0x1234;
    std::vector<std::uint8_t> pdu(37, 0xFF);
    EXPECT_THROW(frame.from_array(pdu), ValueError);
    EXPECT_EQ(frame.safe_data()[0], 0x1234);
    EXPECT_EQ(frame.safe_data_size_bytes(), 2);
}

TEST(FSOEFrame, FixedLengthDecodePadsAndTruncates) {
    FSOEFrame frame(0);
    const std::uint8_t pdu[] = {0x36, 0x34, 0x12, 0xCD, 0xAB, 0x02, 0x01, 0x99, 0x99};
    frame.from_array_fixed(std::span(pdu, 4), 7);  // missing bytes read as 0
    EXPECT_EQ(frame.safe_data_size_bytes(), 2);
    EXPECT_EQ(frame.crcs()[0], 0x00CD);
    EXPECT_EQ(frame.control().connection_id(), 0);
    frame.from_array_fixed(pdu, 7);  // extra bytes ignored
    EXPECT_EQ(frame.control().connection_id(), 0x0102);
    frame.from_array_fixed(pdu, 60000);  // beyond the record: the largest frame
    EXPECT_EQ(frame.safe_data_size_bytes(), 16);
}

TEST(FSOEFrame, EncodesTheSevenByteExample) {
    FSOEFrame frame(7);
    frame.control().set_command(FSOECommand::PROCESS_DATA);
    frame.safe_data()[0] = 0x1234;
    frame.crcs()[0] = 0xABCD;
    frame.control().connection_id(0x0102);
    std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
    ASSERT_EQ(frame.to_array(out), 7);
    const std::uint8_t expected[] = {0x36, 0x34, 0x12, 0xCD, 0xAB, 0x02, 0x01};
    EXPECT_EQ(std::memcmp(out, expected, 7), 0);
}

TEST(FSOEFrame, OddSizesAboveOneEncodeAsTheNextSmallerEvenSize) {
    for (std::uint16_t n = 3; n <= 15; n += 2) {
        FSOEFrame frame(0);
        frame.set_safe_data_size_bytes(n);
        for (int i = 0; i < 8; ++i) frame.safe_data()[i] = static_cast<std::uint16_t>(0x100 + i);
        std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
        const std::uint16_t length = frame.to_array(out);
        EXPECT_EQ(length, 2 * (n - 1) + 3) << n;
        FSOEFrame back(0);
        back.from_array(std::span(out, length));
        EXPECT_EQ(back.safe_data_size_bytes(), n - 1);
        EXPECT_EQ(back.safe_data()[(n - 1) / 2 - 1], 0x100 + (n - 1) / 2 - 1);
        EXPECT_EQ(back.safe_data()[(n - 1) / 2], 0);
    }
}

TEST(FSOEFrame, SafeDataSizeSetterBounds) {
    FSOEFrame frame(7);
    EXPECT_EQ(error_message<ValueError>([&] { frame.set_safe_data_size_bytes(17); }),
              "Frame structure cannot handle more than 16 bytes");
    EXPECT_THROW(frame.set_safe_data_size_bytes(-1), OverflowError);
    EXPECT_EQ(frame.safe_data_size_bytes(), 2);
    frame.set_safe_data_size_bytes(16);
    EXPECT_EQ(frame.safe_data_size_bytes(), 16);
}

TEST(FSOEFrame, SafeDataBytes) {
    FSOEFrame frame(11);
    for (int i = 0; i < 8; ++i) frame.safe_data()[i] = 0xFFFF;
    const std::uint8_t three[] = {0x01, 0x02, 0x03};
    frame.set_safe_data_bytes(three);
    EXPECT_EQ(frame.safe_data()[0], 0x0201);
    EXPECT_EQ(frame.safe_data()[1], 0x0003);
    for (int i = 2; i < 8; ++i) EXPECT_EQ(frame.safe_data()[i], 0);
    std::uint8_t out[MAX_DATA_BYTES];
    frame.get_safe_data_bytes(out);
    const std::uint8_t expected[MAX_DATA_BYTES] = {1, 2, 3};
    EXPECT_EQ(std::memcmp(out, expected, MAX_DATA_BYTES), 0);

    const std::vector<std::uint8_t> seventeen(17, 0x55);
    EXPECT_EQ(error_message<ValueError>([&] { frame.set_safe_data_bytes(seventeen); }),
              "Frame structure cannot handle more than 16 bytes");
    EXPECT_EQ(frame.safe_data()[0], 0x0201);
}

TEST(U16Array, IndexAndValueRules) {
    FSOEFrame frame(35);
    U16Array& data = frame.safe_data();
    EXPECT_EQ(data.size(), 8u);
    data.set(7, 65535);
    EXPECT_EQ(data.get(7), 65535);
    EXPECT_EQ(frame.record().au16Data[7], 65535);  // a view, not a copy
    EXPECT_EQ(error_message<IndexError>([&] { data.get(8); }), "");
    EXPECT_THROW(data.get(-1), OverflowError);
    EXPECT_THROW(data.get(65536), OverflowError);
    EXPECT_THROW(data.set(8, 0), IndexError);
    EXPECT_THROW(data.set(0, 65536), OverflowError);
    EXPECT_THROW(data.set(0, -1), OverflowError);
    EXPECT_EQ(data.get(0), 0);
    data.clear();
    EXPECT_EQ(data.get(7), 0);

    U16Array empty;
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_THROW(empty.get(0), IndexError);
    empty.clear();
}

TEST(FSOEFrameControl, FieldsAndCommand) {
    FSOEFrame frame(0);
    FSOEFrameControl& c = frame.control();
    EXPECT_FALSE(c.command_is_valid());
    EXPECT_EQ(error_message<ValueError>([&] { c.command(); }), "0 is not a valid FSOECommand");
    c.set_command(FSOECommand::FAILSAFE_DATA);
    EXPECT_TRUE(c.command_is_valid());
    EXPECT_EQ(c.command(), FSOECommand::FAILSAFE_DATA);

    c.set_connection_id(0xABCD);
    EXPECT_THROW(c.set_connection_id(65536), OverflowError);
    EXPECT_THROW(c.set_crc0(-1), OverflowError);
    EXPECT_THROW(c.set_sequence_number(1 << 20), OverflowError);
    EXPECT_EQ(c.connection_id(), 0xABCD);
    EXPECT_EQ(c.crc0(), 0);
    EXPECT_EQ(c.sequence_number(), 0);

    c.increment_sequence_number();
    EXPECT_EQ(c.sequence_number(), 1);
    c.sequence_number(65535);
    c.increment_sequence_number();
    EXPECT_EQ(c.sequence_number(), 1);
}

namespace {

// A frame and a last CRC_0 equal to the CRC_0 it would get, so the edge case must fire.
FSOEFrame& colliding(FSOEFrame& frame, std::uint16_t seq, std::uint16_t& last) {
    frame.control().set_command(FSOECommand::PROCESS_DATA);
    frame.control().sequence_number(seq);
    frame.control().crc0(0x4321);
    frame.safe_data()[0] = 0x0A0B;
    last = frame.calc_crc0();
    return frame;
}

}  // namespace

class CyclicCrc : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(CyclicCrc, SenderAndReceiverAdvanceAlike) {
    const std::uint16_t seq = GetParam();
    std::uint16_t last = 0;
    FSOEFrame sender(7);
    colliding(sender, seq, last);
    sender.generate_crcs_cyclic(last);
    const std::uint16_t expected_seq = seq == 65535 ? 1 : static_cast<std::uint16_t>(seq + 1);
    EXPECT_EQ(sender.control().sequence_number(), expected_seq);
    EXPECT_NE(sender.crcs()[0], last);

    std::uint8_t out[2 * FSOE_MAX_FRAME_WORDS];
    const std::uint16_t length = sender.to_array(out);
    FSOEFrame receiver(length);
    receiver.from_array(std::span(out, length));
    receiver.control().sequence_number(seq);
    receiver.control().crc0(0x4321);
    EXPECT_TRUE(receiver.check_crcs_cyclic(last));
    EXPECT_EQ(receiver.control().sequence_number(), expected_seq);
    // Without the edge case handling the receiver would reject the frame.
    receiver.control().sequence_number(seq);
    EXPECT_FALSE(receiver.check_crcs());
}

INSTANTIATE_TEST_SUITE_P(Sequences, CyclicCrc, ::testing::Values(1, 2, 1000, 65534, 65535));

TEST(CyclicCrcEdges, NoCollisionKeepsTheSequenceNumber) {
    std::uint16_t last = 0;
    FSOEFrame frame(7);
    colliding(frame, 5, last);
    frame.generate_crcs_cyclic(static_cast<std::uint16_t>(last ^ 1));
    EXPECT_EQ(frame.control().sequence_number(), 5);
    EXPECT_EQ(frame.crcs()[0], last);
    EXPECT_TRUE(frame.check_crcs_cyclic(static_cast<std::uint16_t>(last ^ 1)));
    EXPECT_EQ(frame.control().sequence_number(), 5);
}

TEST(CyclicCrcEdges, FrameWithoutSafeDataCannotChangeItsCrc0) {
    FSOEFrame frame(3);
    frame.crcs()[0] = 0x1357;
    frame.control().sequence_number(9);
    EXPECT_EQ(error_message<RuntimeError>([&] { frame.generate_crcs_cyclic(0x1357); }),
              "Cannot generate cyclic CRCs for a frame without safe data");
    EXPECT_EQ(frame.control().sequence_number(), 9);
    EXPECT_EQ(frame.crcs()[0], 0x1357);
    // Any other last CRC_0: nothing to generate, nothing to advance.
    frame.generate_crcs_cyclic(0x1358);
    EXPECT_EQ(frame.control().sequence_number(), 9);
    EXPECT_TRUE(frame.check_crcs());
}

TEST(CyclicCrcEdges, OneByteFrameUsesItsOwnCrc0Form) {
    std::uint16_t last = 0;
    FSOEFrame frame(6);
    colliding(frame, 1, last);
    frame.generate_crcs_cyclic(last);
    EXPECT_EQ(frame.control().sequence_number(), 2);
    FSOE_SFrame reference = frame.record();
    FSOE_FrameGenerateCrc(&reference);
    EXPECT_EQ(frame.crcs()[0], reference.au16Crc[0]);
}
