#include "frame/fsoe_frame.hpp"

#include <cstring>

#include "frame/fsoe_crc.hpp"
#include "protocol/cycle_code.hpp"

namespace velmora {
namespace {

// Byte j of a PDU in word form; bytes beyond the given words read as 0.
inline std::uint8_t byte_at(const std::uint16_t* words, std::uint16_t size_words, unsigned j) {
    unsigned w = j >> 1;
    if (w >= size_words) return 0;
    return static_cast<std::uint8_t>((j & 1u) ? (words[w] >> 8) : (words[w] & 0xFF));
}

inline std::uint16_t word_at(const std::uint16_t* words, std::uint16_t size_words, unsigned j) {
    return static_cast<std::uint16_t>(byte_at(words, size_words, j) |
                                      (byte_at(words, size_words, j + 1) << 8));
}

inline void put_byte(std::uint16_t* words, unsigned j, std::uint8_t value) {
    std::uint16_t& w = words[j >> 1];
    if (j & 1u) {
        w = static_cast<std::uint16_t>((w & 0x00FF) | (value << 8));
    } else {
        w = static_cast<std::uint16_t>((w & 0xFF00) | value);
    }
}

inline void put_word(std::uint16_t* words, unsigned j, std::uint16_t value) {
    put_byte(words, j, static_cast<std::uint8_t>(value & 0xFF));
    put_byte(words, j + 1, static_cast<std::uint8_t>(value >> 8));
}

// The size that the wire format carries for a stored size: odd sizes above 1 and sizes
// beyond the record are brought back to a defined frame.
inline std::uint16_t wire_size(std::uint16_t n) {
    if (n > MAX_DATA_BYTES) n = MAX_DATA_BYTES;
    if (n > 1 && (n & 1u)) --n;
    return n;
}

}  // namespace

VELMORA_CYCLE_CODE
std::uint16_t FSOE_GetDataSizeWords(std::uint16_t u16DataSizeBytes) {
    std::uint16_t blocks = static_cast<std::uint16_t>((u16DataSizeBytes + 1u) / 2u);
    return blocks > MAX_DATA_WORDS ? MAX_DATA_WORDS : blocks;
}

VELMORA_CYCLE_CODE
std::uint16_t FSOE_GetDataSizeBytes(std::uint16_t u16FrameSizeWords) {
    if (u16FrameSizeWords <= 2) return 0;
    auto n = static_cast<std::uint16_t>((2u * u16FrameSizeWords - 3u) / 2u);
    if (n > 1 && (n & 1u)) --n;
    return n;
}

VELMORA_CYCLE_CODE
std::uint16_t FSOE_GetFrameSizeBytes(std::uint16_t u16DataSizeBytes) {
    std::uint16_t n = wire_size(u16DataSizeBytes);
    return static_cast<std::uint16_t>(((n + 1u) & ~1u) + n + 3u);
}

void FSOE_FrameInit(FSOE_SFrame* psFrame, std::uint16_t u16FrameSizeWords) {
    std::memset(psFrame, 0, sizeof *psFrame);
    psFrame->u16DataSizeBytes = FSOE_GetDataSizeBytes(u16FrameSizeWords);
}

void FSOE_FrameFromArray(FSOE_SFrame* psFrame, const std::uint16_t* pu16Data,
                         std::uint16_t u16SizeWords) {
    std::memset(psFrame->au16Data, 0, sizeof psFrame->au16Data);
    std::memset(psFrame->au16Crc, 0, sizeof psFrame->au16Crc);
    psFrame->sControl.u16Command = byte_at(pu16Data, u16SizeWords, 0);
    std::uint16_t n = FSOE_GetDataSizeBytes(u16SizeWords);
    if (n > MAX_DATA_BYTES) n = MAX_DATA_BYTES;
    if (n == 0) {
        psFrame->sControl.u16ConnectionId = word_at(pu16Data, u16SizeWords, 1);
    } else if (n == 1) {
        psFrame->au16Data[0] = byte_at(pu16Data, u16SizeWords, 1);
        psFrame->au16Crc[0] = word_at(pu16Data, u16SizeWords, 2);
        psFrame->sControl.u16ConnectionId = word_at(pu16Data, u16SizeWords, 4);
    } else {
        std::uint16_t blocks = FSOE_GetDataSizeWords(n);
        for (unsigned i = 0; i < blocks; ++i) {
            psFrame->au16Data[i] = word_at(pu16Data, u16SizeWords, 1 + 4 * i);
            psFrame->au16Crc[i] = word_at(pu16Data, u16SizeWords, 3 + 4 * i);
        }
        psFrame->sControl.u16ConnectionId = word_at(pu16Data, u16SizeWords, 1 + 4 * blocks);
    }
    psFrame->u16DataSizeBytes = n;
}

void FSOE_FrameToArray(std::uint16_t* pu16Data, const FSOE_SFrame* psFrame,
                       std::uint16_t* pu16SizeBytes) {
    std::uint16_t n = wire_size(psFrame->u16DataSizeBytes);
    std::uint16_t length = FSOE_GetFrameSizeBytes(n);
    *pu16SizeBytes = length;
    std::memset(pu16Data, 0, ((length + 1u) / 2u) * sizeof(std::uint16_t));
    put_byte(pu16Data, 0, static_cast<std::uint8_t>(psFrame->sControl.u16Command & 0xFF));
    if (n == 1) {
        put_byte(pu16Data, 1, static_cast<std::uint8_t>(psFrame->au16Data[0] & 0xFF));
        put_word(pu16Data, 2, psFrame->au16Crc[0]);
        put_word(pu16Data, 4, psFrame->sControl.u16ConnectionId);
        return;
    }
    std::uint16_t blocks = FSOE_GetDataSizeWords(n);
    for (unsigned i = 0; i < blocks; ++i) {
        put_word(pu16Data, 1 + 4 * i, psFrame->au16Data[i]);
        put_word(pu16Data, 3 + 4 * i, psFrame->au16Crc[i]);
    }
    put_word(pu16Data, 1 + 4 * blocks, psFrame->sControl.u16ConnectionId);
}

std::uint16_t FSOE_CalcCrc(std::uint16_t u16Index, const FSOE_SFrame* psFrame) {
    // The block's bytes assembled in a zeroed local array of 7 words, as the reference does.
    std::uint16_t au16Block[7] = {};
    const FSOE_SFrameControl& c = psFrame->sControl;
    const std::uint16_t data = psFrame->au16Data[u16Index & (MAX_DATA_WORDS - 1)];
    std::uint16_t words;
    if (u16Index == 0 && psFrame->u16DataSizeBytes == 1) {
        // 0, Crc0 lo, Crc0 hi, ConnId lo, ConnId hi, Seq lo, Seq hi, Cmd, Data lo, 0, 0, 0
        au16Block[0] = static_cast<std::uint16_t>(c.u16Crc0 << 8);
        au16Block[1] = static_cast<std::uint16_t>((c.u16Crc0 >> 8) | (c.u16ConnectionId << 8));
        au16Block[2] =
            static_cast<std::uint16_t>((c.u16ConnectionId >> 8) | (c.u16SequenceNum << 8));
        au16Block[3] =
            static_cast<std::uint16_t>((c.u16SequenceNum >> 8) | ((c.u16Command & 0xFF) << 8));
        au16Block[4] = static_cast<std::uint16_t>(data & 0xFF);
        words = 6;
    } else {
        au16Block[0] = c.u16Crc0;
        au16Block[1] = c.u16ConnectionId;
        au16Block[2] = c.u16SequenceNum;
        if (u16Index == 0) {
            // ..., Cmd, Data lo, Data hi, 0, 0, 0
            au16Block[3] = static_cast<std::uint16_t>((c.u16Command & 0xFF) | (data << 8));
            au16Block[4] = static_cast<std::uint16_t>(data >> 8);
            words = 6;
        } else {
            // ..., Cmd, i, 0, Data lo, Data hi, 0, 0, 0
            au16Block[3] =
                static_cast<std::uint16_t>((c.u16Command & 0xFF) | ((u16Index & 0xFF) << 8));
            au16Block[4] = static_cast<std::uint16_t>(data << 8);
            au16Block[5] = static_cast<std::uint16_t>(data >> 8);
            words = 7;
        }
    }
    return FSOE_Crc(au16Block, words);
}

void FSOE_FrameGenerateCrc(FSOE_SFrame* psFrame) {
    std::uint16_t blocks = FSOE_GetDataSizeWords(psFrame->u16DataSizeBytes);
    for (std::uint16_t i = 0; i < blocks; ++i) psFrame->au16Crc[i] = FSOE_CalcCrc(i, psFrame);
}

bool FSOE_FrameCheckCrc(const FSOE_SFrame* psFrame, std::uint16_t* au16CalculatedCrc) {
    std::uint16_t blocks = FSOE_GetDataSizeWords(psFrame->u16DataSizeBytes);
    bool valid = true;
    for (std::uint16_t i = 0; i < blocks; ++i) {
        std::uint16_t crc = FSOE_CalcCrc(i, psFrame);
        if (au16CalculatedCrc == nullptr) {
            if (crc != psFrame->au16Crc[i]) return false;
        } else {
            au16CalculatedCrc[i] = crc;
            if (crc != psFrame->au16Crc[i]) valid = false;
        }
    }
    return valid;
}

std::uint16_t FSOE_FrameCalcCrc0(const FSOE_SFrame* psFrame) {
    return FSOE_CalcCrc(0, psFrame);
}

}  // namespace velmora
