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

// The CRC work of one cycle with the per-block form: one frame's CRCs generated (the
// request) and the other's checked (the reply). The yardstick of the cycle benchmarks.
template <void (*Generate)(FSOE_SFrame*), bool (*Check)(const FSOE_SFrame*, std::uint16_t*)>
void BM_CrcCycle(benchmark::State& state) {
    const auto size = static_cast<std::uint16_t>(state.range(0));
    FSOE_SFrame request = make_frame(size);
    FSOE_SFrame reply = make_frame(size);
    reply.sControl.u16Command = 0x2A;
    for (auto _ : state) {
        request.sControl.u16SequenceNum++;
        Generate(&request);
        // The calculated CRCs are kept, so every block is computed whatever the result.
        std::uint16_t calculated[MAX_CRC_WORDS];
        benchmark::DoNotOptimize(Check(&reply, calculated));
        benchmark::DoNotOptimize(request.au16Crc);
        benchmark::DoNotOptimize(calculated);
    }
}

void BM_CrcCyclePlain(benchmark::State& state) {
    BM_CrcCycle<FSOE_FrameGenerateCrc, FSOE_FrameCheckCrc>(state);
}
void BM_CrcCycleFast(benchmark::State& state) {
    BM_CrcCycle<FSOE_FrameGenerateCrcFast, FSOE_FrameCheckCrcFast>(state);
}

}  // namespace

BENCHMARK(BM_CrcCyclePlain)->Arg(16)->Arg(2);
BENCHMARK(BM_CrcCycleFast)->Arg(16)->Arg(2);
BENCHMARK(BM_GenerateCrcPlain)->Arg(2)->Arg(16);
BENCHMARK(BM_GenerateCrcFast)->Arg(2)->Arg(16);
BENCHMARK(BM_CheckCrcPlain)->Arg(2)->Arg(16);
BENCHMARK(BM_CheckCrcFast)->Arg(2)->Arg(16);
