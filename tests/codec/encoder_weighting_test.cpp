// Perceptual weighting, harmonic noise shaping, the combined impulse response and ringing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "celp_encoder.h"
#include "celp_shared.h"

namespace brimvox {
namespace {

// A stable 10th-order predictor (from an LSP vector through the shared conversion).
void samplePredictor(double a[LpcOrder]) {
    const double lsp[10] = {20, 35, 55, 80, 100, 125, 150, 175, 200, 220};
    std::memcpy(a, lsp, sizeof lsp);
    lspToLpc(a);
}

TEST(WeightingFilters, CoefficientsArePowersTimesPredictor) {
    double unq[4][10];
    for (int s = 0; s < 4; ++s) {
        for (int k = 0; k < 10; ++k) unq[s][k] = 1.0 + s + 0.1 * k;
    }
    double w[4][20];
    computeWeightingFilters(w, unq);
    for (int s = 0; s < 4; ++s) {
        for (int k = 0; k < 10; ++k) {
            EXPECT_NEAR(w[s][k], std::pow(0.9, k + 1) * unq[s][k], 1e-14);
            EXPECT_EQ(w[s][10 + k], std::ldexp(unq[s][k], -(k + 1)));  // exact powers of 2
        }
    }
}

TEST(WeightSpeech, ZeroPredictorPassesSignalUnchanged) {
    const double unq[4][10] = {};
    double w[4][20];
    computeWeightingFilters(w, unq);
    double speech[FrameSamples], copy[FrameSamples];
    for (int n = 0; n < FrameSamples; ++n) copy[n] = speech[n] = std::sin(0.1 * n) * 1000.0 + n;
    double fir[10] = {}, iir[10] = {};
    weightSpeech(speech, w, fir, iir);
    for (int n = 0; n < FrameSamples; ++n) EXPECT_EQ(speech[n], copy[n]);
}

// The weighting pass that runs an LSP root search in its loop gives the plain pass's samples
// and memories and lpcToLsp's result, also where the search finds too few roots (it then runs
// past the frame's 240 samples to the end of the grid) and for random predictors.
TEST(WeightSpeech, InterleavedRootSearchChangesNeither) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-5000, 5000), coef(-1.5, 1.5);
    double stable[10];
    samplePredictor(stable);
    const double fallback[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    for (int trial = 0; trial < 40; ++trial) {
        double p[10];
        for (int k = 0; k < 10; ++k) {
            p[k] = trial == 0 ? stable[k] : trial == 1 ? (k == 0 ? 2.0 : 0.0) : coef(rng);
        }
        double unq[4][10];
        for (auto& set : unq) {
            for (int k = 0; k < 10; ++k) set[k] = trial == 0 ? stable[k] : coef(rng) / 4.0;
        }
        double w[4][20];
        computeWeightingFilters(w, unq);
        double plain[FrameSamples], mixed[FrameSamples];
        for (int n = 0; n < FrameSamples; ++n) plain[n] = mixed[n] = u(rng);
        double fir1[10], iir1[10], fir2[10], iir2[10];
        for (int k = 0; k < 10; ++k) fir1[k] = fir2[k] = u(rng), iir1[k] = iir2[k] = u(rng);

        weightSpeech(plain, w, fir1, iir1);
        double expected[10];
        const bool expectedOk = lpcToLsp(expected, p, fallback);

        LspRootSearch search(p);
        weightSpeech(mixed, w, fir2, iir2, search);
        double lsp[10];
        EXPECT_EQ(search.finish(lsp, fallback), expectedOk) << trial;
        EXPECT_EQ(std::memcmp(lsp, expected, sizeof lsp), 0) << trial;
        EXPECT_EQ(std::memcmp(mixed, plain, sizeof plain), 0) << trial;
        EXPECT_EQ(std::memcmp(fir2, fir1, sizeof fir1), 0) << trial;
        EXPECT_EQ(std::memcmp(iir2, iir1, sizeof iir1), 0) << trial;
        if (trial < 2) {
            EXPECT_EQ(expectedOk, trial == 0);  // the stable predictor, the unstable one
        }
    }
}

TEST(WeightSpeech, MemoriesCarryAcrossCalls) {
    double a[10];
    samplePredictor(a);
    double unq[4][10];
    for (auto& set : unq) std::memcpy(set, a, sizeof a);
    double w[4][20];
    computeWeightingFilters(w, unq);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-5000, 5000);
    double two[2 * FrameSamples];
    for (double& v : two) v = u(rng);
    // Frame by frame with carried memories equals one long filter run by hand.
    double fir[10] = {}, iir[10] = {};
    double byFrames[2 * FrameSamples];
    std::memcpy(byFrames, two, sizeof two);
    weightSpeech(byFrames, w, fir, iir);
    weightSpeech(byFrames + FrameSamples, w, fir, iir);
    double xs[2 * FrameSamples + 10] = {}, ys[2 * FrameSamples + 10] = {};
    for (int n = 0; n < 2 * FrameSamples; ++n) {
        xs[n + 10] = two[n];
        double t = two[n];
        double zs = 0.0, ps = 0.0;
        for (int k = 1; k <= 10; ++k) zs += w[0][k - 1] * xs[n + 10 - k];
        for (int k = 1; k <= 10; ++k) ps += w[0][10 + k - 1] * ys[n + 10 - k];
        ys[n + 10] = (t - zs) + ps;
        EXPECT_EQ(byFrames[n], ys[n + 10]) << n;
    }
}

