#include "frame/fsoe_crc_fast.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VELMORA_CRC_CLMUL 1
#else
#define VELMORA_CRC_CLMUL 0
#endif
#include "protocol/cycle_code.hpp"

namespace velmora {
namespace {

// CRC of "lo, hi, 0, 0, 0": a data word and the three trailing zero bytes of its block.
inline std::uint16_t data_tail(std::uint16_t u16Word) {
    return static_cast<std::uint16_t>(detail::kFsoeCrcLead5[u16Word & 0xFF] ^
                                      detail::kFsoeCrcLead4[u16Word >> 8]);
}

// Feeding five zero bytes into a register gives the CRC of its two bytes (high first)
// followed by three zeros, which is data_tail of the byte-swapped register.
inline std::uint16_t zeros5(std::uint16_t u16Reg) {
    return data_tail(static_cast<std::uint16_t>((u16Reg >> 8) | (u16Reg << 8)));
}

std::uint16_t block0_crc(const FSOE_SFrame* psFrame, std::uint16_t u16Prefix) {
    if (psFrame->u16DataSizeBytes == 1) {
        // The leading zero byte of the one-byte form leaves the register at 0, so the prefix
        // is the same; then "Data lo, 0, 0, 0".
        const auto u8Lo = static_cast<std::uint8_t>(psFrame->au16Data[0] & 0xFF);
        return detail::fsoe_crc_zeros(FSOE_CrcByte(u16Prefix, u8Lo), 3);
    }
    return static_cast<std::uint16_t>(zeros5(u16Prefix) ^ data_tail(psFrame->au16Data[0]));
}

// Computes the CRC of every block into au16Out and returns the number of blocks.
std::uint16_t block_crcs_table(const FSOE_SFrame* psFrame, std::uint16_t* au16Out) {
    const std::uint16_t u16Blocks = FSOE_GetDataSizeWords(psFrame->u16DataSizeBytes);
    if (u16Blocks == 0) return 0;
    const std::uint16_t u16Prefix = FSOE_CrcControlPrefix(&psFrame->sControl);
    au16Out[0] = block0_crc(psFrame, u16Prefix);
    if (u16Blocks == 1) return 1;
    // Blocks 1.. (never in the one-byte form) share the prefix fed with "i, 0, lo, hi, 0, 0,
    // 0": the prefix part is seven zero bytes, the index part a constant per block.
    const std::uint16_t u16Zeros7 = detail::fsoe_crc_zeros(zeros5(u16Prefix), 2);
    for (std::uint16_t i = 1; i < u16Blocks; ++i) {
        au16Out[i] = static_cast<std::uint16_t>(u16Zeros7 ^ detail::kFsoeCrcIndex[i] ^
                                                data_tail(psFrame->au16Data[i]));
    }
    return u16Blocks;
}

#if VELMORA_CRC_CLMUL
// The block CRCs without tables. Each block is the shared prefix register p followed by the
// block's own bytes T, so its CRC is (p * x^8n + T) * x^16 mod P: one polynomial V of at most
// 56 bits, reduced as (V * x^16) mod P. Carry-less multiplication does that in two products
// (Barrett: the quotient is floor(V * mu / x^56) with mu = floor(x^72 / P), the remainder the
// low 16 bits of quotient * P), so a cycle that starts with cold caches has no table lines
// to fetch: the tables are 24 lines, read whole by every frame.
constexpr std::uint64_t kCrcPoly = 0x139B7;

constexpr std::uint64_t barrett_mu() {
    // Long division of x^72 by P, one dividend bit at a time; the quotient has degree 56.
    std::uint64_t quotient = 0;
    std::uint32_t remainder = 0;
    for (int degree = 72; degree >= 0; --degree) {
        remainder = (remainder << 1) | (degree == 72 ? 1u : 0u);
        if ((remainder & 0x10000u) != 0) {
            remainder ^= static_cast<std::uint32_t>(kCrcPoly);
            quotient |= std::uint64_t{1} << degree;
        }
    }
    return quotient;
}
constexpr std::uint64_t kBarrettMu = barrett_mu();
static_assert(kBarrettMu >> 56 == 1, "the quotient of x^72 by a degree-16 polynomial");

[[gnu::target("pclmul")]] inline __m128i clmul(std::uint64_t a, std::uint64_t b) {
    return _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(a)),
                                _mm_cvtsi64_si128(static_cast<long long>(b)), 0x00);
}

// (V * x^16) mod P for V below 2^56.
[[gnu::target("pclmul")]] inline std::uint16_t reduce(std::uint64_t v) {
    const __m128i product = clmul(v, kBarrettMu);
    const auto low = static_cast<std::uint64_t>(_mm_cvtsi128_si64(product));
    const auto high = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_srli_si128(product, 8)));
    const std::uint64_t quotient = (low >> 56) | (high << 8);
    return static_cast<std::uint16_t>(_mm_cvtsi128_si64(clmul(quotient, kCrcPoly)));
}

