// Pitch and pulse searches: lag choices, tie-breaks, clamps, the pass budget and agreement of
// the encoder's excitation with the decoder's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "celp_encoder.h"
#include "celp_shared.h"
#include "celp_tables.h"

namespace brimvox {
namespace {

// ---- Open-loop lag ----

TEST(OpenLoopLag, SilenceGives18) {
    const double buf[PitchBufferLength] = {};
    EXPECT_EQ(estimateOpenLoopLag(buf, 145), 18);
    EXPECT_EQ(estimateOpenLoopLag(buf, 265), 18);
}

TEST(OpenLoopLag, PulseTrainGivesItsPeriodNotAMultiple) {
    for (int period : {23, 30, 57, 71, 140}) {
        double buf[PitchBufferLength] = {};
        for (int n = PitchBufferLength - 1; n >= 0; n -= period) buf[n] = 1000.0;
        EXPECT_EQ(estimateOpenLoopLag(buf, 265), period) << period;
        EXPECT_EQ(estimateOpenLoopLag(buf, 145), period) << period;
    }
}

// One current pulse at 300 and two past pulses at 300 - lagA and 300 - lagB; all windows
// that see one see all three, so only the correlations differ.
int twoCandidates(int lagA, double ampA, int lagB, double ampB) {
    double buf[PitchBufferLength] = {};
    buf[300] = 1.0;
    buf[300 - lagA] = ampA;
    buf[300 - lagB] = ampB;
    return estimateOpenLoopLag(buf, 265);
}

TEST(OpenLoopLag, NearLagWinsOnAnyGainFarLagNeedsFourThirds) {
    EXPECT_EQ(twoCandidates(40, 1.0, 50, 1.01), 50);   // 10 above: any improvement
    EXPECT_EQ(twoCandidates(40, 1.0, 57, 1.01), 57);   // 17 above
    EXPECT_EQ(twoCandidates(40, 1.0, 58, 1.1), 40);    // 18 above: 1.21 < 4/3
    EXPECT_EQ(twoCandidates(40, 1.0, 58, 1.16), 58);   // 1.3456 > 4/3
    EXPECT_EQ(twoCandidates(40, 1.0, 50, 1.0), 40);    // equal: the first stays
    EXPECT_EQ(twoCandidates(40, 1.0, 142, 2.0), 142);  // the last lag is reachable
}

// ---- Closed-loop pitch ----

void unitImpulse(double h[60]) {
    std::fill(h, h + 60, 0.0);
    h[0] = 1.0;
}

TEST(AdaptiveSearch, ZeroTargetKeepsDefaultsAndClampsLag) {
    const double exc[HistoryLength] = {};
    double impulse[60];
    unitImpulse(impulse);
    const int cases[][2] = {{18, 19}, {60, 60}, {141, 140}, {142, 140}};
    for (const auto& c : cases) {
        CelpFrameParams params;
        params.pitchLag[0] = c[0];
        double target[60] = {};
        searchAdaptiveCodebook(target, impulse, exc, params, 0);
        EXPECT_EQ(params.pitchLag[0], c[1]) << c[0];
        EXPECT_EQ(params.subframe[0].lagOffset, 1);
        EXPECT_EQ(params.subframe[0].acbGainIndex, 0);
    }
    // Odd subframes take the lag as it stands.
    CelpFrameParams params;
    params.pitchLag[1] = 18;
    double target[60] = {};
    searchAdaptiveCodebook(target, impulse, exc, params, 3);
    EXPECT_EQ(params.pitchLag[1], 18);
    EXPECT_EQ(params.subframe[3].lagOffset, 1);
}

TEST(AdaptiveSearch, OddSubframeReachesDelay17AndRemovesTheMatch) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(-2000, 2000);
    double exc[HistoryLength];
    for (double& v : exc) v = u(rng);
    double impulse[60];
    unitImpulse(impulse);
    for (int row : {7, 22, 35}) {
        double target[60];
        adaptiveContribution(target, exc, 18, 0, row);  // delay 17
        CelpFrameParams params;
        params.pitchLag[0] = 18;
        searchAdaptiveCodebook(target, impulse, exc, params, 1);
        EXPECT_EQ(params.subframe[1].lagOffset, 0) << row;
        EXPECT_EQ(params.subframe[1].acbGainIndex, row);
        EXPECT_EQ(params.pitchLag[0], 18);
        for (double v : target) EXPECT_NEAR(v, 0.0, 1e-9);
    }
}

TEST(AdaptiveSearch, EvenSubframeFoldsDelayIntoLag) {
    std::mt19937 rng(2);
    std::uniform_real_distribution<double> u(-2000, 2000);
    double exc[HistoryLength];
    for (double& v : exc) v = u(rng);
    double impulse[60];
    unitImpulse(impulse);
    double target[60];
    adaptiveContribution(target, exc, 77, 2, 13);  // delay 78
    CelpFrameParams params;
    params.pitchLag[1] = 77;
    searchAdaptiveCodebook(target, impulse, exc, params, 2);
    EXPECT_EQ(params.pitchLag[1], 78);
    EXPECT_EQ(params.subframe[2].lagOffset, 1);
    EXPECT_EQ(params.subframe[2].acbGainIndex, 13);
}

TEST(AdaptiveSearch, TiesKeepSmallerDelay) {
    // Constant excitation and target: every delay gives the same vector.
    double exc[HistoryLength];
    std::fill(exc, exc + HistoryLength, 100.0);
    double impulse[60];
    unitImpulse(impulse);
    double target[60];
    std::fill(target, target + 60, 80.0);
    CelpFrameParams params;
    params.pitchLag[0] = 50;
    searchAdaptiveCodebook(target, impulse, exc, params, 0);
    EXPECT_EQ(params.pitchLag[0], 49);
    EXPECT_NE(params.subframe[0].acbGainIndex, 0);
    std::fill(target, target + 60, 80.0);
    searchAdaptiveCodebook(target, impulse, exc, params, 1);
    EXPECT_EQ(params.subframe[1].lagOffset, 0);
}

TEST(AdaptiveSearch, UpdatedTargetIsTargetMinusFilteredChosenVector) {
    std::mt19937 rng(4);
    std::uniform_real_distribution<double> u(-3000, 3000);
    double exc[HistoryLength];
    for (int n = 0; n < HistoryLength; ++n) exc[n] = 2000.0 * std::sin(0.15 * n) + 0.1 * u(rng);
    double impulse[60];
    impulse[0] = 1.0;
    for (int n = 1; n < 60; ++n) impulse[n] = 0.8 * std::cos(0.4 * n) * std::pow(0.9, n);
    for (int s = 0; s < 4; ++s) {
        double target[60], original[60];
        for (int n = 0; n < 60; ++n) original[n] = target[n] = 1500.0 * std::sin(0.15 * n + 1.0);
        CelpFrameParams params;
        params.pitchLag[0] = params.pitchLag[1] = 40;
        double chosen[60];
        searchAdaptiveCodebook(target, impulse, exc, params, s, chosen);
        const CelpSubframeParams& sp = params.subframe[s];
        EXPECT_NE(sp.acbGainIndex, 0);
        double v[60];
        adaptiveContribution(v, exc, params.pitchLag[s / 2], sp.lagOffset, sp.acbGainIndex);
        EXPECT_EQ(std::memcmp(chosen, v, sizeof v), 0) << s;  // the contribution handed back
        double energyBefore = 0.0, energyAfter = 0.0;
        for (int n = 0; n < 60; ++n) {
            double sum = 0.0;
            for (int j = 0; j <= n; ++j) sum += v[j] * impulse[n - j];
            EXPECT_EQ(target[n], original[n] - sum) << s << " " << n;
            energyBefore += original[n] * original[n];
            energyAfter += target[n] * target[n];
        }
        EXPECT_LT(energyAfter, energyBefore);  // a chosen row always reduces the error
    }
}

// ---- Fixed codebook ----

TEST(FixedGain, NearestLevelWithLowerIndexOnTies) {
    double y[60] = {1.0};
    double t[60] = {};
    t[0] = -500.0;
    EXPECT_EQ(quantiseFixedGain(t, y).index, 0);  // negative correlation
    EXPECT_EQ(quantiseFixedGain(t, y).gain, 2.0);
    t[0] = 3.0;  // halfway between 2 and 4
    EXPECT_EQ(quantiseFixedGain(t, y).index, 0);
    t[0] = 3.0000001;
    EXPECT_EQ(quantiseFixedGain(t, y).index, 1);
    t[0] = 1452.0;
    EXPECT_EQ(quantiseFixedGain(t, y).index, 17);
    t[0] = 1e9;
    EXPECT_EQ(quantiseFixedGain(t, y).index, 23);
    EXPECT_EQ(quantiseFixedGain(t, y).gain, 13246.0);
}

TEST(PulseSearch, ZeroTargetKeepsFirstPositionsPositive) {
    double target[60] = {};
    double impulse[60];
    unitImpulse(impulse);
    CelpFrameParams params;
    params.pitchLag[0] = 60;
    int16_t budget = 120;
    searchFixedCodebook(target, impulse, params, 0, budget);
    const CelpSubframeParams& sp = params.subframe[0];
    EXPECT_EQ(sp.pulseSigns, 15);
    EXPECT_EQ(sp.pulsePositions, 0);
    EXPECT_EQ(sp.fcbGainIndex, 0);
    EXPECT_EQ(budget, 240);  // nothing passed the threshold
    for (int n = 0; n < 60; ++n)
        EXPECT_EQ(target[n], (n == 0 || n == 2 || n == 4 || n == 6) ? 2.0 : 0.0);
}

// With a unit impulse the backward-filtered target is the target itself.
void evenOnes(double target[60]) {
    std::fill(target, target + 60, 0.0);
    for (int n = 0; n < 60; n += 8) {
        target[n] = target[n + 2] = 1.0;
        if (n + 4 < 60) target[n + 4] = 1.0;  // position 60 lies outside the subframe
    }
}

TEST(PulseSearch, BudgetCountsPassesAcrossSubframes) {
    // Tracks 0 and 1 all 1, track 2 all 1 but position 60: M = 3, S = 23/8, so the threshold
    // is 2.9375 and exactly the 8 * 8 * 7 = 448 triples without position 60 pass.
    double impulse[60];
    unitImpulse(impulse);
    auto run = [&](int16_t start, double* positionsOut = nullptr) {
        double target[60];
        evenOnes(target);
        target[56] = 1.01;  // the best triples come last in scan order
        target[22] = 0.5;   // best fourth pulse
        CelpFrameParams params;
        params.pitchLag[0] = 100;
        int16_t budget = start;
        searchFixedCodebook(target, impulse, params, 0, budget);
        if (positionsOut) *positionsOut = params.subframe[0].pulsePositions;
        return budget;
    };
    double full = 0, cut = 0;
    EXPECT_EQ(run(400, &full), 400 + 120 - 448);
    EXPECT_EQ(run(329), 1);
    EXPECT_EQ(run(328), 0);
    EXPECT_EQ(run(120, &cut), 0);  // subframe 0: 240 passes
    EXPECT_EQ(run(0), 0);          // later subframes: 120 passes
    // The full search reaches pulse 0 at 56; the budget cuts it off before.
    EXPECT_EQ(full, 7 + 8 * 0 + 64 * 0 + 512 * 1);
    EXPECT_EQ(cut, 0 + 512 * 1);
}

TEST(PulseSearch, OddGridRaisesThreshold) {
    double impulse[60];
    unitImpulse(impulse);
    double target[60];
    evenOnes(target);
    for (int n = 1; n < 60; n += 2) target[n] = 5.0;
    CelpFrameParams params;
    params.pitchLag[0] = 100;
    int16_t budget = 120;
    searchFixedCodebook(target, impulse, params, 0, budget);
    EXPECT_EQ(budget, 240);
    EXPECT_EQ(params.subframe[0].pulsePositions, 0);
}

TEST(PulseSearch, PulseAtPosition60IsCodedButPlacesNothing) {
    double impulse[60];
    unitImpulse(impulse);
    double target[60] = {};
    for (int n = 0; n < 60; n += 8) target[n] = target[n + 2] = 300.0;
    target[0] = 600.0;
    CelpFrameParams params;
    params.pitchLag[0] = 100;
    int16_t budget = 120;
    searchFixedCodebook(target, impulse, params, 0, budget);
    const CelpSubframeParams& sp = params.subframe[0];
    EXPECT_EQ((sp.pulsePositions >> 6) & 7, 7);
    EXPECT_EQ(sp.pulseSigns & 4, 4);
    int pulses = 0;
    for (double v : target) pulses += v != 0.0;
    EXPECT_EQ(pulses, 3);
}

TEST(PulseSearch, NegativeTargetsGiveNegativeSigns) {
    double impulse[60];
    unitImpulse(impulse);
    double target[60] = {};
    target[16] = -1000.0;
    target[26] = -900.0;
    target[44] = -800.0;
    target[38] = -700.0;
    CelpFrameParams params;
    params.pitchLag[0] = 100;
    int16_t budget = 120;
    searchFixedCodebook(target, impulse, params, 0, budget);
    const CelpSubframeParams& sp = params.subframe[0];
    EXPECT_EQ(sp.pulseSigns, 0);
    EXPECT_EQ(sp.pulsePositions, 2 + 8 * 3 + 64 * 5 + 512 * 2);
    EXPECT_EQ(FcbGainTable[sp.fcbGainIndex], 696.0);  // mean amplitude 850: nearest level
    EXPECT_EQ(target[16], -696.0);
}

TEST(PulseSearch, ExcitationMatchesTheDecodersPulseVector) {
    std::mt19937 rng(8);
    std::uniform_real_distribution<double> u(-4000, 4000);
    std::uniform_int_distribution<int> rowDist(0, 41), lagDist(18, 141), offDist(0, 3);
    int repeated = 0;
    for (int trial = 0; trial < 200; ++trial) {
        double target[60], impulse[60];
        for (double& v : target) v = u(rng);
        impulse[0] = 1.0;
        const double decay = 0.5 + 0.004 * (trial % 100);
        for (int n = 1; n < 60; ++n) impulse[n] = std::pow(decay, n) * std::cos(0.3 * n + trial);
        CelpFrameParams params;
        const int s = trial % 4;
        params.pitchLag[s / 2] = lagDist(rng);
        params.subframe[s].acbGainIndex = rowDist(rng);
        params.subframe[s].lagOffset = (s % 2) ? offDist(rng) : 1;
        int16_t budget = static_cast<int16_t>(trial % 300);
        searchFixedCodebook(target, impulse, params, s, budget);
        const CelpSubframeParams& sp = params.subframe[s];
        const PitchRepeat rep =
            pitchRepeatParams(params.pitchLag[s / 2] + sp.lagOffset - 1, sp.acbGainIndex);
        repeated += rep.delay < 30;
        double decoded[60];
        buildFixedExcitation(decoded, sp, params.pitchLag[s / 2]);
        for (int n = 0; n < 60; ++n) ASSERT_EQ(target[n], decoded[n]) << trial << " " << n;
    }
    EXPECT_GT(repeated, 0);  // the double repetition was exercised
}

}  // namespace
}  // namespace brimvox
