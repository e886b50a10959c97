// Constant tables shared by the encoder and the decoder.
#pragma once

#include "celp_codec.h"

namespace brimvox {

// Mean LSP vector in grid units (256 = 4000 Hz), removed before quantisation.
inline constexpr double LspMeanTable[LpcOrder] = {24.4609, 36.8828, 60.0781, 84.4219, 108.375,
                                                  128.867, 154.312, 173.906, 199.094, 216.547};

// Split-vector LSP codebook: band 0 -> positions 0..2, band 1 -> 3..5, band 2 -> 6..9.
// Row 0 of every band is the zero vector.
struct LspCodebookBands {
    double band0[256][3];
    double band1[256][3];
    double band2[256][4];
};
extern const LspCodebookBands LspCodebook;

// cos(2 pi n / 512) on the 16384 grid, to six significant digits.
extern const double CosineTable[512];

// Per gain row: taps g0..g4, then -g0^2..-g4^2, then -gi*gj in the order
// 01, 02, 12, 03, 13, 23, 04, 14, 24, 34.
extern const double AcbGainTable[AcbGainRows][20];

// Pulse repetition per gain row: delay offset (60 = none) and gain.
struct PitchRepeatEntry {
    int offset;
    double gain;
};
extern const PitchRepeatEntry PitchRepeatTable[AcbGainRows];

// Pulse amplitude per fixed-codebook gain index.
inline constexpr double FcbGainTable[FcbGainCount] = {
    2,   4,   6,   8,   12,   18,   26,   36,   52,   76,   110,  160,
    230, 332, 480, 696, 1004, 1452, 2100, 3034, 4386, 6340, 9164, 13246};

// Encoder: analysis window of the LPC analysis (180 samples, with four entries that differ
// from the formula and are kept as defined).
extern const double HammingWindow[180];

// Encoder: autocorrelation lag window for lags 1..10.
extern const double LagWindow[LpcOrder];

// Encoder: 0.994^k, k = 1..10, applied to the predictor before the LSP conversion.
extern const double BandwidthExpansion[LpcOrder];

// Voice-activity threshold factors, indexed by the noise level's binary exponent.
extern const double VadThresholdTable[11];

}  // namespace brimvox