// A word as it enters a block: low byte first, so the low byte is the higher one.
inline std::uint64_t entering(std::uint16_t word) {
    return static_cast<std::uint64_t>(((word & 0xFFu) << 8) | (word >> 8));
}

// Out of line and not unrolled: one small copy of the code serves every caller.
[[gnu::target("pclmul"), gnu::noinline]] VELMORA_CYCLE_CODE
std::uint16_t block_crcs_clmul(const FSOE_SFrame* psFrame, std::uint16_t* au16Out) {
    const std::uint16_t u16Blocks = FSOE_GetDataSizeWords(psFrame->u16DataSizeBytes);
    if (u16Blocks == 0) return 0;
    const FSOE_SFrameControl& c = psFrame->sControl;
    // The seven prefix bytes, the first one highest: Crc0, ConnId, Seq, Cmd.
    const std::uint64_t prefix = (entering(c.u16Crc0) << 40) |
                                 (entering(c.u16ConnectionId) << 24) |
                                 (entering(c.u16SequenceNum) << 8) | (c.u16Command & 0xFFu);
    const std::uint64_t p = reduce(prefix);
    if (psFrame->u16DataSizeBytes == 1) {
        // "Data lo, 0, 0, 0" after the prefix.
        au16Out[0] = reduce((p ^ ((psFrame->au16Data[0] & 0xFFu) << 8)) << 16);
        return 1;
    }
    // Block 0: "lo, hi, 0, 0, 0" after the prefix; block i: "i, 0, lo, hi, 0, 0, 0".
    au16Out[0] = reduce((p ^ entering(psFrame->au16Data[0])) << 24);
#if defined(__clang__)
#pragma nounroll
#elif defined(__GNUC__)
#pragma GCC unroll 1
#endif
    for (std::uint16_t i = 1; i < u16Blocks; ++i) {
        au16Out[i] = reduce(((p << 16) ^ (std::uint64_t{i} << 24) ^
                             entering(psFrame->au16Data[i])) << 24);
    }
    return u16Blocks;
}

bool cpu_has_clmul() noexcept {
    __builtin_cpu_init();  // may run before the constructor that fills the CPU model in
    return __builtin_cpu_supports("pclmul") != 0;
}

const bool kHaveClmul = cpu_has_clmul();
#endif

VELMORA_CYCLE_CODE
std::uint16_t block_crcs(const FSOE_SFrame* psFrame, std::uint16_t* au16Out) {
#if VELMORA_CRC_CLMUL
    if (kHaveClmul) return block_crcs_clmul(psFrame, au16Out);
#endif
    return block_crcs_table(psFrame, au16Out);
}

}  // namespace

namespace detail {

std::uint16_t fsoe_block_crcs_table(const FSOE_SFrame* psFrame, std::uint16_t* au16Crc) {
    return block_crcs_table(psFrame, au16Crc);
}

std::uint16_t fsoe_block_crcs_clmul(const FSOE_SFrame* psFrame, std::uint16_t* au16Crc) {
    return block_crcs(psFrame, au16Crc);  // the product where the CPU has it, else the tables
}

}  // namespace detail

std::uint16_t FSOE_CrcControlPrefix(const FSOE_SFrameControl* psControl) {
    std::uint16_t u16Crc = 0;
    for (std::uint16_t u16Field :
         {psControl->u16Crc0, psControl->u16ConnectionId, psControl->u16SequenceNum}) {
        u16Crc = FSOE_CrcByte(u16Crc, static_cast<std::uint8_t>(u16Field & 0xFF));
        u16Crc = FSOE_CrcByte(u16Crc, static_cast<std::uint8_t>(u16Field >> 8));
    }
    return FSOE_CrcByte(u16Crc, static_cast<std::uint8_t>(psControl->u16Command & 0xFF));
}

VELMORA_CYCLE_CODE
void FSOE_FrameGenerateCrcFast(FSOE_SFrame* psFrame) {
    block_crcs(psFrame, psFrame->au16Crc);
}

bool FSOE_FrameCheckCrcFast(const FSOE_SFrame* psFrame, std::uint16_t* au16CalculatedCrc) {
    std::uint16_t au16Crc[MAX_CRC_WORDS];
    const std::uint16_t u16Blocks = block_crcs(psFrame, au16Crc);
    bool bValid = true;
    for (std::uint16_t i = 0; i < u16Blocks; ++i) {
        if (au16CalculatedCrc != nullptr) au16CalculatedCrc[i] = au16Crc[i];
        if (au16Crc[i] != psFrame->au16Crc[i]) bValid = false;
    }
    return bValid;
}

VELMORA_CYCLE_CODE
std::uint16_t FSOE_FrameCalcCrcsFast(const FSOE_SFrame* psFrame, std::uint16_t* au16Crc) {
    return block_crcs(psFrame, au16Crc);
}

std::uint16_t FSOE_FrameCalcCrc0Fast(const FSOE_SFrame* psFrame) {
    return block0_crc(psFrame, FSOE_CrcControlPrefix(&psFrame->sControl));
}

}  // namespace velmora
