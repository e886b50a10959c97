// Pitch: the open-loop lag estimate on the weighted speech and the closed-loop search of delay
// and five-tap gain row against the adaptive codebook.
#include <cstring>

#include "celp_encoder.h"
#include "celp_shared.h"
#include "celp_tables.h"
#include "vector_kernels.h"

namespace brimvox {

namespace {

constexpr int OpenLoopSpan = 120;

}  // namespace

int estimateOpenLoopLag(const double buf[PitchBufferLength], int start) {
    const double* cur = buf + start;
    // The past samples in reverse order, so that neighbouring lags read neighbouring values:
    // back[t] = cur[OpenLoopSpan - 1 - t], zero beyond the reach of the longest lag.
    constexpr int Reach = OpenLoopSpan + MaxOpenLoopLag;  // cur[-142] .. cur[119]
    double back[OpenLoopSpan + MinOpenLoopLag + 128];
    for (int t = 0; t < Reach; ++t) back[t] = cur[OpenLoopSpan - 1 - t];
    for (int t = Reach; t < OpenLoopSpan + MinOpenLoopLag + 128; ++t) back[t] = 0.0;

    // corr[i - 18] = sum over n of cur[n] * cur[n - i], several lags side by side, each sum in
    // increasing n exactly as a single dot product would add it.
    double corr[128];
    vectorKernels().openLoopCorrelations(corr, cur, back, MinOpenLoopLag);

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
        // The decision without branches (its outcome is unpredictable): the values are
        // computed either way and only selected when the lag qualifies.
        const double c2 = c * c;
        const double diff = c2 * bestE - energy * bestC2;
        const bool take = (energy > 0.0) & (c > 0.0) &
                          (((diff > 0.0) & (i - best < 18)) | (diff > 0.25 * c2 * bestE));
        bestE = take ? energy : bestE;
        bestC2 = take ? c2 : bestC2;
        best = take ? i : best;
    }
    return best;
}

void searchAdaptiveCodebook(double target[SubframeSamples], const double impulse[SubframeSamples],
                            const double prevExcitation[HistoryLength], CelpFrameParams& params,
                            int s, double* contribution) {
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
    // Lagged excitation of every candidate; a fourth lane repeats the last delay when there
    // are only three.
    double r[4][64];
    for (int k = 0; k < 4; ++k) {
        fetchLaggedExcitation(r[k], prevExcitation,
                              lag + (k < candidates ? k : candidates - 1) - 1);
    }
    double values[4][AcbGainRows];
    vectorKernels().pitchCandidates(values, target, impulse, r, AcbGainTable);
    for (int k = 0; k < candidates; ++k) {
        for (int g = 0; g < AcbGainRows; ++g) {
            const double v = values[k][g];
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

    double own[SubframeSamples];
    double* v = contribution != nullptr ? contribution : own;
    adaptiveContribution(v, prevExcitation, lag, bestK, bestG);
    double filtered[SubframeSamples];
    // filtered[n] = sum over j = 0..n of v[j] * impulse[n - j], each sum in increasing j.
    vectorKernels().convolve(filtered, v, impulse);
    for (int n = 0; n < SubframeSamples; ++n) target[n] -= filtered[n];
}

}  // namespace brimvox
