// Perceptual weighting W(z) = A(z/0.9) / A(z/0.5), harmonic noise shaping 1 - g z^-L, the
// impulse response of the whole coding chain and the ringing carried between subframes.
#include <cstring>

#include "celp_encoder.h"
#include "celp_shared.h"

namespace brimvox {

namespace {

// Shifts a newest-first memory by one and stores the new value in front.
inline void push(double mem[LpcOrder], double value) {
    for (int k = LpcOrder - 1; k > 0; --k) mem[k] = mem[k - 1];
    mem[0] = value;
}

}  // namespace

void computeWeightingFilters(double weightCoef[SubframeCount][WeightSetSize],
                             const double unqLpc[SubframeCount][LpcOrder]) {
    for (int s = 0; s < SubframeCount; ++s) {
        // Powers by repeated multiplication: the same doubles on every platform's libm.
        double zeroFactor = 0.9;
        double poleFactor = 0.5;
        for (int k = 0; k < LpcOrder; ++k) {
            weightCoef[s][k] = zeroFactor * unqLpc[s][k];
            weightCoef[s][LpcOrder + k] = poleFactor * unqLpc[s][k];
            zeroFactor *= 0.9;
            poleFactor *= 0.5;
        }
    }
}

void weightSpeech(double speech[FrameSamples],
                  const double weightCoef[SubframeCount][WeightSetSize], double firMem[LpcOrder],
                  double iirMem[LpcOrder]) {
    for (int n = 0; n < FrameSamples; ++n) {
        const double* z = weightCoef[n / SubframeSamples];
        const double* p = z + LpcOrder;
        const double x = speech[n];
        const double t = x - dotProduct(z, firMem, LpcOrder);
        push(firMem, x);
        const double y = t + dotProduct(p, iirMem, LpcOrder);
        push(iirMem, y);
        speech[n] = y;
    }
}

HarmonicWeight findHarmonicWeight(const double pitchBuf[PitchBufferLength], int start,
                                  int openLoopLag) {
    const double* cur = pitchBuf + start;
    const double e0 = dotProduct(cur, cur, SubframeSamples);
    int best = -1;
    double bestE = 1.0, bestC = 0.0, bestC2 = 0.0;
    for (int i = 0; i <= 6; ++i) {
        const double* past = cur - (openLoopLag - 3 + i);
        const double c = dotProduct(cur, past, SubframeSamples);
        const double e = dotProduct(past, past, SubframeSamples);
        if (e > 0.0 && c > 0.0) {
            const double c2 = c * c;
            if (c2 * bestE > e * bestC2) {
                best = i;
                bestE = e;
                bestC = c;
                bestC2 = c2;
            }
        }
    }
    HarmonicWeight hw;
    if (best < 0) {
        hw.lag = openLoopLag;
        hw.gain = 0.0;
        return hw;
    }
    hw.lag = openLoopLag - 3 + best;
    hw.gain = 0.0;
    if (bestC2 > 0.375 * bestE * e0) {
        const double ratio = (bestC > bestE || bestE == 0.0) ? 1.0 : bestC / bestE;
        hw.gain = 0.3125 * ratio;
    }
    return hw;
}

void applyHarmonicWeight(double speech[FrameSamples], const double pitchBuf[PitchBufferLength],
                         int offset, const HarmonicWeight& hw) {
    const double* cur = pitchBuf + HistoryLength + offset;
    for (int n = 0; n < SubframeSamples; ++n) {
        speech[offset + n] = cur[n] - hw.gain * cur[n - hw.lag];
    }
}

void combinedImpulseResponse(double impulse[SubframeSamples], const double a[LpcOrder],
                             const double w[WeightSetSize], const HarmonicWeight& hw) {
    const double* z = w;
    const double* p = w + LpcOrder;
    double synthMem[LpcOrder] = {};
    double weightMem[LpcOrder] = {};
    double u[SubframeSamples];
    for (int n = 0; n < SubframeSamples; ++n) {
        const double x = n == 0 ? 1.0 : 0.0;
        const double s = x + dotProduct(a, synthMem, LpcOrder);
        const double t = s - dotProduct(z, synthMem, LpcOrder);
        push(synthMem, s);
        u[n] = t + dotProduct(p, weightMem, LpcOrder);
        push(weightMem, u[n]);
    }
    for (int n = 0; n < SubframeSamples; ++n) {
        const double delayed = n - hw.lag >= 0 ? u[n - hw.lag] : 0.0;
        impulse[n] = u[n] - hw.gain * delayed;
    }
}

void subtractRinging(double target[SubframeSamples], const double a[LpcOrder],
                     const double w[WeightSetSize], const CelpCodec& codec,
                     const HarmonicWeight& hw) {
    const double* z = w;
    const double* p = w + LpcOrder;
    double f[LpcOrder];
    double iir[LpcOrder];
    double h[HistoryLength + SubframeSamples];
    std::memcpy(f, codec.ringFirMem, sizeof f);
    std::memcpy(iir, codec.ringIirMem, sizeof iir);
    std::memcpy(h, codec.ringHistory, sizeof(double) * HistoryLength);
    for (int n = 0; n < SubframeSamples; ++n) {
        const double s = dotProduct(a, f, LpcOrder);
        const double t = s - dotProduct(z, f, LpcOrder);
        push(f, s);
        const double u = t + dotProduct(p, iir, LpcOrder);
        push(iir, u);
        h[HistoryLength + n] = u;
        target[n] -= u - hw.gain * h[HistoryLength + n - hw.lag];
    }
}

void updateRinging(double excitation[SubframeSamples], const double a[LpcOrder],
                   const double w[WeightSetSize], CelpCodec& codec) {
    const double* z = w;
    const double* p = w + LpcOrder;
    std::memmove(codec.ringHistory, codec.ringHistory + SubframeSamples,
                 sizeof(double) * (HistoryLength - SubframeSamples));
    for (int n = 0; n < SubframeSamples; ++n) {
        const double s = excitation[n] + dotProduct(a, codec.ringFirMem, LpcOrder);
        excitation[n] = s;
        const double t = s - dotProduct(z, codec.ringFirMem, LpcOrder);
        push(codec.ringFirMem, s);
        const double u = t + dotProduct(p, codec.ringIirMem, LpcOrder);
        push(codec.ringIirMem, u);
        codec.ringHistory[HistoryLength - SubframeSamples + n] = u;
    }
}

}  // namespace brimvox
