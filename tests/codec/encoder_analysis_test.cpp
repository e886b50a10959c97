// Front of the encoder: input filter, LPC analysis, tone detector, LSP conversion and
// quantisation, the one-subframe delay.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "celp_encoder.h"
#include "celp_shared.h"
#include "celp_tables.h"

namespace brimvox {
namespace {

constexpr double Pi = 3.14159265358979323846;

TEST(EncoderTables, HammingWindowFollowsFormulaExceptFourEntries) {
    EXPECT_EQ(HammingWindow[0], 0.08);
    EXPECT_EQ(HammingWindow[179], 0.08);
    EXPECT_EQ(HammingWindow[89], 0.999929);
    EXPECT_EQ(HammingWindow[90], 0.999929);
    EXPECT_EQ(HammingWindow[51], 0.640109);
    EXPECT_EQ(HammingWindow[102], 0.956427);
    EXPECT_EQ(HammingWindow[141], 0.432027);
    EXPECT_EQ(HammingWindow[156], 0.221945);
    for (int n = 0; n < 180; ++n) {
        if (n == 51 || n == 102 || n == 141 || n == 156) continue;
        const double w = 0.54 - 0.46 * std::cos(2.0 * Pi * n / 179.0);
        EXPECT_NEAR(HammingWindow[n], w, 0.5e-6 + 1e-12) << n;
    }
    // The exceptions really differ from the formula (the window is not symmetric there).
    EXPECT_NE(HammingWindow[102], HammingWindow[179 - 102]);
}

TEST(EncoderTables, LagWindowAndBandwidthExpansion) {
    EXPECT_EQ(LagWindow[0], 0.999443);
    EXPECT_EQ(LagWindow[9], 0.945847);
    EXPECT_EQ(BandwidthExpansion[0], 0.994);
    EXPECT_EQ(BandwidthExpansion[2], 0.9821078);
    EXPECT_EQ(BandwidthExpansion[9], 0.9415944);
    for (int k = 0; k < 10; ++k) {
        EXPECT_NEAR(BandwidthExpansion[k], std::pow(0.994, k + 1), 0.5e-7 + 1e-12);
    }
    EXPECT_EQ(VadThresholdTable[0], 9170.0);
    EXPECT_EQ(VadThresholdTable[10], 20529.0);
}

// Runs whole frames of a generator through a fresh input filter and returns the last frame.
template <typename Gen>
void filterFrames(CelpCodec& codec, int frames, Gen gen, double last[FrameSamples]) {
    for (int f = 0; f < frames; ++f) {
        for (int n = 0; n < FrameSamples; ++n) last[n] = gen(f * FrameSamples + n);
        filterInput(codec, last);
    }
}

double rms(const double* x, int n) {
    return std::sqrt(dotProduct(x, x, n) / n);
}

TEST(FilterInput, RemovesConstantInput) {
    CelpCodec codec;
    double out[FrameSamples];
    filterFrames(
        codec, 1, [](int) { return 1000.0; }, out);
    EXPECT_GT(std::fabs(out[0]), 100.0);  // the step passes at first
    filterFrames(
        codec, 10, [](int) { return 1000.0; }, out);
    for (double v : out) EXPECT_LT(std::fabs(v), 1.0);
    // The DC stage itself decays by 127/128 per sample.
    EXPECT_NEAR(codec.dcPrevOut / (1000.0 * std::pow(127.0 / 128.0, 11 * 240 - 1)), 1.0, 1e-12);
}

TEST(FilterInput, PassesSpeechBandAndStopsTheTop) {
    auto gainDb = [](double hz) {
        CelpCodec codec;
        double out[FrameSamples];
        filterFrames(
            codec, 8, [hz](int n) { return 10000.0 * std::sin(2.0 * Pi * hz * n / 8000.0); }, out);
        return 20.0 * std::log10(rms(out, FrameSamples) / (10000.0 / std::sqrt(2.0)));
    };
    EXPECT_NEAR(gainDb(1000.0), 0.0, 0.1);
    EXPECT_NEAR(gainDb(3000.0), 0.0, 0.1);
    EXPECT_NEAR(gainDb(3700.0), -4.4, 0.3);
    EXPECT_LT(gainDb(3900.0), -30.0);
}

TEST(LevinsonDurbin, FirstOrderProcess) {
    // Autocorrelations of an AR(1) process with coefficient 0.5.
    double r[11];
    for (int k = 0; k <= 10; ++k) r[k] = std::pow(0.5, k);
    double p[10];
    const double t = levinsonDurbin(p, r);
    EXPECT_DOUBLE_EQ(p[0], 0.5);
    for (int k = 1; k < 10; ++k) EXPECT_NEAR(p[k], 0.0, 1e-15) << k;
    EXPECT_EQ(t, -0.0);
}

TEST(LevinsonDurbin, SilentWindowStopsAtOnceAsResonant) {
    const double r[11] = {};
    double p[10];
    std::fill(p, p + 10, 7.0);
    EXPECT_EQ(levinsonDurbin(p, r), 0.99);
    for (double v : p) EXPECT_EQ(v, 0.0);
}

TEST(LevinsonDurbin, SingularStepKeepsEarlierCoefficients) {
    // The second step meets |s| = err (0.75) and stops with p[0] = 0.5 from the first.
    const double r[11] = {1.0, 0.5, 1.0, 0.3, 0.2, 0.1, 0.0, 0.0, 0.0, 0.0, 0.0};
    double p[10];
    EXPECT_EQ(levinsonDurbin(p, r), 0.99);
    EXPECT_EQ(p[0], 0.5);
    for (int k = 1; k < 10; ++k) EXPECT_EQ(p[k], 0.0);
}

TEST(AnalyseLpc, SilenceSetsToneBitAfterFourFrames) {
    const double prev[AnalysisHistory] = {};
    const double speech[FrameSamples] = {};
    int16_t detector = 0;
    double sets[4][10];
    const int16_t expected[4] = {0x000F, 0x00FF, 0x0FFF, -1};
    for (int f = 0; f < 4; ++f) {
        analyseLpc(sets, prev, speech, detector);
        EXPECT_EQ(detector, expected[f]) << f;
        for (auto& set : sets) {
            for (double v : set) EXPECT_EQ(v, 0.0);
        }
    }
    analyseLpc(sets, prev, speech, detector);
    EXPECT_LT(detector, 0);
}

TEST(AnalyseLpc, ToneCountsAndOneGapIsTolerated) {
    double buf[AnalysisHistory + FrameSamples];
    for (int n = 0; n < AnalysisHistory + FrameSamples; ++n)
        buf[n] = 12000.0 * std::sin(Pi / 2.0 * n + 0.3);
    double sets[4][10];
    // Ten ones and one zero in bits 0..10, four resonant subframes added: 14 of 15 ones.
    int16_t detector = 0x07FE;
    analyseLpc(sets, buf, buf + AnalysisHistory, detector);
    EXPECT_EQ(static_cast<uint16_t>(detector), 0xFFEF);
    // Two zeros: 13 ones, no tone.
    detector = 0x07FC;
    analyseLpc(sets, buf, buf + AnalysisHistory, detector);
    EXPECT_EQ(static_cast<uint16_t>(detector), 0x7FCF);
}

TEST(AnalyseLpc, NoiseIsNotResonantAndGivesStablePredictor) {
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 3000.0);
    double buf[AnalysisHistory + FrameSamples];
    for (double& v : buf) v = noise(rng);
    double sets[4][10];
    int16_t detector = 0;
    analyseLpc(sets, buf, buf + AnalysisHistory, detector);
    EXPECT_EQ(detector, 0);
    for (auto& set : sets) {
        for (double v : set) EXPECT_LT(std::fabs(v), 0.5);
    }
}

TEST(LpcToLsp, ZeroPredictorHasEvenlySpacedRoots) {
    const double p[10] = {};
    double lsp[10];
    const double fallback[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_TRUE(lpcToLsp(lsp, p, fallback));
    for (int k = 0; k < 10; ++k) EXPECT_NEAR(lsp[k], 256.0 * (k + 1) / 11.0, 0.01) << k;
}

TEST(LpcToLsp, InvertsTheSharedConversionUpToBandwidthExpansion) {
    double p[10];
    std::memcpy(p, LspMeanTable, sizeof p);
    lspToLpc(p);
    double lsp[10];
    ASSERT_TRUE(lpcToLsp(lsp, p, LspMeanTable));
    for (int k = 0; k < 10; ++k) EXPECT_NEAR(lsp[k], LspMeanTable[k], 0.5) << k;
    for (int k = 1; k < 10; ++k) EXPECT_GT(lsp[k], lsp[k - 1]);
}

TEST(LpcToLsp, UnstablePredictorFallsBack) {
    const double p[10] = {2.0};
    const double fallback[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    double lsp[10];
    EXPECT_FALSE(lpcToLsp(lsp, p, fallback));
    for (int k = 0; k < 10; ++k) EXPECT_EQ(lsp[k], fallback[k]);
}

TEST(LpcToLsp, PolynomialEvaluationUsesCosineGrid) {
    // C = (0,0,0,0,1,0.5): 0.5 + cos(w) at j = 0 and j = 128 (w = pi/2).
    const double c[6] = {0, 0, 0, 0, 1.0, 0.5};
    EXPECT_DOUBLE_EQ(evaluateLspPolynomial(c, 0), 1.5);
    EXPECT_DOUBLE_EQ(evaluateLspPolynomial(c, 128), 0.5);
    // The index wraps modulo 512: 5 * 200 = 1000 -> 488.
    const double c5[6] = {1.0, 0, 0, 0, 0, 0};
    EXPECT_DOUBLE_EQ(evaluateLspPolynomial(c5, 200), CosineTable[488]);
}

TEST(QuantiseLsp, ZeroTargetGivesIndexZero) {
    EXPECT_EQ(quantiseLsp(LspMeanTable, LspMeanTable), 0);
    const double w[10] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    const double x[10] = {};
    for (int band = 0; band < 3; ++band) EXPECT_EQ(searchLspCodebook(band, w, x), 0);
}

TEST(QuantiseLsp, FindsTheRowsAVectorWasBuiltFrom) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> row(0, 255);
    double prev[10];
    for (int k = 0; k < 10; ++k) prev[k] = LspMeanTable[k] + 2.0 * (k % 3) - 2.0;
    for (int trial = 0; trial < 40; ++trial) {
        const int r0 = row(rng), r1 = row(rng), r2 = row(rng);
        double lsp[10];
        for (int k = 0; k < 3; ++k) lsp[k] = LspCodebook.band0[r0][k];
        for (int k = 0; k < 3; ++k) lsp[3 + k] = LspCodebook.band1[r1][k];
        for (int k = 0; k < 4; ++k) lsp[6 + k] = LspCodebook.band2[r2][k];
        for (int k = 0; k < 10; ++k) {
            lsp[k] += LspMeanTable[k] + 0.375 * (prev[k] - LspMeanTable[k]);
        }
        const int32_t index = quantiseLsp(lsp, prev);
        EXPECT_EQ(index, (r0 << 16) | (r1 << 8) | r2) << trial;
    }
}

TEST(QuantiseLsp, DegenerateVectorStillGivesAValidIndex) {
    // Coinciding values at both ends: the weights stay finite and the index stays in range.
    double lsp[10];
    std::memcpy(lsp, LspMeanTable, sizeof lsp);
    lsp[1] = lsp[0];
    lsp[9] = lsp[8];
    const int32_t index = quantiseLsp(lsp, LspMeanTable);
    double out[10];
    decodeLsp(out, LspMeanTable, index, 0);
    for (int k = 0; k < 10; ++k) EXPECT_NEAR(out[k], lsp[k], 12.0) << k;
}

TEST(ShiftAnalysisBuffer, DelaysByOneSubframe) {
    double prev[AnalysisHistory], speech[FrameSamples];
    for (int n = 0; n < AnalysisHistory; ++n) prev[n] = -1.0 - n;
    for (int n = 0; n < FrameSamples; ++n) speech[n] = n;
    shiftAnalysisBuffer(prev, speech);
    for (int n = 0; n < 60; ++n) EXPECT_EQ(speech[n], -1.0 - (60 + n));
    for (int n = 60; n < FrameSamples; ++n) EXPECT_EQ(speech[n], n - 60);
    for (int n = 0; n < AnalysisHistory; ++n) EXPECT_EQ(prev[n], 120 + n);
    // Next frame: its first 60 samples are samples 180..239 of this frame.
    double next[FrameSamples] = {};
    shiftAnalysisBuffer(prev, next);
    for (int n = 0; n < 60; ++n) EXPECT_EQ(next[n], 180 + n);
}

}  // namespace
}  // namespace brimvox
