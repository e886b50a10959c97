// The stages of the speech encoder, in the order `CelpCodec::encodeFrame` runs them. Each
// stage is a free function over fixed-size arrays so that it can be tested on its own.
#pragma once

#include <cstdint>

#include "celp_codec.h"

namespace brimvox {

constexpr int AnalysisHistory = 120;                             // prevAnalysis length
constexpr int PitchBufferLength = HistoryLength + FrameSamples;  // 385
constexpr int WeightSetSize = 2 * LpcOrder;  // zero side z1..z10, then pole side p1..p10
constexpr int MinOpenLoopLag = 18;
constexpr int MaxOpenLoopLag = 142;

// ---- Input filtering, LPC analysis, LSP quantisation ----

// DC removal followed by the 8th-order input low-pass, in place, using and advancing the
// codec's input-filter memories.
void filterInput(CelpCodec& codec, double speech[FrameSamples]);

// Four unquantised predictor sets from the Hamming-windowed autocorrelations of the 360
// samples prevAnalysis + speech (window s starts at 60*s); shifts one bit per subframe into
// `sineDetector` and sets its bit 15 when 14 or more of the last 15 subframes were resonant.
void analyseLpc(double sets[SubframeCount][LpcOrder], const double prevAnalysis[AnalysisHistory],
                const double speech[FrameSamples], int16_t& sineDetector);

// Predictor set p from the autocorrelations r[0..10] (r[0] = R0). Returns the tone value t:
// the negated second reflection coefficient, or 0.99 when the recursion stops early.
double levinsonDurbin(double p[LpcOrder], const double r[LpcOrder + 1]);

// Value of a half-order LSP polynomial C0..C5 at frequency j*pi/256.
double evaluateLspPolynomial(const double c[6], int j);

// LSP vector of a predictor set (bandwidth-expanded). When fewer than ten roots are found the
// fallback vector is copied instead and false is returned.
bool lpcToLsp(double lsp[LpcOrder], const double p[LpcOrder], const double fallback[LpcOrder]);

// lpcToLsp one grid point at a time, so that the search can run inside another loop (the
// weighting filter's, whose recursion leaves the arithmetic units idle most of the time).
class LspRootSearch {
  public:
    explicit LspRootSearch(const double p[LpcOrder]);
    // Examines the next grid point; nothing once the search is done.
    void step();
    bool done() const { return found == LpcOrder || next == 256; }
    // Runs the search to its end and gives what lpcToLsp gives.
    bool finish(double lsp[LpcOrder], const double fallback[LpcOrder]);

  private:
    typedef double Pair __attribute__((vector_size(16)));
    Pair evaluateBoth(int j) const;