TEST(HarmonicWeight, SilenceGivesOpenLoopLagAndNoGain) {
    const double buf[PitchBufferLength] = {};
    const HarmonicWeight hw = findHarmonicWeight(buf, 145, 57);
    EXPECT_EQ(hw.lag, 57);
    EXPECT_EQ(hw.gain, 0.0);
}

TEST(HarmonicWeight, PeriodicSignalFindsPeriodWithCappedGain) {
    double buf[PitchBufferLength];
    for (int n = 0; n < PitchBufferLength; ++n) buf[n] = (n % 43 == 0) ? 1000.0 : 0.0;
    buf[1] += 1.0;  // keeps every lagged window non-silent
    for (int start : {145, 205, 265, 325}) {
        const HarmonicWeight hw = findHarmonicWeight(buf, start, 45);
        EXPECT_EQ(hw.lag, 43);
        EXPECT_DOUBLE_EQ(hw.gain, 0.3125);
    }
}

TEST(HarmonicWeight, WeakCorrelationGivesNoGainAndPartialGainScales) {
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0.0, 1000.0);
    double buf[PitchBufferLength];
    for (double& v : buf) v = noise(rng);
    HarmonicWeight hw = findHarmonicWeight(buf, 265, 60);
    EXPECT_EQ(hw.gain, 0.0);  // noise: normalised correlation far below 0.375
    // Pulses every 70 samples: only lag 70 correlates. C / E is the ratio of the current pulse
    // to the past one; above 1 the gain is capped.
    auto pulses = [&buf](double current, double past) {
        std::fill(buf, buf + PitchBufferLength, 0.0);
        buf[215] = past;
        buf[285] = current;
    };
    pulses(1000.0, 500.0);
    hw = findHarmonicWeight(buf, 265, 72);
    EXPECT_EQ(hw.lag, 70);
    EXPECT_EQ(hw.gain, 0.3125);
    pulses(1000.0, 2000.0);
    hw = findHarmonicWeight(buf, 265, 72);
    EXPECT_EQ(hw.lag, 70);
    EXPECT_EQ(hw.gain, 0.3125 * 0.5);
    // Outside the searched range (lags 74..80) nothing qualifies.
    hw = findHarmonicWeight(buf, 265, 77);
    EXPECT_EQ(hw.lag, 77);
    EXPECT_EQ(hw.gain, 0.0);
}

TEST(HarmonicWeight, ApplySubtractsScaledDelayedSample) {
    double buf[PitchBufferLength];
    for (int n = 0; n < PitchBufferLength; ++n) buf[n] = n;
    double speech[FrameSamples] = {};
    HarmonicWeight hw;
    hw.lag = 30;
    hw.gain = 0.25;
    applyHarmonicWeight(speech, buf, 120, hw);
    for (int n = 0; n < 60; ++n) EXPECT_EQ(speech[120 + n], (265.0 + n) - 0.25 * (235.0 + n));
    for (int n = 0; n < 120; ++n) EXPECT_EQ(speech[n], 0.0);
    hw.gain = 0.0;
    applyHarmonicWeight(speech, buf, 0, hw);
    for (int n = 0; n < 60; ++n) EXPECT_EQ(speech[n], 145.0 + n);
}

