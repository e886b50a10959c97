// Pitch: the open-loop lag estimate on the weighted speech and the closed-loop search of delay
// and five-tap gain row against the adaptive codebook.
#include "celp_encoder.h"
#include "celp_shared.h"
#include "celp_tables.h"

namespace brimvox {

namespace {

constexpr int OpenLoopSpan = 120;

// Correlations of the 120 samples at cur with the samples `lag`, lag+1, lag+2, lag+3 back.
// Four independent sums side by side, each accumulated in increasing n as a single one would.
inline void correlateFour(const double* cur, int lag, double out[4]) {
    double c0 = 0.0, c1 = 0.0, c2 = 0.0, c3 = 0.0;
    const double* past = cur - lag;
    for (int n = 0; n < OpenLoopSpan; ++n) {
        const double x = cur[n];
        c0 += x * past[n];
        c1 += x * past[n - 1];
        c2 += x * past[n - 2];
        c3 += x * past[n - 3];
    }
    out[0] = c0;
    out[1] = c1;
    out[2] = c2;
    out[3] = c3;
}

}  // namespace

int estimateOpenLoopLag(const double buf[PitchBufferLength], int start) {
    const double* cur = buf + start;
    constexpr int Lags = MaxOpenLoopLag - MinOpenLoopLag + 1;  // 125
    double corr[Lags + 3];
    int lag = MinOpenLoopLag;
    for (; lag + 3 <= MaxOpenLoopLag; lag += 4)
        correlateFour(cur, lag, corr + lag - MinOpenLoopLag);
    for (; lag <= MaxOpenLoopLag; ++lag) {
        corr[lag - MinOpenLoopLag] = dotProduct(cur, cur - lag, OpenLoopSpan);
    }

    // Energy of the window one lag short of the first candidate; each step slides it back.
    double energy = dotProduct(cur - 17, cur - 17, OpenLoopSpan);
    double bestE = 1.0;
    double bestC2 = 0.0;
    int best = MinOpenLoopLag;
    for (int i = MinOpenLoopLag; i <= MaxOpenLoopLag; ++i) {
        const double leaving = cur[OpenLoopSpan - i];
        const double entering = cur[-i];
        energy = energy - leaving * leaving + entering * entering;
        const double c = corr[i - MinOpenLoopLag];
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

// Gain table transposed (column q, then row g) so that the 42 row sums of a candidate run side
// by side; each still adds its 20 products in increasing q.
struct TransposedGains {
    double t[20][AcbGainRows];
    TransposedGains() {
        for (int g = 0; g < AcbGainRows; ++g) {
            for (int q = 0; q < 20; ++q) t[q][g] = AcbGainTable[g][q];
        }
    }
};
const TransposedGains Gains;

// y[n] = sum over j = 0..n of x[j] * h[n - j], each sum in increasing j (computed column by
// column so that the 60 sums advance together).
inline void convolve(double y[SubframeSamples], const double* x, const double h[SubframeSamples]) {
    for (int n = 0; n < SubframeSamples; ++n) y[n] = 0.0;
    for (int j = 0; j < SubframeSamples; ++j) {
        const double xj = x[j];
        for (int n = j; n < SubframeSamples; ++n) y[n] += xj * h[n - j];
    }
}

// Correlation vector of one candidate delay, laid out as a gain-table row.
void candidateVector(double vec[20], const double target[SubframeSamples],
                     const double impulse[SubframeSamples],
                     const double prevExcitation[HistoryLength], int delay) {
    double r[64];
    fetchLaggedExcitation(r, prevExcitation, delay);
    double y[5][SubframeSamples];
    convolve(y[4], r + 4, impulse);
    for (int m = 3; m >= 0; --m) {
        y[m][0] = r[m];
        for (int n = 1; n < SubframeSamples; ++n) y[m][n] = y[m + 1][n - 1] + r[m] * impulse[n];
    }
    // Target correlations and energies, ten sums side by side, each in increasing n.
    double a[10] = {};
    for (int n = 0; n < SubframeSamples; ++n) {
        const double t = target[n];
        for (int m = 0; m < 5; ++m) a[m] += t * y[m][n];
        for (int m = 0; m < 5; ++m) a[5 + m] += y[m][n] * y[m][n];
    }
    // Cross products of the pairs in table order.
    double c[10] = {};
    for (int n = 0; n < SubframeSamples; ++n) {
        for (int q = 0; q < 10; ++q) c[q] += y[CrossPairs[q][0]][n] * y[CrossPairs[q][1]][n];
    }
    for (int m = 0; m < 5; ++m) vec[m] = a[m];
    for (int m = 0; m < 5; ++m) vec[5 + m] = 0.5 * a[5 + m];
    for (int q = 0; q < 10; ++q) vec[10 + q] = c[q];
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
        double values[AcbGainRows] = {};
        for (int q = 0; q < 20; ++q) {
            const double vq = vec[q];
            for (int g = 0; g < AcbGainRows; ++g) values[g] += vq * Gains.t[q][g];
        }
        for (int g = 0; g < AcbGainRows; ++g) {
            const double v = values[g];
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
    double filtered[SubframeSamples];
    convolve(filtered, v, impulse);
    for (int n = 0; n < SubframeSamples; ++n) target[n] -= filtered[n];
}

}  // namespace brimvox
