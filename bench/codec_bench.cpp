// Speed of the speech codec on one core. Real-time factor = 30 ms / time per frame.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "celp_codec.h"

namespace {

using namespace brimvox;

// A valid frame stream with varied parameters (lags, gains, pulses, LSP rows).
std::vector<uint8_t> validFrames(int count) {
    std::mt19937 rng(7);
    std::vector<uint8_t> bytes(static_cast<size_t>(count) * FrameBytes);
    for (int f = 0; f < count; ++f) {
        CelpFrameParams p;
        p.lspIndex = static_cast<int32_t>(rng() & 0xFFFFFF);
        p.pitchLag[0] = MinPitchLag + static_cast<int32_t>(rng() % 124);
        p.pitchLag[1] = MinPitchLag + static_cast<int32_t>(rng() % 124);
        for (int s = 0; s < SubframeCount; ++s) {
            CelpSubframeParams& sp = p.subframe[s];
            sp.lagOffset = s % 2 ? static_cast<int32_t>(rng() % 4) : 1;
            sp.acbGainIndex = static_cast<int32_t>(rng() % AcbGainRows);
            sp.fcbGainIndex = static_cast<int32_t>(rng() % 12);
            sp.pulseSigns = static_cast<int32_t>(rng() % 16);
            sp.pulsePositions = static_cast<int32_t>(rng() % 2048);
        }
        packFrame(p, &bytes[static_cast<size_t>(f) * FrameBytes]);
    }
    return bytes;
}

void BM_decodeFrame(benchmark::State& state) {
    const int count = 1000;
    const std::vector<uint8_t> frames = validFrames(count);
    CelpCodec codec;
    int16_t pcm[FrameSamples];
    size_t i = 0;
    for (auto _ : state) {
        codec.decodeFrame(&frames[i * FrameBytes], pcm, 0);
        benchmark::DoNotOptimize(pcm);
        i = (i + 1) % count;
    }
    state.counters["realtime_x"] = benchmark::Counter(
        0.030 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_decodeFrame);

void BM_unpackFrame(benchmark::State& state) {
    const std::vector<uint8_t> frames = validFrames(256);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(unpackFrame(&frames[i * FrameBytes], 0));
        i = (i + 1) & 255;
    }
}
BENCHMARK(BM_unpackFrame);

}  // namespace
