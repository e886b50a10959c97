#include "test_signal.h"

#include <algorithm>
#include <cmath>

#include "celp_codec.h"

namespace brimvox {

std::vector<int16_t> speechLike(double seconds, uint32_t seed) {
    const size_t n = static_cast<size_t>(seconds * 8000.0);
    std::vector<int16_t> out(n);
    uint32_t state = seed * 2654435761u + 1u;
    const double pi = 3.14159265358979323846;
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / 8000.0;
        const double envelope = std::fmax(0.0, std::sin(2.0 * pi * 1.3 * t));  // syllables
        const double f0 = 110.0 + 20.0 * std::sin(2.0 * pi * 0.7 * t);
        double v = 0.0;
        for (int h = 1; h <= 12; ++h) {
            const double f = f0 * h;
            const double formant = std::exp(-std::pow((f - 700.0) / 300.0, 2.0)) +
                                   0.6 * std::exp(-std::pow((f - 1800.0) / 400.0, 2.0));
            v += formant * std::sin(2.0 * pi * f * t) / std::sqrt(static_cast<double>(h));
        }
        state = state * 1664525u + 1013904223u;
        const double noise = (static_cast<double>(state >> 8) / 16777216.0 - 0.5) * 300.0;
        out[i] = static_cast<int16_t>(std::lround(envelope * 6000.0 * v + noise));
    }
    return out;
}

std::vector<uint8_t> encodeReference(const std::vector<int16_t>& pcm, size_t blocks) {
    CelpCodec codec;
    std::vector<int16_t> padded(pcm);
    padded.resize(std::max(padded.size(), blocks * 720), 0);
    std::vector<uint8_t> frames(blocks * 54);
    for (size_t f = 0; f < blocks * 3; ++f)
        codec.encodeFrame(padded.data() + 240 * f, frames.data() + 18 * f, 50);
    return frames;
}

std::vector<int16_t> decodeReference(const std::vector<uint8_t>& frames) {
    CelpCodec codec;
    const size_t n = frames.size() / 18;
    std::vector<int16_t> pcm(n * 240);
    for (size_t f = 0; f < n; ++f)
        codec.decodeFrame(frames.data() + 18 * f, pcm.data() + 240 * f, 0);
    return pcm;
}

}  // namespace brimvox
