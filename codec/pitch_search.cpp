// Pitch: the open-loop lag estimate on the weighted speech and the closed-loop search of delay
// and five-tap gain row against the adaptive codebook.
#include "celp_encoder.h"
#include "celp_shared.h"
#include "celp_tables.h"

namespace brimvox {

int estimateOpenLoopLag(const double buf[PitchBufferLength], int start) {
    constexpr int Span = 120;
    const double* cur = buf + start;
    // Energy of the window one lag short of the first candidate; each step slides it back.
    double energy = dotProduct(cur - 17, cur - 17, Span);
    double bestE = 1.0;
    double bestC2 = 0.0;
    int best = MinOpenLoopLag;
    for (int i = MinOpenLoopLag; i <= MaxOpenLoopLag; ++i) {
        const double leaving = cur[Span - i];
        const double entering = cur[-i];
        energy = energy - leaving * leaving + entering * entering;
        const double c = dotProduct(cur, cur - i, Span);
        if (energy > 0.0 && c > 0.0) {
            const double c2 = c * c;
            const double diff = c2 * bestE - energy * bestC2;
            if ((diff > 0.0 && i - best < 18) || diff > 0.25 * c2 * bestE) {
                bestE = energy;
                bestC2 = c2;
                best = i;
            }
        }
    }
    return best;
}

namespace {

// Pairs (i, j) of the cross-correlation entries 10..19, in table order.
constexpr int CrossPairs[10][2] = {{1, 0}, {2, 0}, {2, 1}, {3, 0}, {3, 1},
                                   {3, 2}, {4, 0}, {4, 1}, {4, 2}, {4, 3}};

// Correlation vector of one candidate delay, laid out as a gain-table row.
void candidateVector(double vec[20], const double target[SubframeSamples],
                     const double impulse[SubframeSamples],
                     const double prevExcitation[HistoryLength], int delay) {
    double r[64];
    fetchLaggedExcitation(r, prevExcitation, delay);
    double y[5][SubframeSamples];
    for (int n = 0; n < SubframeSamples; ++n) {
        double sum = 0.0;
        for (int j = 0; j <= n; ++j) sum += r[4 + j] * impulse[n - j];
        y[4][n] = sum;
    }
    for (int m = 3; m >= 0; --m) {
        y[m][0] = r[m];
        for (int n = 1; n < SubframeSamples; ++n) y[m][n] = y[m + 1][n - 1] + r[m] * impulse[n];
    }
    for (int m = 0; m < 5; ++m) vec[m] = dotProduct(target, y[m], SubframeSamples);
    for (int m = 0; m < 5; ++m) vec[5 + m] = 0.5 * dotProduct(y[m], y[m], SubframeSamples);
    for (int q = 0; q < 10; ++q) {
        vec[10 + q] = dotProduct(y[CrossPairs[q][0]], y[CrossPairs[q][1]], SubframeSamples);
    }
}

}  // namespace

void searchAdaptiveCodebook(double target[SubframeSamples], const double impulse[SubframeSamples],
                            const double prevExcitation[HistoryLength], CelpFrameParams& params,
                            int s) {
    const bool even = (s % 2) == 0;
    int lag = params.pitchLag[s / 2];
    if (even) {
        if (lag == 18) lag = 19;
        if (lag > 140) lag = 140;
    }
    const int candidates = even ? 3 : 4;

    double best = 0.0;
    int bestK = 1;
    int bestG = 0;
    for (int k = 0; k < candidates; ++k) {
        double vec[20];
        candidateVector(vec, target, impulse, prevExcitation, lag + k - 1);
        for (int g = 0; g < AcbGainRows; ++g) {
            const double v = dotProduct(vec, AcbGainTable[g], 20);
            if (v > best) {
                best = v;
                bestK = k;
                bestG = g;
            }
        }
    }
    if (even) {
        lag += bestK - 1;
        bestK = 1;
    }
    CelpSubframeParams& sp = params.subframe[s];
    sp.lagOffset = bestK;
    sp.acbGainIndex = bestG;
    params.pitchLag[s / 2] = lag;

    double v[SubframeSamples];
    adaptiveContribution(v, prevExcitation, lag, bestK, bestG);
    for (int n = 0; n < SubframeSamples; ++n) {
        double sum = 0.0;
        for (int j = 0; j <= n; ++j) sum += v[j] * impulse[n - j];
        target[n] -= sum;
    }
}

}  // namespace brimvox
