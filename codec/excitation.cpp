// The adaptive-codebook (pitch) contribution and the fixed-codebook pulse vector.
#include <cstring>

#include "celp_shared.h"
#include "celp_tables.h"

namespace brimvox {

void fetchLaggedExcitation(double v[64], const double window[HistoryLength], int delay) {
    v[0] = window[143 - delay];
    v[1] = window[144 - delay];
    // One copy of the last `delay` samples (as far as they fit), then the period repeats.
    const int first = delay < 62 ? delay : 62;
    std::memcpy(v + 2, window + (HistoryLength - delay), sizeof(double) * first);
    for (int k = 2 + first; k < 64; ++k) v[k] = v[k - delay];
}

void adaptiveContribution(double out[SubframeSamples], const double window[HistoryLength], int lag,
                          int lagOffset, int acbGainIndex) {
    double v[64];
    fetchLaggedExcitation(v, window, lag + lagOffset - 1);
    const double* taps = AcbGainTable[acbGainIndex];
    // out[n] = dotProduct(v + n, taps, 5): each sum keeps its own order (from 0, tap 0 to 4),
    // two neighbouring n per register (lanes never mix).
    typedef double Pair __attribute__((vector_size(16)));
    Pair g[5];
    for (int t = 0; t < 5; ++t) g[t] = Pair{taps[t], taps[t]};
    for (int n = 0; n < SubframeSamples; n += 2) {
        Pair sum = {0.0, 0.0};
        for (int t = 0; t < 5; ++t) {
            Pair x;
            std::memcpy(&x, v + n + t, sizeof x);
            sum += x * g[t];
        }
        std::memcpy(out + n, &sum, sizeof sum);
    }
}

PitchRepeat pitchRepeatParams(int delay, int acbGainIndex) {
    const PitchRepeatEntry& e = PitchRepeatTable[acbGainIndex];
    return {delay + e.offset, e.gain};
}

void buildFixedExcitation(double out[SubframeSamples], const CelpSubframeParams& sp, int lag) {
    double v[64] = {};
    const double amplitude = FcbGainTable[sp.fcbGainIndex];
    const int b = sp.pulsePositions;
    const int position[4] = {8 * (b & 7), 8 * ((b >> 3) & 7) + 2, 8 * ((b >> 6) & 7) + 4,
                             16 * ((b >> 9) & 3) + 6};
    for (int p = 0; p < 4; ++p) {
        v[position[p]] = ((sp.pulseSigns >> p) & 1) != 0 ? amplitude : -amplitude;
    }
    // Only v[0..59] is kept: pulse 2 at position 60 lies outside the subframe.
    const PitchRepeat rep = pitchRepeatParams(lag + sp.lagOffset - 1, sp.acbGainIndex);
    if (rep.delay < 58) {
        // In place, so a repeated pulse is repeated again one delay later.
        for (int n = rep.delay; n < SubframeSamples; ++n) v[n] = rep.gain * v[n - rep.delay] + v[n];
    }
    for (int n = 0; n < SubframeSamples; ++n) out[n] = v[n];
}

}  // namespace brimvox
