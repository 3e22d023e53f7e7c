#include <gtest/gtest.h>

#include <cstring>

#include "frame/fsoe_crc.hpp"
#include "frame/fsoe_frame.hpp"
#include "frame/sra_crc.hpp"

using namespace velmora;

TEST(FsoeCrc, TableIsGeneratedFromThePolynomial) {
    EXPECT_EQ(au16CrcTable[1], 0x39B7);
    EXPECT_EQ(au16CrcTable[2], 0x736E);
    EXPECT_EQ(au16CrcTable[3], 0x4AD9);
    EXPECT_EQ(au16CrcTable[128], 0x18FA);
    EXPECT_EQ(au16CrcTable[255], 0x07C1);
}

TEST(FsoeCrc, CheckValueOfDigits) {
    const char* digits = "123456789";
    std::uint16_t crc = 0;
    for (int i = 0; i < 9; ++i) crc = FSOE_CrcByte(crc, static_cast<std::uint8_t>(digits[i]));
    EXPECT_EQ(crc, 0xDDE2);
    // The same bytes in word form, low byte first; the odd ninth byte is fed on its own.
    std::uint16_t words[4];
    for (int i = 0; i < 4; ++i) {
        words[i] = static_cast<std::uint16_t>(digits[2 * i] | (digits[2 * i + 1] << 8));
    }
    EXPECT_EQ(FSOE_CrcByte(FSOE_Crc(words, 4), '9'), 0xDDE2);
    EXPECT_EQ(FSOE_Crc(words, 0), 0);
}

struct BlockCrcCase {
    std::uint16_t n, cmd, seq, conn, crc0;
    std::uint16_t data[3];
    std::uint16_t crcs[3];
};

class BlockCrcReference : public ::testing::TestWithParam<BlockCrcCase> {};

