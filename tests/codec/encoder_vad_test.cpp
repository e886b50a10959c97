// Voice-activity detector: first-frame threshold, sensitivity, noise floor, periodicity,
// hangover.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "celp_encoder.h"

namespace brimvox {
namespace {

// A frame whose measured energy (mean square of samples 60..239, halved) is about e.
void frameWithEnergy(double speech[FrameSamples], double e) {
    const double a = std::sqrt(2.0 * e);
    for (int n = 0; n < FrameSamples; ++n) speech[n] = n < 60 ? 1e6 : a;
}

TEST(Vad, FirstFrameThresholdAndNoiseRise) {
    const double threshold = (0.96875 * 14533 + 0.03125 * 12953) * 1056.0 / 4096.0 * 0.7;
    EXPECT_NEAR(threshold, 2613.84, 0.01);
    double speech[FrameSamples];
    {
        CelpCodec codec;
        frameWithEnergy(speech, threshold * 1.0001);
        EXPECT_EQ(detectVoiceActivity(codec, speech, 50), 1);
        EXPECT_EQ(codec.vadNoiseLevel, 1056.0);
        EXPECT_EQ(codec.vadAdaptCount, 0);
    }
    {
        CelpCodec codec;
        frameWithEnergy(speech, threshold * 0.9999);
        EXPECT_EQ(detectVoiceActivity(codec, speech, 50), 0);
        EXPECT_NEAR(codec.vadPrevEnergy, threshold * 0.9999, 1e-6);
    }
}

TEST(Vad, HigherSensitivityValueRaisesThreshold) {
    double speech[FrameSamples];
    frameWithEnergy(speech, 3000.0);  // above 2613.84 (factor 0.7), below factor 1.0
    CelpCodec a, b;
    EXPECT_EQ(detectVoiceActivity(a, speech, 50), 1);
    EXPECT_EQ(detectVoiceActivity(b, speech, 100), 0);
}

TEST(Vad, HangoverAfterTwoSpeechFrames) {
    CelpCodec codec;
    double loud[FrameSamples], quiet[FrameSamples] = {};
    frameWithEnergy(loud, 1e6);
    EXPECT_EQ(detectVoiceActivity(codec, loud, 50), 1);
    EXPECT_EQ(detectVoiceActivity(codec, loud, 50), 1);
    EXPECT_EQ(codec.vadHangover, 6);
    // Voice count 2 -> 1 -> 0, then six frames of hangover, then silence.
    for (int f = 0; f < 7; ++f) EXPECT_EQ(detectVoiceActivity(codec, quiet, 50), 1) << f;
    EXPECT_EQ(codec.vadHangover, 0);
    EXPECT_EQ(detectVoiceActivity(codec, quiet, 50), 0);
}

TEST(Vad, LongSilenceDrivesNoiseFloorDown) {
    CelpCodec codec;
    const double quiet[FrameSamples] = {};
    int16_t last = 1;
    for (int f = 0; f < 50; ++f) last = detectVoiceActivity(codec, quiet, 50);
    EXPECT_EQ(last, 0);
    EXPECT_EQ(codec.vadNoiseLevel, 128.0);
}

TEST(Vad, NoiseFloorOf128UsesLastTableEntry) {
    // Level held at 128 (decaying below and clamped): threshold 20529 * 128 / 4096 * 0.7.
    const double threshold = 20529.0 * 128.0 / 4096.0 * 0.7;
    for (double factor : {0.999, 1.001}) {
        CelpCodec codec;
        codec.vadNoiseLevel = 128.0;
        codec.vadPrevEnergy = 1e9;
        codec.vadAdaptCount = 6;
        double speech[FrameSamples];
        frameWithEnergy(speech, threshold * factor);
        EXPECT_EQ(detectVoiceActivity(codec, speech, 50), factor > 1.0 ? 1 : 0);
        EXPECT_EQ(codec.vadNoiseLevel, 128.0);
    }
}

TEST(Vad, PeriodicLagsOrToneBlockNoiseAdaptation) {
    const double quiet[FrameSamples] = {};
    auto adaptAfter = [&](int16_t l0, int16_t l1, int16_t l2, int16_t l3, int16_t sine) {
        CelpCodec codec;
        codec.vadLags[0] = l0;
        codec.vadLags[1] = l1;
        codec.vadLags[2] = l2;
        codec.vadLags[3] = l3;
        codec.sineDetector = sine;
        codec.vadAdaptCount = 3;
        detectVoiceActivity(codec, quiet, 50);
        return codec.vadAdaptCount;
    };
    EXPECT_EQ(adaptAfter(40, 80, 41, 122, 0), 5);  // each near one multiple of 40
    EXPECT_EQ(adaptAfter(20, 40, 41, 60, 0), 5);
    EXPECT_EQ(adaptAfter(40, 90, 41, 122, 0), 2);       // 90 is 10 away from 80
    EXPECT_EQ(adaptAfter(1, 1, 60, 60, 0), 2);          // small lag matches many multiples
    EXPECT_EQ(adaptAfter(40, 90, 41, 122, -32768), 5);  // a tone counts like periodicity
    // Clamps: 6 stays 6 when periodic, 0 stays 0 when not.
    CelpCodec codec;
    codec.vadAdaptCount = 0;
    detectVoiceActivity(codec, quiet, 50);
    EXPECT_EQ(codec.vadAdaptCount, 0);
    // Lags age by one frame.
    EXPECT_EQ(codec.vadLags[0], 60);
    EXPECT_EQ(codec.vadLags[1], 60);
}

TEST(Vad, EncodeFrameTakesSensitivityAs16Bit) {
    // A tone that swells slowly: the frame where speech is first reported depends on the
    // threshold factor. 65586 wraps to 50 and must behave exactly like it.
    auto decisions = [](int sensitivity) {
        CelpCodec codec;
        std::vector<int16_t> out;
        for (int f = 0; f < 40; ++f) {
            int16_t pcm[FrameSamples];
            for (int n = 0; n < FrameSamples; ++n) {
                const int t = f * FrameSamples + n;
                pcm[n] = static_cast<int16_t>((4 * f) * ((t / 9) % 2 ? 1 : -1));
            }
            uint8_t frame[FrameBytes];
            out.push_back(codec.encodeFrame(pcm, frame, sensitivity));
        }
        return out;
    };
    const std::vector<int16_t> at50 = decisions(50);
    EXPECT_EQ(decisions(65586), at50);
    EXPECT_NE(decisions(150), at50);
    EXPECT_NE(std::count(at50.begin(), at50.end(), 1), 0);
}

}  // namespace
}  // namespace brimvox
