// Block CRCs of one frame: the straightforward per-block form against the shared-prefix form.
#include <benchmark/benchmark.h>

#include "frame/fsoe_crc_fast.hpp"
#include "frame/fsoe_frame.hpp"

namespace {

using namespace velmora;

FSOE_SFrame make_frame(std::uint16_t size_bytes) {
    FSOE_SFrame frame{};
    frame.u16DataSizeBytes = size_bytes;
    frame.sControl = {0x36, 0x1234, 0xABCD, 0xBEEF};
    for (unsigned i = 0; i < MAX_DATA_WORDS; ++i) {
        frame.au16Data[i] = static_cast<std::uint16_t>(0x1111u * (i + 1));
    }
    return frame;
}

void BM_GenerateCrcPlain(benchmark::State& state) {
    FSOE_SFrame frame = make_frame(static_cast<std::uint16_t>(state.range(0)));
    for (auto _ : state) {
        frame.sControl.u16SequenceNum++;
        FSOE_FrameGenerateCrc(&frame);
        benchmark::DoNotOptimize(frame.au16Crc);
    }
}

void BM_GenerateCrcFast(benchmark::State& state) {
    FSOE_SFrame frame = make_frame(static_cast<std::uint16_t>(state.range(0)));
    for (auto _ : state) {
        frame.sControl.u16SequenceNum++;
        FSOE_FrameGenerateCrcFast(&frame);
        benchmark::DoNotOptimize(frame.au16Crc);
    }
}

void BM_CheckCrcPlain(benchmark::State& state) {
    FSOE_SFrame frame = make_frame(static_cast<std::uint16_t>(state.range(0)));
    FSOE_FrameGenerateCrc(&frame);
    for (auto _ : state) {
        std::uint16_t out[MAX_CRC_WORDS] = {};
        benchmark::DoNotOptimize(FSOE_FrameCheckCrc(&frame, out));
        benchmark::ClobberMemory();
    }
}

void BM_CheckCrcFast(benchmark::State& state) {
    FSOE_SFrame frame = make_frame(static_cast<std::uint16_t>(state.range(0)));
    FSOE_FrameGenerateCrc(&frame);
    for (auto _ : state) {
        std::uint16_t out[MAX_CRC_WORDS] = {};
        benchmark::DoNotOptimize(FSOE_FrameCheckCrcFast(&frame, out));
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK(BM_GenerateCrcPlain)->Arg(2)->Arg(16);
BENCHMARK(BM_GenerateCrcFast)->Arg(2)->Arg(16);
BENCHMARK(BM_CheckCrcPlain)->Arg(2)->Arg(16);
BENCHMARK(BM_CheckCrcFast)->Arg(2)->Arg(16);