// Direct cascade 1/A(z) -> W(z) -> P(z) of an arbitrary input, all from zero memory.
void referenceChain(const double* x, double* out, int len, const double a[10], const double w[20],
                    const HarmonicWeight& hw) {
    std::vector<double> s(len), u(len);
    for (int n = 0; n < len; ++n) {
        double v = x[n];
        for (int k = 1; k <= 10 && n - k >= 0; ++k) v += a[k - 1] * s[n - k];
        s[n] = v;
        double t = v;
        for (int k = 1; k <= 10 && n - k >= 0; ++k) t -= w[k - 1] * s[n - k];
        for (int k = 1; k <= 10 && n - k >= 0; ++k) t += w[10 + k - 1] * u[n - k];
        u[n] = t;
    }
    for (int n = 0; n < len; ++n) out[n] = u[n] - hw.gain * (n >= hw.lag ? u[n - hw.lag] : 0.0);
}

TEST(CombinedImpulseResponse, MatchesCascadeAndStartsWithOne) {
    double a[10];
    samplePredictor(a);
    double unq[4][10];
    for (auto& set : unq) std::memcpy(set, a, sizeof a);
    double w[4][20];
    computeWeightingFilters(w, unq);
    for (double gain : {0.0, 0.3125}) {
        HarmonicWeight hw;
        hw.lag = 25;
        hw.gain = gain;
        double impulse[60];
        combinedImpulseResponse(impulse, a, w[0], hw);
        double unit[60] = {1.0};
        double ref[60];
        referenceChain(unit, ref, 60, a, w[0], hw);
        EXPECT_EQ(impulse[0], 1.0);
        for (int n = 0; n < 60; ++n)
            EXPECT_NEAR(impulse[n], ref[n], 1e-9 * (1 + std::fabs(ref[n])));
    }
}

TEST(Ringing, SubtractLeavesMemoriesAndUpdateContinuesChain) {
    double a[10];
    samplePredictor(a);
    double unq[4][10];
    for (auto& set : unq) std::memcpy(set, a, sizeof a);
    double w[4][20];
    computeWeightingFilters(w, unq);
    HarmonicWeight hw;
    hw.lag = 37;
    hw.gain = 0.2;

    // Drive the chain with one subframe of excitation, then look at the next subframe.
    CelpCodec codec;
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> u(-3000, 3000);
    double exc[120];
    for (double& v : exc) v = u(rng);
    double first[60];
    std::memcpy(first, exc, sizeof first);
    updateRinging(first, a, w[0], codec);

    const CelpCodec before = codec;
    double target[60] = {};
    subtractRinging(target, a, w[0], codec, hw);
    EXPECT_EQ(std::memcmp(before.ringFirMem, codec.ringFirMem, sizeof codec.ringFirMem), 0);
    EXPECT_EQ(std::memcmp(before.ringIirMem, codec.ringIirMem, sizeof codec.ringIirMem), 0);
    EXPECT_EQ(std::memcmp(before.ringHistory, codec.ringHistory, sizeof codec.ringHistory), 0);
    double twice[60] = {};
    subtractRinging(twice, a, w[0], codec, hw);
    subtractRinging(twice, a, w[0], codec, hw);
    for (int n = 0; n < 60; ++n) EXPECT_DOUBLE_EQ(twice[n], 2.0 * target[n]);

    // Linearity: ringing + response to the new excitation = full chain output, with the
    // harmonic term taken from W's output (the ring history) of both subframes.
    std::vector<double> wOut(120);
    {
        HarmonicWeight none;
        none.lag = 60;
        referenceChain(exc, wOut.data(), 120, a, w[0], none);
    }
    double impulse[60];
    combinedImpulseResponse(impulse, a, w[0], hw);
    for (int n = 0; n < 60; ++n) {
        double zeroState = 0.0;
        for (int j = 0; j <= n; ++j) zeroState += exc[60 + j] * impulse[n - j];
        const double expected = wOut[60 + n] - hw.gain * wOut[60 + n - hw.lag];
        EXPECT_NEAR(zeroState - target[n], expected, 1e-6 * (1 + std::fabs(expected))) << n;
    }

    // updateRinging with the second subframe reproduces W's output in the history.
    double second[60];
    std::memcpy(second, exc + 60, sizeof second);
    updateRinging(second, a, w[0], codec);
    for (int n = 0; n < 120; ++n) {
        EXPECT_NEAR(codec.ringHistory[25 + n], wOut[n], 1e-6 * (1 + std::fabs(wOut[n]))) << n;
    }
}

}  // namespace
}  // namespace brimvox