    double coefP[6], coefQ[6];  // the half-order polynomials, highest power first
    double roots[LpcOrder];
    double prev = 0.0;
    int found = 0;
    int current = 0;  // P first, then alternating with Q
    int next = 1;     // the grid point step() examines
};

// Best row of one codebook band for target x under weights w (both 10 long, full vectors).
// Scores start at -1.0 with row 0; only a strictly higher score replaces the best.
int searchLspCodebook(int band, const double w[LpcOrder], const double x[LpcOrder]);

// 24-bit split-VQ index of an LSP vector, predicted from prevLsp.
int32_t quantiseLsp(const double lsp[LpcOrder], const double prevLsp[LpcOrder]);

// Delays the coded signal by one subframe: speech := last 60 of prevAnalysis + first 180 of
// speech; prevAnalysis := last 120 of speech.
void shiftAnalysisBuffer(double prevAnalysis[AnalysisHistory], double speech[FrameSamples]);

// ---- Perceptual weighting, harmonic noise shaping, ringing ----

struct HarmonicWeight {
    int32_t lag = 0;
    double gain = 0.0;  // 0..0.3125
};

// Weighting coefficient sets z_k = 0.9^k a_k and p_k = 0.5^k a_k, one per subframe.
void computeWeightingFilters(double weightCoef[SubframeCount][WeightSetSize],
                             const double unqLpc[SubframeCount][LpcOrder]);

// Runs the frame through W(z) = A(z/0.9)/A(z/0.5) in place, subframe s with set s, carrying
// the two memories (newest first) across subframes and frames.
void weightSpeech(double speech[FrameSamples],
                  const double weightCoef[SubframeCount][WeightSetSize], double firMem[LpcOrder],
                  double iirMem[LpcOrder]);

// weightSpeech with the steps of an LSP root search interleaved, one per sample: the search
// is independent work that runs while the filter waits for its previous output.
void weightSpeech(double speech[FrameSamples],
                  const double weightCoef[SubframeCount][WeightSetSize], double firMem[LpcOrder],
                  double iirMem[LpcOrder], LspRootSearch& search);

// Harmonic noise-shaping lag and gain of one subframe starting at pitchBuf[start], searched
// within 3 samples of the open-loop lag.
HarmonicWeight findHarmonicWeight(const double pitchBuf[PitchBufferLength], int start,
                                  int openLoopLag);

// speech[offset + n] := pitchBuf[145 + offset + n] - gain * pitchBuf[145 + offset + n - lag].
void applyHarmonicWeight(double speech[FrameSamples], const double pitchBuf[PitchBufferLength],
                         int offset, const HarmonicWeight& hw);

// Impulse response of 1/A(z), then W(z), then 1 - gain z^-lag, over one subframe.
void combinedImpulseResponse(double impulse[SubframeSamples], const double a[LpcOrder],
                             const double w[WeightSetSize], const HarmonicWeight& hw);

// Subtracts the zero-input response of the coding chain (continued from the codec's ringing
// memories, which are not changed) from the target.
void subtractRinging(double target[SubframeSamples], const double a[LpcOrder],
                     const double w[WeightSetSize], const CelpCodec& codec,
                     const HarmonicWeight& hw);

// Both of the above in one pass (they share the filters): the impulse response and the
// target with the ringing removed.
void impulseAndRinging(double impulse[SubframeSamples], double target[SubframeSamples],
                       const double a[LpcOrder], const double w[WeightSetSize],
                       const CelpCodec& codec, const HarmonicWeight& hw);

// Advances the ringing memories by one subframe of final excitation; the excitation is
// replaced by the synthesised subframe.
void updateRinging(double excitation[SubframeSamples], const double a[LpcOrder],
                   const double w[WeightSetSize], CelpCodec& codec);

// ---- Adaptive codebook (pitch) ----

// Open-loop pitch lag (18..142) of the 120 weighted samples at buf[start].
int estimateOpenLoopLag(const double buf[PitchBufferLength], int start);

// Closed-loop delay and gain row of subframe s; subtracts the filtered adaptive contribution
// from the target. Even subframes fold the chosen delay into pitchLag[s / 2]. The chosen
// contribution itself goes to `contribution` when that is given.
void searchAdaptiveCodebook(double target[SubframeSamples], const double impulse[SubframeSamples],
                            const double prevExcitation[HistoryLength], CelpFrameParams& params,
                            int s, double* contribution = nullptr);

// The closed-loop search evaluates its candidates several at a time; on processors with AVX
// four at once (as do the other vector kernels of the encoder, vector_kernels.h). Both ways
// give identical results; tests switch the wide way off to check the other (an encoder running
// meanwhile on another thread may use either for each kernel call).
void allowWidePitchKernel(bool allowed);
bool widePitchKernelInUse();

// ---- Fixed codebook (pulses) ----

struct FixedGain {
    int index = 0;
    double gain = 0.0;
};

// Nearest FcbGainTable entry to the optimal gain of y against target (index 0 when the
// correlation is not positive).
FixedGain quantiseFixedGain(const double target[SubframeSamples], const double y[SubframeSamples]);

// Four-pulse search of subframe s within the frame's pass budget. The impulse response is
// sharpened in place; the target is replaced by the fixed-codebook excitation.
void searchFixedCodebook(double target[SubframeSamples], double impulse[SubframeSamples],
                         CelpFrameParams& params, int s, int16_t& searchBudget);

// ---- Voice activity ----

// Speech (1) or not (0) for a frame of filtered, unshifted samples (only 60..239 are read);
// updates the detector's fields of the codec.
int16_t detectVoiceActivity(CelpCodec& codec, const double speech[FrameSamples],
                            int16_t vadSensitivity);

}  // namespace brimvox
