// Routines shared by the encoder and the decoder: LSP dequantisation and conversion, the
// five-tap pitch contribution and the fixed-codebook pulse vector.
#pragma once

#include "celp_codec.h"

namespace brimvox {

// Sum of a[i] * b[i] for i = 0..n-1, accumulated from 0 in increasing i; 0 when n <= 0.
// Every accumulation of the codec goes through here so its order is the same everywhere.
inline double dotProduct(const double* a, const double* b, int n) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += a[i] * b[i];
    return sum;
}

// Dequantised, stabilised LSP vector of a frame. A bad frame ignores the index and predicts
// the vector from `previous` with stronger prediction and wider spacing.
void decodeLsp(double out[LpcOrder], const double previous[LpcOrder], int32_t lspIndex,
               int16_t badFrame);

// The predictor sets of the four subframes, interpolated between the previous and the current
// LSP vector with weights 0.25, 0.5, 0.75 and 1 toward the current one.
void interpolateLsp(double sets[SubframeCount][LpcOrder], const double current[LpcOrder],
                    const double previous[LpcOrder]);

// Replaces an LSP vector (grid units) by its predictor set, in place.
void lspToLpc(double values[LpcOrder]);

// The lagged excitation segment for delay D (1..143): v[0], v[1] are the samples D+2 and D+1
// before the subframe, v[2..63] repeat the last D window samples periodically.
void fetchLaggedExcitation(double v[64], const double window[HistoryLength], int delay);

// Pitch contribution of one subframe: the lagged excitation through the five taps of the
// gain row.
void adaptiveContribution(double out[SubframeSamples], const double window[HistoryLength], int lag,
                          int lagOffset, int acbGainIndex);

struct PitchRepeat {
    int delay;
    double gain;
};

// Pulse repetition delay and gain for a pitch delay and gain row.
PitchRepeat pitchRepeatParams(int delay, int acbGainIndex);

// The fixed-codebook vector of one subframe: four signed pulses on their tracks, repeated at
// the pulse repetition delay when that is shorter than 58 samples.
void buildFixedExcitation(double out[SubframeSamples], const CelpSubframeParams& sp, int lag);

}  // namespace brimvox
