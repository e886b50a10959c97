// Pitch: the open-loop lag estimate on the weighted speech and the closed-loop search of delay
// and five-tap gain row against the adaptive codebook.
#include <cstring>

#include "celp_encoder.h"
#include "celp_shared.h"
#include "celp_tables.h"

namespace brimvox {

namespace {

constexpr int OpenLoopSpan = 120;
constexpr int LagBlock = 8;

// Two independent doubles in one SSE2 (or NEON) register. Element-wise operations on it are
// the same IEEE operations as on scalars, so sums kept per lane are bit-identical to scalar
// sums in the same order.
typedef double Pair __attribute__((vector_size(16)));

inline Pair loadPair(const double* p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void storePair(double* p, Pair v) {
    std::memcpy(p, &v, sizeof v);
}

}  // namespace

int estimateOpenLoopLag(const double buf[PitchBufferLength], int start) {
    const double* cur = buf + start;
    constexpr int Lags = MaxOpenLoopLag - MinOpenLoopLag + 1;  // 125
    // The past samples in reverse order, so that the correlations of eight neighbouring lags
    // read eight neighbouring values: back[t] = cur[OpenLoopSpan - 1 - t].
    constexpr int Reach = OpenLoopSpan + MaxOpenLoopLag;  // cur[-142] .. cur[119]
    double back[Reach + LagBlock];
    for (int t = 0; t < Reach; ++t) back[t] = cur[OpenLoopSpan - 1 - t];
    for (int t = Reach; t < Reach + LagBlock; ++t) back[t] = 0.0;

    // corr[i - 18] = sum over n of cur[n] * cur[n - i], eight lags side by side, each sum in
    // increasing n exactly as a single dot product would add it.
    double corr[Lags + LagBlock];
    for (int first = MinOpenLoopLag; first <= MaxOpenLoopLag; first += LagBlock) {
        // Two lanes per register, one lag per lane; lanes never mix, so each lag's sum is the
        // plain sequence of IEEE additions in increasing n.
        Pair a0 = {0.0, 0.0}, a1 = {0.0, 0.0}, a2 = {0.0, 0.0}, a3 = {0.0, 0.0};
        const double* past = back + (OpenLoopSpan - 1 + first);
        for (int n = 0; n < OpenLoopSpan; ++n, --past) {
            // past[j] = cur[n - first - j]
            const Pair x = {cur[n], cur[n]};
            a0 += x * loadPair(past);
            a1 += x * loadPair(past + 2);
            a2 += x * loadPair(past + 4);
            a3 += x * loadPair(past + 6);
        }
        double* out = corr + (first - MinOpenLoopLag);
        storePair(out, a0);
        storePair(out + 2, a1);
        storePair(out + 4, a2);
        storePair(out + 6, a3);
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

inline Pair broadcast(double x) {
    return Pair{x, x};
}

// Gain-row values of two candidate delays at once, one per lane: for each delay the five
// filtered tap signals, their correlation vector (laid out as a gain-table row) and its
// product with all 42 rows. Each lane performs exactly the scalar sequence of operations.
void candidatePair(double values[2][AcbGainRows], const double target[SubframeSamples],
                   const double impulse[SubframeSamples],
                   const double prevExcitation[HistoryLength], int delay0, int delay1) {
    double r0[64], r1[64];
    fetchLaggedExcitation(r0, prevExcitation, delay0);
    fetchLaggedExcitation(r1, prevExcitation, delay1);
    Pair r[64];
    for (int k = 0; k < 64; ++k) r[k] = Pair{r0[k], r1[k]};
    Pair h[SubframeSamples];
    for (int n = 0; n < SubframeSamples; ++n) h[n] = broadcast(impulse[n]);

    // y4[n] = sum over j = 0..n of r[4 + j] * h[n - j] in increasing j; the 60 sums advance
    // together. Then y_m[n] = y_(m+1)[n - 1] + r[m] h[n] (h[0] is 1).
    // Four outputs at a time are kept in registers.
    Pair y[5][SubframeSamples];
    for (int n = 0; n < SubframeSamples; n += 4) {
        Pair c0 = {0.0, 0.0}, c1 = {0.0, 0.0}, c2 = {0.0, 0.0}, c3 = {0.0, 0.0};
        for (int j = 0; j <= n; ++j) {
            const Pair rj = r[4 + j];
            c0 += rj * h[n - j];
            c1 += rj * h[n + 1 - j];
            c2 += rj * h[n + 2 - j];
            c3 += rj * h[n + 3 - j];
        }
        c1 += r[5 + n] * h[0];
        c2 += r[5 + n] * h[1];
        c3 += r[5 + n] * h[2];
        c2 += r[6 + n] * h[0];
        c3 += r[6 + n] * h[1];
        c3 += r[7 + n] * h[0];
        y[4][n] = c0;
        y[4][n + 1] = c1;
        y[4][n + 2] = c2;
        y[4][n + 3] = c3;
    }
    for (int m = 3; m >= 0; --m) {
        y[m][0] = r[m];
        for (int n = 1; n < SubframeSamples; ++n) y[m][n] = y[m + 1][n - 1] + r[m] * h[n];
    }

    // Target correlations and energies, then cross products; each sum in increasing n.
    Pair vec[20];
    {
        Pair a[10];
        for (Pair& v : a) v = Pair{0.0, 0.0};
        for (int n = 0; n < SubframeSamples; ++n) {
            const Pair t = broadcast(target[n]);
            for (int m = 0; m < 5; ++m) a[m] += t * y[m][n];
            for (int m = 0; m < 5; ++m) a[5 + m] += y[m][n] * y[m][n];
        }
        for (int m = 0; m < 5; ++m) vec[m] = a[m];
        for (int m = 0; m < 5; ++m) vec[5 + m] = broadcast(0.5) * a[5 + m];
    }
    {
        Pair c[10];
        for (Pair& v : c) v = Pair{0.0, 0.0};
        for (int n = 0; n < SubframeSamples; ++n) {
            for (int q = 0; q < 10; ++q) c[q] += y[CrossPairs[q][0]][n] * y[CrossPairs[q][1]][n];
        }
        for (int q = 0; q < 10; ++q) vec[10 + q] = c[q];
    }

    // Row values: sum over q = 0..19 of vec[q] * row[q] in increasing q, all rows together.
    Pair v[AcbGainRows];
    for (Pair& x : v) x = Pair{0.0, 0.0};
    for (int q = 0; q < 20; ++q) {
        const Pair vq = vec[q];
        for (int g = 0; g < AcbGainRows; ++g) v[g] += vq * broadcast(Gains.t[q][g]);
    }
    for (int g = 0; g < AcbGainRows; ++g) {
        values[0][g] = v[g][0];
        values[1][g] = v[g][1];
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
    for (int k = 0; k < candidates; k += 2) {
        // Candidates two at a time; an odd count repeats the last delay in the unused lane.
        const int second = k + 1 < candidates ? k + 1 : k;
        double values[2][AcbGainRows];
        candidatePair(values, target, impulse, prevExcitation, lag + k - 1, lag + second - 1);
        for (int lane = 0; lane < 2 && k + lane < candidates; ++lane) {
            for (int g = 0; g < AcbGainRows; ++g) {
                const double v = values[lane][g];
                if (v > best) {
                    best = v;
                    bestK = k + lane;
                    bestG = g;
                }
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
