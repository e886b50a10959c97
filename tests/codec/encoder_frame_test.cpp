// The frame driver end to end: silent and full-scale input, determinism, independence of
// the bytes from the voice-activity setting, and encode -> decode quality on speech.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "celp_codec.h"
#include "celp_encoder.h"

namespace brimvox {
namespace {

bool allFinite(const double* v, int n) {
    for (int i = 0; i < n; ++i) {
        if (!std::isfinite(v[i])) return false;
    }
    return true;
}

void expectEncoderStateFinite(const CelpCodec& c) {
    EXPECT_TRUE(allFinite(c.preFilterX, 9));
    EXPECT_TRUE(allFinite(c.preFilterY, 9));
    EXPECT_TRUE(std::isfinite(c.dcPrevIn) && std::isfinite(c.dcPrevOut));
    EXPECT_TRUE(allFinite(c.prevLsp, LpcOrder));
    EXPECT_TRUE(allFinite(c.prevWeighted, HistoryLength));
    EXPECT_TRUE(allFinite(c.ringHistory, HistoryLength));
    EXPECT_TRUE(allFinite(c.prevExcitation, HistoryLength));
    EXPECT_TRUE(allFinite(c.prevAnalysis, 120));
    EXPECT_TRUE(allFinite(c.weightFirMem, LpcOrder) && allFinite(c.weightIirMem, LpcOrder));
    EXPECT_TRUE(allFinite(c.ringFirMem, LpcOrder) && allFinite(c.ringIirMem, LpcOrder));
    EXPECT_TRUE(std::isfinite(c.vadPrevEnergy));
    EXPECT_GE(c.vadNoiseLevel, 128.0);
    EXPECT_LE(c.vadNoiseLevel, 131071.0);
}

void expectValidFrame(const uint8_t frame[FrameBytes]) {
    const CelpFrameParams p = unpackFrame(frame, 0);
    EXPECT_EQ(p.badFrame, 0);
    for (int k = 0; k < 2; ++k) {
        EXPECT_GE(p.pitchLag[k], MinPitchLag);
        EXPECT_LE(p.pitchLag[k], MaxPitchLag);
    }
    EXPECT_EQ(frame[0] & 3, 0);  // spare bits
}

std::vector<int16_t> loadSpeech() {
    std::ifstream in(BRIMVOX_SPEECH_RAW, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<int16_t> pcm(bytes.size() / 2);
    for (size_t i = 0; i < pcm.size(); ++i) {
        pcm[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return pcm;
}

// Encodes whole frames (the tail padded with zeros); returns the concatenated frames.
std::vector<uint8_t> encodeAll(const std::vector<int16_t>& pcm, int sensitivity,
                               std::vector<int16_t>* decisions = nullptr) {
    CelpCodec codec;
    std::vector<uint8_t> out;
    const size_t frames = (pcm.size() + FrameSamples - 1) / FrameSamples;
    for (size_t f = 0; f < frames; ++f) {
        int16_t block[FrameSamples] = {};
        const size_t n = std::min<size_t>(FrameSamples, pcm.size() - f * FrameSamples);
        std::copy_n(pcm.begin() + static_cast<long>(f * FrameSamples), n, block);
        uint8_t frame[FrameBytes];
        const int16_t d = codec.encodeFrame(block, frame, sensitivity);
        if (decisions) decisions->push_back(d);
        out.insert(out.end(), frame, frame + FrameBytes);
    }
    return out;
}

TEST(EncodeFrame, SilenceFromFreshCodec) {
    CelpCodec codec;
    const int16_t pcm[FrameSamples] = {};
    uint8_t frame[FrameBytes];
    for (int f = 0; f < 6; ++f) {
        codec.encodeFrame(pcm, frame, 50);
        expectValidFrame(frame);
        const CelpFrameParams p = unpackFrame(frame, 0);
        if (f == 0) {
            EXPECT_EQ(p.pitchLag[0], 19);
            EXPECT_EQ(p.subframe[0].pulseSigns, 15);
            EXPECT_EQ(p.subframe[0].pulsePositions, 0);
            EXPECT_EQ(p.subframe[0].fcbGainIndex, 0);
        }
        for (int s = 0; s < 4; ++s) EXPECT_EQ(p.subframe[s].acbGainIndex, 0) << f << " " << s;
        // The tone bit appears at the end of the fourth silent frame and stays.
        EXPECT_EQ(codec.sineDetector < 0, f >= 3) << f;
        EXPECT_EQ(codec.vadLags[2], 18);
        expectEncoderStateFinite(codec);
    }
}

TEST(EncodeFrame, TwoFreshCodecsGiveIdenticalFrames) {
    const std::vector<int16_t> speech = loadSpeech();
    ASSERT_GT(speech.size(), 8000u);
    EXPECT_EQ(encodeAll(speech, 50), encodeAll(speech, 50));
}

uint64_t fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : bytes) {
        h ^= b;
        h *= 1099511628211ull;
    }
    return h;
}

// 64-bit FNV-1a of all frames of the speech sample. The same value on every build (Linux,
// and the Windows builds under Wine) and with both widths of the pitch search's vector kernel
// shows the encoder computes the same doubles everywhere.
TEST(EncodeFrame, SpeechSampleEncodesToTheSameBytesOnEveryBuild) {
    const std::vector<int16_t> speech = loadSpeech();
    std::printf("wide pitch kernel available: %s\n", widePitchKernelInUse() ? "yes" : "no");
    for (bool wide : {false, true}) {
        allowWidePitchKernel(wide);
        const std::vector<uint8_t> frames = encodeAll(speech, 50);
        EXPECT_EQ(frames.size(), 311u * FrameBytes);
        EXPECT_EQ(fnv1a(frames), 0xc617490e7aff997dull)
            << std::hex << fnv1a(frames) << " wide " << wide;
    }
    allowWidePitchKernel(true);
}

TEST(EncodeFrame, DecisionNeverChangesTheBytes) {
    const std::vector<int16_t> speech = loadSpeech();
    std::vector<int16_t> d50, dHigh, dLow;
    const std::vector<uint8_t> a = encodeAll(speech, 50, &d50);
    EXPECT_EQ(encodeAll(speech, 5000, &dHigh), a);
    EXPECT_EQ(encodeAll(speech, -200, &dLow), a);
    EXPECT_NE(d50, dHigh);
    EXPECT_NE(d50, dLow);
    // Speech with pauses: both decisions occur.
    EXPECT_NE(std::count(d50.begin(), d50.end(), 0), 0);
    EXPECT_NE(std::count(d50.begin(), d50.end(), 1), 0);
}

TEST(EncodeFrame, FullScaleInputKeepsExcitationIn16BitRange) {
    struct Signal {
        const char* name;
        int16_t (*sample)(int);
    };
    const Signal signals[] = {
        {"square 40", [](int t) -> int16_t { return (t / 20) % 2 ? 32767 : -32768; }},
        {"square 7", [](int t) -> int16_t { return (t / 7) % 2 ? 32767 : -32768; }},
        {"impulses", [](int t) -> int16_t { return t % 97 == 0 ? 32767 : 0; }},
        {"dc", [](int) -> int16_t { return -32768; }},
        {"noise",
         [](int t) -> int16_t {
             uint32_t x = static_cast<uint32_t>(t) * 2654435761u;
             x ^= x >> 13;
             x *= 0x5bd1e995u;
             x ^= x >> 15;
             return static_cast<int16_t>(x & 0xFFFF);
         }},
    };
    bool clampSeen = false;
    for (const Signal& sig : signals) {
        SCOPED_TRACE(sig.name);
        CelpCodec codec;
        for (int f = 0; f < 40; ++f) {
            int16_t pcm[FrameSamples];
            for (int n = 0; n < FrameSamples; ++n) pcm[n] = sig.sample(f * FrameSamples + n);
            uint8_t frame[FrameBytes];
            codec.encodeFrame(pcm, frame, 50);
            expectValidFrame(frame);
            for (double e : codec.prevExcitation) {
                ASSERT_GE(e, -32768.0);
                ASSERT_LE(e, 32767.0);
                clampSeen = clampSeen || e == -32768.0 || e == 32767.0;
            }
        }
        expectEncoderStateFinite(codec);
    }
    EXPECT_TRUE(clampSeen);
}

// Segmental SNR (dB) of decoded against input with the decoder's output delayed by `delay`,
// over frames with speech energy, each frame's value limited to -10..40 dB.
double segmentalSnr(const std::vector<int16_t>& in, const std::vector<int16_t>& out, int delay) {
    double total = 0.0;
    int count = 0;
    for (size_t f = 0; (f + 1) * FrameSamples + static_cast<size_t>(delay) <= out.size() &&
                       (f + 1) * FrameSamples <= in.size();
         ++f) {
        double signal = 0.0, noise = 0.0;
        for (int n = 0; n < FrameSamples; ++n) {
            const double x = in[f * FrameSamples + n];
            const double y = out[f * FrameSamples + n + delay];
            signal += x * x;
            noise += (x - y) * (x - y);
        }
        if (signal < FrameSamples * 100.0 * 100.0) continue;  // skip pauses (RMS below 100)
        const double snr = 10.0 * std::log10(signal / std::max(noise, 1e-9));
        total += std::clamp(snr, -10.0, 40.0);
        ++count;
    }
    return count ? total / count : -100.0;
}

TEST(EncodeFrame, RoundTripOnSpeechHasPositiveSegmentalSnr) {
    const std::vector<int16_t> speech = loadSpeech();
    const std::vector<uint8_t> frames = encodeAll(speech, 50);
    CelpCodec decoder;
    std::vector<int16_t> decoded(frames.size() / FrameBytes * FrameSamples);
    for (size_t f = 0; f < frames.size() / FrameBytes; ++f) {
        decoder.decodeFrame(&frames[f * FrameBytes], &decoded[f * FrameSamples], 0);
    }
    const double snr = segmentalSnr(speech, decoded, 60);
    std::printf("segmental SNR of encode -> decode at 60 samples delay: %.2f dB\n", snr);
    EXPECT_GT(snr, 0.0);
    // The coded signal is one subframe late: other alignments are clearly worse.
    EXPECT_GT(snr, segmentalSnr(speech, decoded, 0) + 3.0);
    EXPECT_GT(snr, segmentalSnr(speech, decoded, 120) + 3.0);
}

}  // namespace
}  // namespace brimvox
