// Perceptual weighting W(z) = A(z/0.9) / A(z/0.5), harmonic noise shaping 1 - g z^-L, the
// impulse response of the whole coding chain and the ringing carried between subframes.
#include <cstring>

#include "celp_encoder.h"
#include "celp_shared.h"
#include "lsp_root_search.h"
#include "vector_kernels.h"

namespace brimvox {

namespace {

// The filters below keep their past values in time order in a local buffer (ten values of
// history in front of the subframe or frame) instead of shifting newest-first memories
// sample by sample. pastDot(c, newest) = sum over k = 0..9 of c[k] * newest[-k]: the same
// products in the same order as dotProduct over a newest-first memory.
inline double pastDot(const double* c, const double* newest) {
    double sum = 0.0;
    for (int k = 0; k < LpcOrder; ++k) sum += c[k] * newest[-k];
    return sum;
}

// t + pastDot(c, newest) with one addition fewer on the path from the newest value, which
// in a recursive filter is the chain every output waits for. pastDot adds its products to +0;
// the sum started at the first product instead equals it except when every product is -0,
// where it gives -0 instead of +0. Adding that sum to t + 0 (t itself, but -0 turned into +0,
// computed off the chain) gives exactly t + pastDot(c, newest) in every case.
inline double addPastDot(double t, const double* c, const double* newest) {
    double sum = c[0] * newest[0];
    for (int k = 1; k < LpcOrder; ++k) sum += c[k] * newest[-k];
    return (t + 0.0) + sum;
}

// Newest-first memory -> the ten buffer entries before `at`, and back.
inline void loadMemory(double* at, const double mem[LpcOrder]) {
    for (int k = 0; k < LpcOrder; ++k) at[-1 - k] = mem[k];
}
inline void storeMemory(double mem[LpcOrder], const double* end) {
    for (int k = 0; k < LpcOrder; ++k) mem[k] = end[-1 - k];
}

// Two independent doubles in one register; lanes never mix, so each lane is the same IEEE
// sequence as scalar code.
typedef double Pair __attribute__((vector_size(16)));

inline Pair pastDot(const double* c, const Pair* newest) {
    Pair sum = {0.0, 0.0};
    for (int k = 0; k < LpcOrder; ++k) sum += Pair{c[k], c[k]} * newest[-k];
    return sum;
}

// Both lanes of t + pastDot(c, newest), one addition shorter as addPastDot above.
inline Pair addPastDot(Pair t, const double* c, const Pair* newest) {
    Pair sum = Pair{c[0], c[0]} * newest[0];
    for (int k = 1; k < LpcOrder; ++k) sum += Pair{c[k], c[k]} * newest[-k];
    return (t + Pair{0.0, 0.0}) + sum;
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

namespace {

// The weighting filter over the frame; `sideWork(n)` runs after sample n's filter step.
template <typename SideWork>
void weightFrame(double speech[FrameSamples], const double weightCoef[SubframeCount][WeightSetSize],
                 double firMem[LpcOrder], double iirMem[LpcOrder], SideWork sideWork) {
    double xs[LpcOrder + FrameSamples];
    double ys[LpcOrder + FrameSamples];
    loadMemory(xs + LpcOrder, firMem);
    loadMemory(ys + LpcOrder, iirMem);
    for (int n = 0; n < FrameSamples; ++n) {
        const double* z = weightCoef[n / SubframeSamples];
        const double* p = z + LpcOrder;
        const double x = speech[n];
        const double t = x - pastDot(z, xs + LpcOrder + n - 1);
        xs[LpcOrder + n] = x;
        const double y = addPastDot(t, p, ys + LpcOrder + n - 1);
        ys[LpcOrder + n] = y;
        speech[n] = y;
        sideWork(n);
    }
    storeMemory(firMem, xs + LpcOrder + FrameSamples);
    storeMemory(iirMem, ys + LpcOrder + FrameSamples);
}

}  // namespace

void weightSpeech(double speech[FrameSamples],
                  const double weightCoef[SubframeCount][WeightSetSize], double firMem[LpcOrder],
                  double iirMem[LpcOrder]) {
    weightFrame(speech, weightCoef, firMem, iirMem, [](int) {});
}

void weightSpeech(double speech[FrameSamples],
                  const double weightCoef[SubframeCount][WeightSetSize], double firMem[LpcOrder],
                  double iirMem[LpcOrder], LspRootSearch& search) {
    weightFrame(speech, weightCoef, firMem, iirMem, [&search](int) { search.step(); });
}

HarmonicWeight findHarmonicWeight(const double pitchBuf[PitchBufferLength], int start,
                                  int openLoopLag) {
    const double* cur = pitchBuf + start;
    const double e0 = dotProduct(cur, cur, SubframeSamples);
    // Correlation and energy of the seven lags, each sum in increasing n as dotProduct adds
    // it; window j of the kernel is the one first + 7 - j back (j = 0 is an extra lag, ignored,
    // which may reach one sample before the buffer: that one reads a zero).
    const int first = openLoopLag - 3;
    const int reach = first + 7;               // samples before cur that the windows read
    constexpr int Span = SubframeSamples + 7;  // past[k] = cur[k - reach], k = 0..66
    double past[Span];
    const int missing = reach > start ? reach - start : 0;
    for (int k = 0; k < missing; ++k) past[k] = 0.0;
    std::memcpy(past + missing, cur - reach + missing, sizeof(double) * (Span - missing));
    double corr[8], energy[8];
    vectorKernels().lagCorrelations(corr, energy, cur, past);
    int best = -1;
    double bestE = 1.0, bestC = 0.0, bestC2 = 0.0;
    for (int i = 0; i <= 6; ++i) {
        const double ci = corr[7 - i];
        const double ei = energy[7 - i];
        if (ei > 0.0 && ci > 0.0) {
            const double c2 = ci * ci;
            if (c2 * bestE > ei * bestC2) {
                best = i;
                bestE = ei;
                bestC = ci;
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

void impulseAndRinging(double impulse[SubframeSamples], double target[SubframeSamples],
                       const double a[LpcOrder], const double w[WeightSetSize],
                       const CelpCodec& codec, const HarmonicWeight& hw) {
    // Lane 0: the chain's response to a unit impulse from zero memory. Lane 1: its response
    // to zero input from the coding chain's memories (the ringing). Same filters, so both
    // run side by side in one loop.
    const double* z = w;
    const double* p = w + LpcOrder;
    Pair s[LpcOrder + SubframeSamples];
    Pair u[LpcOrder + SubframeSamples];
    for (int k = 0; k < LpcOrder; ++k) {
        s[LpcOrder - 1 - k] = Pair{0.0, codec.ringFirMem[k]};
        u[LpcOrder - 1 - k] = Pair{0.0, codec.ringIirMem[k]};
    }
    for (int n = 0; n < SubframeSamples; ++n) {
        const Pair* sPast = s + LpcOrder + n - 1;
        // -0.0 + v is exactly v, so lane 1 adds no input at all.
        const Pair x = {n == 0 ? 1.0 : 0.0, -0.0};
        const Pair sn = addPastDot(x, a, sPast);
        const Pair t = sn - pastDot(z, sPast);
        s[LpcOrder + n] = sn;
        u[LpcOrder + n] = addPastDot(t, p, u + LpcOrder + n - 1);
    }
    // The harmonic term, both lanes at once: the impulse response's delayed value is 0 before
    // the lag; the ringing's reads W's output, the kept history and then this subframe's
    // zero-input response.
    const Pair* un = u + LpcOrder;
    const Pair gain = {hw.gain, hw.gain};
    const int split = hw.lag < SubframeSamples ? hw.lag : SubframeSamples;
    for (int n = 0; n < split; ++n) {
        const Pair v = un[n] - gain * Pair{0.0, codec.ringHistory[HistoryLength + n - hw.lag]};
        impulse[n] = v[0];
        target[n] -= v[1];
    }
    for (int n = split; n < SubframeSamples; ++n) {
        const Pair v = un[n] - gain * un[n - hw.lag];
        impulse[n] = v[0];
        target[n] -= v[1];
    }
}

void combinedImpulseResponse(double impulse[SubframeSamples], const double a[LpcOrder],
                             const double w[WeightSetSize], const HarmonicWeight& hw) {
    const CelpCodec quiet;  // zero ringing memories
    double unused[SubframeSamples] = {};
    impulseAndRinging(impulse, unused, a, w, quiet, hw);
}

void subtractRinging(double target[SubframeSamples], const double a[LpcOrder],
                     const double w[WeightSetSize], const CelpCodec& codec,
                     const HarmonicWeight& hw) {
    double unused[SubframeSamples];
    impulseAndRinging(unused, target, a, w, codec, hw);
}

void updateRinging(double excitation[SubframeSamples], const double a[LpcOrder],
                   const double w[WeightSetSize], CelpCodec& codec) {
    const double* z = w;
    const double* p = w + LpcOrder;
    double s[LpcOrder + SubframeSamples];
    double u[LpcOrder + SubframeSamples];
    loadMemory(s + LpcOrder, codec.ringFirMem);
    loadMemory(u + LpcOrder, codec.ringIirMem);
    std::memmove(codec.ringHistory, codec.ringHistory + SubframeSamples,
                 sizeof(double) * (HistoryLength - SubframeSamples));
    for (int n = 0; n < SubframeSamples; ++n) {
        const double* sPast = s + LpcOrder + n - 1;
        const double sn = addPastDot(excitation[n], a, sPast);
        excitation[n] = sn;
        const double t = sn - pastDot(z, sPast);
        s[LpcOrder + n] = sn;
        const double un = addPastDot(t, p, u + LpcOrder + n - 1);
        u[LpcOrder + n] = un;
        codec.ringHistory[HistoryLength - SubframeSamples + n] = un;
    }
    storeMemory(codec.ringFirMem, s + LpcOrder + SubframeSamples);
    storeMemory(codec.ringIirMem, u + LpcOrder + SubframeSamples);
}

}  // namespace brimvox
