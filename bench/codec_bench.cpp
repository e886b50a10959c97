// Speed of the speech codec on one core. Real-time factor = 30 ms / time per frame.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
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

// Speech to encode: the test sample when it is there, otherwise a synthetic voiced signal.
std::vector<int16_t> speechSamples() {
    std::vector<int16_t> pcm;
#ifdef BRIMVOX_SPEECH_RAW
    std::ifstream in(BRIMVOX_SPEECH_RAW, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        pcm.push_back(static_cast<int16_t>(static_cast<uint8_t>(bytes[i]) |
                                           static_cast<uint8_t>(bytes[i + 1]) << 8));
    }
#endif
    if (pcm.size() < 100 * FrameSamples) {
        pcm.resize(100 * FrameSamples);
        for (size_t n = 0; n < pcm.size(); ++n) {
            const double t = static_cast<double>(n);
            pcm[n] = static_cast<int16_t>(6000.0 * std::sin(0.05 * t) * std::sin(0.0011 * t) +
                                          2500.0 * std::sin(0.37 * t));
        }
    }
    pcm.resize(pcm.size() / FrameSamples * FrameSamples);
    return pcm;
}

void BM_encodeFrame(benchmark::State& state) {
    const std::vector<int16_t> pcm = speechSamples();
    const size_t count = pcm.size() / FrameSamples;
    CelpCodec codec;
    uint8_t frame[FrameBytes];
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(codec.encodeFrame(&pcm[i * FrameSamples], frame, 50));
        benchmark::DoNotOptimize(frame);
        if (++i == count) i = 0;
    }
    state.counters["realtime_x"] = benchmark::Counter(
        0.030 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_encodeFrame);

// Worst case for the pulse search: full-scale noise passes the threshold often.
void BM_encodeFrameNoise(benchmark::State& state) {
    std::mt19937 rng(3);
    std::vector<int16_t> pcm(50 * FrameSamples);
    for (int16_t& s : pcm) s = static_cast<int16_t>(rng());
    CelpCodec codec;
    uint8_t frame[FrameBytes];
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(codec.encodeFrame(&pcm[i * FrameSamples], frame, 50));
        if (++i == 50) i = 0;
    }
    state.counters["realtime_x"] = benchmark::Counter(
        0.030 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_encodeFrameNoise);

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
