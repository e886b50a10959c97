#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>

#include "celp_shared.h"
#include "celp_tables.h"

namespace brimvox {
namespace {

void copy10(double dst[10], const double src[10]) {
    std::copy(src, src + 10, dst);
}

TEST(DecodeLsp, ZeroIndexAgainstTheMeanGivesTheMean) {
    double out[10];
    decodeLsp(out, LspMeanTable, 0, 0);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(out[k], LspMeanTable[k]);
}

TEST(DecodeLsp, GoodFrameAddsRowsAndPrediction) {
    // Band 0 row 255, bands 1 and 2 row 1, against a previous vector 8 units above the mean.
    double previous[10];
    for (int k = 0; k < 10; ++k) previous[k] = LspMeanTable[k] + 8.0;
    double out[10];
    decodeLsp(out, previous, 0xFF0101, 0);
    const double rows[10] = {13.2266, 37.4453, 46.9688, -16.5156, -10.1719,
                             0.59375, 4.69531, 4.0,     -4.23438, 2.60938};
    double expected[10];
    for (int k = 0; k < 10; ++k) expected[k] = (0.375 * 8.0 + rows[k]) + LspMeanTable[k];
    // Position 2 lands above position 3: the spacing pass must reorder them.
    bool pushed = false;
    for (int k = 1; k < 10; ++k) pushed |= expected[k] - expected[k - 1] < 2.0;
    ASSERT_TRUE(pushed) << "case should exercise the spacing pass";
    for (int k = 1; k < 10; ++k) EXPECT_GE(out[k] - out[k - 1], 2.0 - 0.03125);
    EXPECT_NE(out[0], previous[0]);  // not the fallback
    double sumOut = 0, sumExpected = 0;
    for (int k = 0; k < 10; ++k) sumOut += out[k], sumExpected += expected[k];
    EXPECT_NEAR(sumOut, sumExpected, 1e-9);  // symmetric pushes keep the sum
}

TEST(DecodeLsp, BadFramePredictsFromThePreviousVectorWithSpacingFour) {
    double previous[10];
    for (int k = 0; k < 10; ++k) previous[k] = 20.0 + 22.0 * k;  // wide apart
    double out[10], again[10];
    decodeLsp(out, previous, 0x123456, 1);
    decodeLsp(again, previous, 0, -3);  // the index is ignored, any non-zero flag is bad
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(out[k], (0.71875 * (previous[k] - LspMeanTable[k]) + 0.0) + LspMeanTable[k]);
        EXPECT_EQ(again[k], out[k]);
    }
    // Now a previous vector whose prediction has gaps of 3: spacing 4 pushes them apart.
    for (int k = 0; k < 10; ++k) previous[k] = 100.0 + 3.0 * k / 0.71875;
    decodeLsp(out, previous, 0, 1);
    for (int k = 1; k < 10; ++k) EXPECT_GE(out[k] - out[k - 1], 4.0 - 0.03125);
}

TEST(DecodeLsp, EndsAreClampedOnEveryPass) {
    double previous[10];
    copy10(previous, LspMeanTable);
    previous[0] = LspMeanTable[0] - 40.0;  // predicts 24.4609 - 15 - 31.2422 < 3 with row 12
    previous[9] = LspMeanTable[9] + 120.0;
    double out[10];
    // Band 0 row 12 is (-7.30469, -15.3047, -31.2422); band 2 row 0.
    decodeLsp(out, previous, 12 << 16, 0);
    EXPECT_GE(out[0], 3.0 - 1.0);  // raised to 3, then at most half a spacing lower
    EXPECT_LE(out[9], 252.0);
    EXPECT_EQ(out[9], 252.0);  // 216.547 + 45 is lowered to 252 and nothing pushes it up
}

TEST(DecodeLsp, FallsBackToThePreviousVectorWhenSpacingCannotBeReached) {
    // A previous vector that predicts ten equal values: neighbour pushes cannot spread a
    // collapsed cluster of ten to spacing 4 within ten passes.
    double previous[10];
    for (int k = 0; k < 10; ++k)
        previous[k] = (128.0 - LspMeanTable[k]) / 0.71875 + LspMeanTable[k];
    double out[10];
    decodeLsp(out, previous, 0, 1);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(out[k], previous[k]);
}

TEST(DecodeLsp, LegalStreamCanPushTheLowestValueBelowZero) {
    // The spacing pass of this repeated legal frame leaves out[0] slightly negative from the
    // fourth frame on; the predictor conversion must still read the cosine grid correctly.
    double previous[10];
    copy10(previous, LspMeanTable);
    double out[10];
    double lowest = 1e9;
    for (int f = 0; f < 10; ++f) {
        decodeLsp(out, previous, 0x430000, 0);
        lowest = std::min(lowest, out[0]);
        copy10(previous, out);
    }
    EXPECT_LT(lowest, 0.0);
}

// |A(e^jw)| style check: P(z) = A(z) + z^-11 A(1/z) must vanish at the even LSP frequencies
// and Q(z) = A(z) - z^-11 A(1/z) at the odd ones.
std::complex<double> mirrorPoly(const double p[10], double w, int sign) {
    double a[12] = {1.0};
    for (int m = 1; m <= 10; ++m) a[m] = -p[m - 1];
    std::complex<double> sum = 0.0;
    for (int m = 0; m <= 11; ++m) {
        const double c = a[m] + sign * a[11 - m];
        sum += c * std::polar(1.0, -w * m);
    }
    return sum;
}

TEST(LspToLpc, IntegerValuesPlaceRootsExactlyOnTheGridCosines) {
    const double lsp[10] = {10, 30, 55, 80, 101, 130, 150, 175, 200, 230};
    double p[10];
    copy10(p, lsp);
    lspToLpc(p);
    for (int k = 0; k < 10; ++k) {
        const double w = std::acos(CosineTable[static_cast<int>(lsp[k])]);
        const double residue = std::abs(mirrorPoly(p, w, k % 2 == 0 ? +1 : -1));
        EXPECT_LT(residue, 1e-9) << "root " << k;
    }
}

TEST(LspToLpc, ZeroPredictorRootsGiveAnAlmostZeroPredictor) {
    double v[10];
    for (int k = 0; k < 10; ++k) v[k] = 256.0 * (k + 1) / 11.0;
    lspToLpc(v);
    for (int k = 0; k < 10; ++k) EXPECT_NEAR(v[k], 0.0, 2e-3) << k;
}

TEST(LspToLpc, ValuesSlightlyBelowZeroUseTheMirroredCosine) {
    // cos is even and the grid periodic: -e must convert like +e, up to rounding.
    double neg[10], pos[10];
    copy10(neg, LspMeanTable);
    copy10(pos, LspMeanTable);
    neg[0] = -0.0625;
    pos[0] = 0.0625;
    lspToLpc(neg);
    lspToLpc(pos);
    for (int k = 0; k < 10; ++k) EXPECT_NEAR(neg[k], pos[k], 1e-12) << k;
}

TEST(InterpolateLsp, EqualVectorsGiveFourEqualSetsAndTheLastIsTheCurrentVector) {
    double sets[4][10];
    interpolateLsp(sets, LspMeanTable, LspMeanTable);
    double direct[10];
    copy10(direct, LspMeanTable);
    lspToLpc(direct);
    for (int s = 0; s < 4; ++s)
        for (int k = 0; k < 10; ++k) EXPECT_EQ(sets[s][k], direct[k]);

    double other[10];
    for (int k = 0; k < 10; ++k) other[k] = LspMeanTable[k] + 5.0;
    interpolateLsp(sets, other, LspMeanTable);
    copy10(direct, other);
    lspToLpc(direct);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(sets[3][k], direct[k]);
    double half[10];
    for (int k = 0; k < 10; ++k) half[k] = 0.5 * LspMeanTable[k] + 0.5 * other[k];
    lspToLpc(half);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(sets[1][k], half[k]);
}

TEST(FetchLaggedExcitation, ShortDelaysRepeatTheWindowTail) {
    double window[145];
    for (int i = 0; i < 145; ++i) window[i] = i;
    double v[64];
    fetchLaggedExcitation(v, window, 17);
    EXPECT_EQ(v[0], 126.0);
    EXPECT_EQ(v[1], 127.0);
    for (int k = 2; k < 64; ++k) EXPECT_EQ(v[k], 128.0 + (k - 2) % 17) << k;

    for (int d : {62, 100, 143}) {
        fetchLaggedExcitation(v, window, d);
        for (int k = 0; k < 64; ++k) EXPECT_EQ(v[k], 143.0 - d + k) << "D " << d << " k " << k;
    }
    fetchLaggedExcitation(v, window, 1);
    EXPECT_EQ(v[0], 142.0);
    EXPECT_EQ(v[1], 143.0);
    for (int k = 2; k < 64; ++k) EXPECT_EQ(v[k], 144.0);
}

TEST(AdaptiveContribution, FiveTapsAroundTheLaggedSample) {
    double window[145] = {};
    double out[60];
    window[100] = 1.0;
    adaptiveContribution(out, window, 60, 1, 0);
    for (double x : out) EXPECT_EQ(x, 0.0);

    // Delay 60 + 2 - 1 = 61: out[n] = sum_t v[n+t] g_t with v[k] = window[143 - 61 + k] for
    // k < 61, so the impulse at 100 sits at v[18] and shows in out[18 - t] with weight g_t.
    adaptiveContribution(out, window, 60, 2, 27);
    for (int n = 0; n < 60; ++n) {
        const int t = 18 - n;
        const double expected = (t >= 0 && t < 5) ? AcbGainTable[27][t] : 0.0;
        EXPECT_EQ(out[n], expected) << n;
    }
}

TEST(BuildFixedExcitation, PulsesSitOnTheirTracks) {
    CelpSubframeParams sp;
    sp.fcbGainIndex = 5;  // amplitude 18
    sp.acbGainIndex = 0;  // no repetition
    sp.pulseSigns = 0b0101;
    sp.pulsePositions = 3 | (5 << 3) | (2 << 6) | (3 << 9);
    double out[60];
    buildFixedExcitation(out, sp, 40);
    double expected[60] = {};
    expected[24] = 18;
    expected[42] = -18;
    expected[20] = 18;
    expected[54] = -18;
    for (int n = 0; n < 60; ++n) EXPECT_EQ(out[n], expected[n]) << n;

    sp.pulsePositions = 7 << 6;  // pulse 2 at 60: outside the subframe
    sp.pulseSigns = 0b1111;
    buildFixedExcitation(out, sp, 40);
    int pulses = 0;
    for (double x : out) pulses += x != 0.0;
    EXPECT_EQ(pulses, 3);
}

TEST(BuildFixedExcitation, RepetitionBelow58RunsInPlace) {
    CelpSubframeParams sp;
    sp.fcbGainIndex = 0;  // amplitude 2
    sp.pulseSigns = 0b0001;
    sp.pulsePositions = 0;  // pulses at 0, 2, 4, 6
    sp.acbGainIndex = 1;    // offset +1, gain 0.188324
    sp.lagOffset = 1;
    const double g = 0.188324;
    double out[60];
    buildFixedExcitation(out, sp, 18);  // T = 19
    EXPECT_EQ(out[0], 2.0);
    EXPECT_EQ(out[19], g * 2.0 + 0.0);
    EXPECT_EQ(out[38], g * (g * 2.0) + 0.0);
    EXPECT_EQ(out[57], g * (g * (g * 2.0)) + 0.0);
    EXPECT_EQ(out[21], g * -2.0 + 0.0);

    sp.acbGainIndex = 4;                // offset 0
    buildFixedExcitation(out, sp, 58);  // T = 58: unchanged
    for (int n = 8; n < 60; ++n) EXPECT_EQ(out[n], 0.0) << n;
    buildFixedExcitation(out, sp, 57);  // T = 57: pulse 0 repeats once at 57
    EXPECT_EQ(out[57], PitchRepeatTable[4].gain * 2.0);
    EXPECT_EQ(out[59], PitchRepeatTable[4].gain * -2.0);
}

}  // namespace
}  // namespace brimvox
