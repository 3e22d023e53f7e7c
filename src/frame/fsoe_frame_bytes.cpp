#include "frame/fsoe_frame_bytes.hpp"

#include <cstring>
#include "protocol/cycle_code.hpp"

namespace velmora {
namespace {

inline std::uint16_t load16(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline void store16(std::uint8_t* p, std::uint16_t value) noexcept {
    p[0] = static_cast<std::uint8_t>(value & 0xFF);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

VELMORA_CYCLE_CODE
void FSOE_FrameFromBytes(FSOE_SFrame* psFrame, const std::uint8_t* pu8Data,
                         std::uint16_t u16SizeBytes) {
    std::memset(psFrame->au16Data, 0, sizeof psFrame->au16Data);
    std::memset(psFrame->au16Crc, 0, sizeof psFrame->au16Crc);
    // The size rule of the word form: a PDU of W words carries W - 2 bytes (even above 1).
    std::uint16_t n = FSOE_GetDataSizeBytes(static_cast<std::uint16_t>((u16SizeBytes + 1u) / 2u));
    if (n > MAX_DATA_BYTES) n = MAX_DATA_BYTES;
    // Byte j of the word form: PDU byte j, or the zero padding of an odd PDU.
    auto byte = [&](unsigned j) -> std::uint8_t { return j < u16SizeBytes ? pu8Data[j] : 0; };
    auto word = [&](unsigned j) {
        return static_cast<std::uint16_t>(byte(j) | (byte(j + 1) << 8));
    };
    psFrame->sControl.u16Command = byte(0);
    if (n == 0) {
        psFrame->sControl.u16ConnectionId = word(1);
    } else if (n == 1) {
        psFrame->au16Data[0] = byte(1);
        psFrame->au16Crc[0] = word(2);
        psFrame->sControl.u16ConnectionId = word(4);
    } else {
        // Every byte of the frame is within the PDU here (4B + 3 <= 2W - 1 < size + 1).
        const unsigned blocks = n / 2u;
        const std::uint8_t* p = pu8Data + 1;
        for (unsigned i = 0; i < blocks; ++i, p += 4) {
            psFrame->au16Data[i] = load16(p);
            psFrame->au16Crc[i] = load16(p + 2);
        }
        psFrame->sControl.u16ConnectionId = load16(p);
    }
    psFrame->u16DataSizeBytes = n;
}

VELMORA_CYCLE_CODE
std::uint16_t FSOE_FrameToBytes(std::uint8_t* pu8Data, const FSOE_SFrame* psFrame) {
    // The size the wire format carries: odd sizes above 1 and sizes beyond the record are
    // brought back to a defined frame, as FSOE_FrameToArray does.
    std::uint16_t n = psFrame->u16DataSizeBytes;
    if (n > MAX_DATA_BYTES) n = MAX_DATA_BYTES;
    if (n > 1 && (n & 1u)) --n;
    pu8Data[0] = static_cast<std::uint8_t>(psFrame->sControl.u16Command & 0xFF);
    if (n == 1) {
        pu8Data[1] = static_cast<std::uint8_t>(psFrame->au16Data[0] & 0xFF);
        store16(pu8Data + 2, psFrame->au16Crc[0]);
        store16(pu8Data + 4, psFrame->sControl.u16ConnectionId);
        return 6;
    }
    const unsigned blocks = n / 2u;
    std::uint8_t* p = pu8Data + 1;
    for (unsigned i = 0; i < blocks; ++i, p += 4) {
        store16(p, psFrame->au16Data[i]);
        store16(p + 2, psFrame->au16Crc[i]);
    }
    store16(p, psFrame->sControl.u16ConnectionId);
    return static_cast<std::uint16_t>(4u * blocks + 3u);
}

}  // namespace velmora