TEST_P(BlockCrcReference, GenerateAndCheck) {
    const auto& c = GetParam();
    FSOE_SFrame f{};
    f.u16DataSizeBytes = c.n;
    f.sControl = {c.cmd, c.seq, c.conn, c.crc0};
    std::uint16_t blocks = FSOE_GetDataSizeWords(c.n);
    for (int i = 0; i < blocks; ++i) f.au16Data[i] = c.data[i];
    FSOE_FrameGenerateCrc(&f);
    for (int i = 0; i < blocks; ++i) EXPECT_EQ(f.au16Crc[i], c.crcs[i]) << "block " << i;
    EXPECT_EQ(FSOE_FrameCalcCrc0(&f), c.crcs[0]);
    EXPECT_TRUE(FSOE_FrameCheckCrc(&f, nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Reference, BlockCrcReference,
    ::testing::Values(
        BlockCrcCase{2, 0x2A, 1, 0, 0, {0}, {0x2DC4}},
        BlockCrcCase{1, 0x36, 1, 0, 0, {0x0012}, {0x92BD}},
        BlockCrcCase{1, 0x36, 0x1234, 0xABCD, 0xBEEF, {0x0012}, {0xC7EC}},
        BlockCrcCase{4, 0x36, 1, 0, 0, {0x1234, 0x5678}, {0xFDEB, 0xA275}},
        BlockCrcCase{
            6, 0x36, 0x1234, 0xABCD, 0xBEEF, {0x1234, 0x5678, 0x9ABC}, {0xAE54, 0xC19F, 0xA68F}}));

TEST(FsoeCrc, OneByteBlockIgnoresHighByteOfDataWord) {
    FSOE_SFrame f{};
    f.u16DataSizeBytes = 1;
    f.sControl = {0x36, 1, 0, 0};
    f.au16Data[0] = 0xFF12;
    FSOE_FrameGenerateCrc(&f);
    EXPECT_EQ(f.au16Crc[0], 0x92BD);
}

TEST(FsoeCrc, EveryControlFieldEntersEveryBlock) {
    FSOE_SFrame base{};
    base.u16DataSizeBytes = 16;
    base.sControl = {0x36, 7, 0x1234, 0x5555};
    for (int i = 0; i < 8; ++i) base.au16Data[i] = static_cast<std::uint16_t>(i * 0x1111);
    FSOE_FrameGenerateCrc(&base);
    for (int field = 0; field < 4; ++field) {
        FSOE_SFrame f = base;
        std::uint16_t* fields[] = {&f.sControl.u16Command, &f.sControl.u16SequenceNum,
                                   &f.sControl.u16ConnectionId, &f.sControl.u16Crc0};
        *fields[field] ^= 1;
        FSOE_FrameGenerateCrc(&f);
        for (int i = 0; i < 8; ++i) EXPECT_NE(f.au16Crc[i], base.au16Crc[i]) << field << "/" << i;
    }
}

TEST(FsoeCrc, CheckFillsEveryBlockAfterMismatchOnlyWithOutputArray) {
    FSOE_SFrame f{};
    f.u16DataSizeBytes = 6;
    f.sControl = {0x36, 1, 0, 0};
    FSOE_FrameGenerateCrc(&f);
    std::uint16_t good[3] = {f.au16Crc[0], f.au16Crc[1], f.au16Crc[2]};
    f.au16Crc[0] ^= 0xFFFF;
    std::uint16_t out[8] = {};
    EXPECT_FALSE(FSOE_FrameCheckCrc(&f, out));
    EXPECT_EQ(out[0], good[0]);
    EXPECT_EQ(out[2], good[2]);
    EXPECT_EQ(out[3], 0);
    EXPECT_FALSE(FSOE_FrameCheckCrc(&f, nullptr));
}

TEST(SraCrc, TableAndReferenceValues) {
    EXPECT_EQ(au32CrcTable[1], 0x814141ABu);
    EXPECT_EQ(au32CrcTable[2], 0x83C3C2FDu);
    EXPECT_EQ(au32CrcTable[128], 0x40005999u);
    EXPECT_EQ(au32CrcTable[255], 0x80006EEEu);
    std::uint32_t crc = 0;
    for (char c : std::string("123456789")) crc = SraCrcByte(crc, static_cast<std::uint8_t>(c));
    EXPECT_EQ(crc, 0x3010BF7Fu);
    EXPECT_EQ(calculate_sra_crc({}), 0u);
    std::uint16_t a[] = {0x0001};
    std::uint16_t b[] = {0x1234, 0x5678};
    std::uint16_t c[] = {0xFFFF, 0x0000, 0x0001};
    EXPECT_EQ(calculate_sra_crc(a), 0x8000B332u);
    EXPECT_EQ(calculate_sra_crc(std::span(b, 1)), 0x8CD350A1u);
    EXPECT_EQ(calculate_sra_crc(b), 0xD0CBA2C6u);
    EXPECT_EQ(calculate_sra_crc(c), 0x08D0FC9Du);
}

TEST(FsoeCodec, SizeRules) {
    // Frame size in words -> safe data size, odd sizes above 1 taken as the next even size.
    const std::pair<std::uint16_t, std::uint16_t> by_words[] = {
        {0, 0}, {1, 0}, {2, 0}, {3, 1}, {4, 2}, {5, 2}, {6, 4}, {7, 4}, {17, 14}, {18, 16}};
    for (auto [words, size] : by_words) EXPECT_EQ(FSOE_GetDataSizeBytes(words), size) << words;
    const std::pair<std::uint16_t, std::uint16_t> lengths[] = {
        {0, 3}, {1, 6}, {2, 7}, {4, 11}, {16, 35}, {3, 7}, {15, 31}, {17, 35}, {0xFFFF, 35}};
    for (auto [size, length] : lengths) EXPECT_EQ(FSOE_GetFrameSizeBytes(size), length) << size;
    EXPECT_EQ(FSOE_GetDataSizeWords(1), 1);
    EXPECT_EQ(FSOE_GetDataSizeWords(2), 1);
    EXPECT_EQ(FSOE_GetDataSizeWords(16), 8);
    EXPECT_EQ(FSOE_GetDataSizeWords(0xFFFF), 8);  // never beyond the record
}

TEST(FsoeCodec, SevenByteExampleInWordForm) {
    FSOE_SFrame f{};
    FSOE_FrameInit(&f, 4);
    ASSERT_EQ(f.u16DataSizeBytes, 2);
    f.sControl.u16Command = 0x36;
    f.au16Data[0] = 0x1234;
    f.au16Crc[0] = 0xABCD;
    f.sControl.u16ConnectionId = 0x0102;
    std::uint16_t words[FSOE_MAX_FRAME_WORDS];
    std::memset(words, 0xFF, sizeof words);
    std::uint16_t length = 0;
    FSOE_FrameToArray(words, &f, &length);
    EXPECT_EQ(length, 7);
    // 36 34 12 CD AB 02 01, padding byte 0; the word after the frame is left alone.
    EXPECT_EQ(words[0], 0x3436);
    EXPECT_EQ(words[1], 0xCD12);
    EXPECT_EQ(words[2], 0x02AB);
    EXPECT_EQ(words[3], 0x0001);
    EXPECT_EQ(words[4], 0xFFFF);
}

TEST(FsoeCodec, DecodeKeepsSequenceAndCrc0AndClearsAllBlocks) {
    FSOE_SFrame f{};
    f.sControl = {0x08, 0x1111, 0x2222, 0x3333};
    for (int i = 0; i < 8; ++i) f.au16Data[i] = f.au16Crc[i] = 0xEEEE;
    const std::uint16_t eight_bytes[4] = {0x3436, 0xCD12, 0x02AB, 0x7701};  // 8th byte ignored
    FSOE_FrameFromArray(&f, eight_bytes, 4);
    EXPECT_EQ(f.sControl.u16Command, 0x36);
    EXPECT_EQ(f.sControl.u16SequenceNum, 0x1111);
    EXPECT_EQ(f.sControl.u16Crc0, 0x3333);
    EXPECT_EQ(f.sControl.u16ConnectionId, 0x0102);
    EXPECT_EQ(f.u16DataSizeBytes, 2);
    EXPECT_EQ(f.au16Data[0], 0x1234);
    EXPECT_EQ(f.au16Crc[0], 0xABCD);
    for (int i = 1; i < 8; ++i) {
        EXPECT_EQ(f.au16Data[i], 0);
        EXPECT_EQ(f.au16Crc[i], 0);
    }
}

TEST(FsoeCodec, OneByteAndEmptyFrames) {
    // 6-byte PDU: command, data byte, CRC at offsets 2-3, connection id at 4-5.
    const std::uint16_t six[3] = {0x1236, 0x92BD, 0x0102};
    FSOE_SFrame f{};
    FSOE_FrameFromArray(&f, six, 3);
    EXPECT_EQ(f.u16DataSizeBytes, 1);
    EXPECT_EQ(f.au16Data[0], 0x12);
    EXPECT_EQ(f.au16Crc[0], 0x92BD);
    EXPECT_EQ(f.sControl.u16ConnectionId, 0x0102);
    f.au16Data[0] = 0xFF12;  // the high byte is not part of a one-byte frame
    std::uint16_t words[FSOE_MAX_FRAME_WORDS] = {};
    std::uint16_t length = 0;
    FSOE_FrameToArray(words, &f, &length);
    EXPECT_EQ(length, 6);
    EXPECT_EQ(std::memcmp(words, six, sizeof six), 0);

    // 3-byte PDU: command and connection id; no CRC is written, the check passes.
    const std::uint16_t three[2] = {0x342A, 0x0012};
    FSOE_FrameFromArray(&f, three, 2);
    EXPECT_EQ(f.u16DataSizeBytes, 0);
    EXPECT_EQ(f.sControl.u16ConnectionId, 0x1234);
    f.au16Crc[0] = 0x5555;
    FSOE_FrameGenerateCrc(&f);
    EXPECT_EQ(f.au16Crc[0], 0x5555);
    EXPECT_TRUE(FSOE_FrameCheckCrc(&f, nullptr));
    FSOE_FrameToArray(words, &f, &length);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(words[0], 0x342A);
    EXPECT_EQ(words[1], 0x0012);
}
