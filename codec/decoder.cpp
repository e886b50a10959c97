// The frame decoder: excitation from the fixed and adaptive codebooks through the
// interpolated synthesis filter, rounded to 16-bit samples.
#include <cmath>
#include <cstring>

#include "celp_codec.h"
#include "celp_shared.h"

namespace brimvox {

namespace {

// Confines a value to the 16-bit range without rounding it.
double clampHistory(double x) {
    if (x < -32767.5) return -32768.0;
    if (x > 32766.5) return 32767.0;
    return x;
}

}  // namespace

int16_t toPcm16(double x) {
    if (x < -32767.5) return -32768;
    if (x > 32766.5) return 32767;
    return static_cast<int16_t>(x >= 0.0 ? x + 0.5 : x - 0.5);
}

void CelpCodec::synthesisFilter(double signal[SubframeSamples], const double predictor[LpcOrder]) {
    // Outputs are appended to a linear buffer instead of shifting the memory every sample:
    // y[LpcOrder + n] is output n, y[LpcOrder - 1 - k] is decSynthMemory[k].
    double y[LpcOrder + SubframeSamples];
    for (int k = 0; k < LpcOrder; ++k) y[LpcOrder - 1 - k] = decSynthMemory[k];
    for (int n = 0; n < SubframeSamples; ++n) {
        const double* past = y + LpcOrder - 1 + n;  // past[-k] is the output k + 1 samples back
        // The sum over k = 0..9 in increasing k, as dotProduct accumulates it. Its leading
        // "0 +" is left out: adding zero is exact, so only the sign of a zero sum could differ,
        // and that never reaches a non-zero value or an output sample.
        double sum = predictor[0] * past[0];
        for (int k = 1; k < LpcOrder; ++k) sum += predictor[k] * past[-k];
        y[LpcOrder + n] = sum + signal[n];
        signal[n] = y[LpcOrder + n];
    }
    for (int k = 0; k < LpcOrder; ++k) decSynthMemory[k] = y[LpcOrder + SubframeSamples - 1 - k];
}

void CelpCodec::decodeFrame(const uint8_t frame[FrameBytes], int16_t pcm[FrameSamples],
                            int16_t lost) {
    const CelpFrameParams params = unpackFrame(frame, lost);

    double lsp[LpcOrder];
    decodeLsp(lsp, decPrevLsp, params.lspIndex, params.badFrame);
    double sets[SubframeCount][LpcOrder];
    interpolateLsp(sets, lsp, decPrevLsp);
    std::memcpy(decPrevLsp, lsp, sizeof lsp);

    // B[0..144] is the kept history, B[145..384] the frame's new excitation.
    double b[HistoryLength + FrameSamples];
    std::memcpy(b, decExcitation, sizeof decExcitation);
    for (int s = 0; s < SubframeCount; ++s) {
        const CelpSubframeParams& sp = params.subframe[s];
        const int lag = params.pitchLag[s / 2];
        double* sub = b + HistoryLength + SubframeSamples * s;
        buildFixedExcitation(sub, sp, lag);
        double acb[SubframeSamples];
        adaptiveContribution(acb, b + SubframeSamples * s, lag, sp.lagOffset, sp.acbGainIndex);
        for (int n = 0; n < SubframeSamples; ++n) sub[n] += acb[n];
    }

    // The synthesis runs on the unclamped excitation; only the kept history is clamped.
    double e[FrameSamples];
    std::memcpy(e, b + HistoryLength, sizeof e);
    for (int n = HistoryLength; n < HistoryLength + FrameSamples; ++n) b[n] = clampHistory(b[n]);
    std::memcpy(decExcitation, b + FrameSamples, sizeof decExcitation);

    for (int s = 0; s < SubframeCount; ++s) synthesisFilter(e + SubframeSamples * s, sets[s]);
    for (int n = 0; n < FrameSamples; ++n) pcm[n] = toPcm16(e[n]);
}

}  // namespace brimvox
