// The byte codec and the one-pass cyclic check against the reference forms: the word-form
// codec (FSOE_FrameFromArray / FSOE_FrameToArray) and the per-block CRC functions.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "frame/frame.hpp"
#include "frame/fsoe_frame.hpp"
#include "frame/fsoe_frame_bytes.hpp"

using namespace velmora;

namespace {

constexpr std::size_t kMaxPdu = 2 * FSOE_MAX_FRAME_WORDS;

// The reference decode of `length` bytes of which the first `available` are given.
FSOE_SFrame reference_decode(const std::uint8_t* bytes, std::size_t available, std::size_t length,
                             const FSOE_SFrame& before) {
    std::uint16_t words[FSOE_MAX_FRAME_WORDS] = {};
    for (std::size_t j = 0; j < std::min(available, length); ++j) {
        words[j / 2] |= static_cast<std::uint16_t>(bytes[j] << (j % 2 ? 8 : 0));
    }
    FSOE_SFrame frame = before;
    FSOE_FrameFromArray(&frame, words, static_cast<std::uint16_t>((length + 1) / 2));
    return frame;
}

std::vector<std::uint8_t> reference_encode(const FSOE_SFrame& frame) {
    std::uint16_t words[FSOE_MAX_FRAME_WORDS];
    std::memset(words, 0xA5, sizeof words);
    std::uint16_t length = 0;
    FSOE_FrameToArray(words, &frame, &length);
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t j = 0; j < length; ++j) {
        bytes[j] = static_cast<std::uint8_t>(j % 2 ? words[j / 2] >> 8 : words[j / 2] & 0xFF);
    }
    return bytes;
}

FSOE_SFrame random_frame(std::mt19937& rng, std::uint16_t size) {
    FSOE_SFrame f{};
    auto word = [&] { return static_cast<std::uint16_t>(rng()); };
    f.sControl = {word(), word(), word(), word()};
    for (auto& w : f.au16Data) w = word();
    for (auto& w : f.au16Crc) w = word();
    f.u16DataSizeBytes = size;
    return f;
}

}  // namespace

// Every PDU length the frame objects may decode, with random bytes and a record that holds
// old contents (the decode must clear or keep exactly what the reference does).
class FrameBytesByLength : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FrameBytesByLength, DecodeMatchesTheWordFormForRandomPdus) {
    const std::size_t length = GetParam();
    std::mt19937 rng(0xB17E5u + static_cast<unsigned>(length));
    for (int round = 0; round < 500; ++round) {
        std::uint8_t pdu[kMaxPdu];
        for (auto& b : pdu) b = static_cast<std::uint8_t>(rng());
        const FSOE_SFrame before = random_frame(rng, static_cast<std::uint16_t>(rng() % 17));

        FSOE_SFrame fast = before;
        FSOE_FrameFromBytes(&fast, pdu, static_cast<std::uint16_t>(length));
        const FSOE_SFrame expected = reference_decode(pdu, length, length, before);
        ASSERT_EQ(std::memcmp(&fast, &expected, sizeof fast), 0) << "length " << length;

        // Through the frame object, also with fewer bytes given than the fixed length.
        const std::size_t available = rng() % (length + 1);
        FSOEFrame object;
        object.record() = before;
        object.from_array_fixed({pdu, available}, static_cast<std::uint16_t>(length));
        const FSOE_SFrame short_expected = reference_decode(pdu, available, length, before);
        ASSERT_EQ(std::memcmp(&object.record(), &short_expected, sizeof short_expected), 0)
            << "length " << length << ", " << available << " bytes given";
    }
}

INSTANTIATE_TEST_SUITE_P(AllLengths, FrameBytesByLength,
                         ::testing::Range<std::size_t>(0, kMaxPdu + 1));

// Every stored size, the odd ones and those beyond the record included (the encoder brings
// them back to a defined frame).
class FrameBytesBySize : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(FrameBytesBySize, EncodeMatchesTheWordFormForRandomFrames) {
    const std::uint16_t size = GetParam();
    std::mt19937 rng(0xE7C0u + size);
    for (int round = 0; round < 500; ++round) {
        const FSOE_SFrame frame = random_frame(rng, size);
        std::uint8_t out[kMaxPdu];
        std::memset(out, 0x5A, sizeof out);
        const std::uint16_t length = FSOE_FrameToBytes(out, &frame);
        const std::vector<std::uint8_t> expected = reference_encode(frame);
        ASSERT_EQ(length, expected.size()) << "size " << size;
        ASSERT_EQ(std::vector<std::uint8_t>(out, out + length), expected) << "size " << size;
        // Nothing beyond the PDU is written.
        for (std::size_t j = length; j < kMaxPdu; ++j) ASSERT_EQ(out[j], 0x5A);

        // And back: a PDU of a valid size decodes into the frame it came from.
        if (size <= MAX_DATA_BYTES && (size <= 1 || size % 2 == 0)) {
            FSOE_SFrame back = random_frame(rng, 0);
            back.sControl.u16SequenceNum = frame.sControl.u16SequenceNum;
            back.sControl.u16Crc0 = frame.sControl.u16Crc0;
            FSOE_FrameFromBytes(&back, out, length);
            const FSOE_SFrame expected_back = reference_decode(out, length, length, back);
            ASSERT_EQ(std::memcmp(&back, &expected_back, sizeof back), 0);
            ASSERT_EQ(back.u16DataSizeBytes, size);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllSizes, FrameBytesBySize, ::testing::Range<std::uint16_t>(0, 21));

// The cyclic check computes the block CRCs once; the reference computes CRC_0 until it
// differs from the last one sent, then checks every block.
class CyclicCheckBySize : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(CyclicCheckBySize, SameVerdictAndSequenceNumberAsTheReference) {
    const std::uint16_t size = GetParam();
    std::mt19937 rng(0xC7C1u + size);
    for (int round = 0; round < 2000; ++round) {
        FSOE_SFrame record = random_frame(rng, size);
        if (rng() % 2 == 0) FSOE_FrameGenerateCrc(&record);  // mostly valid frames
        // A last CRC_0 equal to the frame's own forces the sequence number on.
        const std::uint16_t last =
            rng() % 3 == 0 ? FSOE_FrameCalcCrc0(&record) : static_cast<std::uint16_t>(rng());
        if (rng() % 8 == 0) record.sControl.u16SequenceNum = 0xFFFF;  // wraps to 1

        FSOE_SFrame reference = record;
        while (FSOE_FrameCalcCrc0(&reference) == last) {
            const std::uint16_t next =
                static_cast<std::uint16_t>(reference.sControl.u16SequenceNum + 1);
            reference.sControl.u16SequenceNum = next == 0 ? 1 : next;
        }
        const bool expected = FSOE_FrameCheckCrc(&reference, nullptr);

        FSOEFrame frame;
        frame.record() = record;
        ASSERT_EQ(frame.check_crcs_cyclic(last), expected) << "size " << size;
        ASSERT_EQ(frame.record().sControl.u16SequenceNum, reference.sControl.u16SequenceNum);
    }
}

INSTANTIATE_TEST_SUITE_P(AllSizes, CyclicCheckBySize,
                         ::testing::Values(0, 1, 2, 4, 6, 8, 10, 12, 14, 16));
