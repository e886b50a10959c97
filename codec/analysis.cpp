// Front of the encoder: input filtering, LPC analysis with the tone detector, conversion of the
// predictor to line spectral pairs and their split-vector quantisation.
#include <cmath>
#include <cstring>

#include "celp_encoder.h"
#include "celp_shared.h"
#include "celp_tables.h"
#include "lsp_root_search.h"
#include "vector_kernels.h"

namespace brimvox {

namespace {

// Two independent doubles in one register; lanes never mix, so each lane is the same IEEE
// sequence as scalar code.
typedef double Pair __attribute__((vector_size(16)));

}  // namespace

void filterInput(CelpCodec& codec, double speech[FrameSamples]) {
    // Past values in time order: d[n - k] = xs[8 + n - k], likewise the outputs in ys; the
    // codec keeps them as "current, then the 8 previous" (element k is k samples back).
    constexpr int Taps = 8;
    double xs[Taps + FrameSamples];
    double ys[Taps + FrameSamples];
    for (int k = 1; k <= Taps; ++k) {
        xs[Taps - k] = codec.preFilterX[k];
        ys[Taps - k] = codec.preFilterY[k];
    }
    const double* b = codec.preFilterNum;
    const double* a = codec.preFilterDen;
    double prevIn = codec.dcPrevIn;
    double prevOut = codec.dcPrevOut;
    for (int n = 0; n < FrameSamples; ++n) {
        const double in = speech[n];
        const double d = in - prevIn + 0.9921875 * prevOut;
        prevIn = in;
        prevOut = d;

        double* x = xs + Taps + n;  // x[-k] is the input k samples back
        double* y = ys + Taps + n;
        x[0] = d;
        double u = b[0] * d;
        for (int k = Taps; k >= 1; --k) u += b[k] * x[-k];
        for (int k = 1; k <= Taps; ++k) u -= a[k] * y[-k];
        y[0] = u;
        speech[n] = u;
    }
    codec.dcPrevIn = prevIn;
    codec.dcPrevOut = prevOut;
    for (int k = 0; k <= Taps; ++k) {
        codec.preFilterX[k] = xs[Taps + FrameSamples - 1 - (k == 0 ? 0 : k - 1)];
        codec.preFilterY[k] = ys[Taps + FrameSamples - 1 - (k == 0 ? 0 : k - 1)];
    }
}

double levinsonDurbin(double p[LpcOrder], const double r[LpcOrder + 1]) {
    for (int i = 0; i < LpcOrder; ++i) p[i] = 0.0;
    double err = r[0];
    double t = 0.99;
    for (int i = 0; i < LpcOrder; ++i) {
        double s = r[i + 1];
        for (int j = 0; j < i; ++j) s -= p[j] * r[i - j];
        if (std::fabs(s) >= err) return 0.99;
        const double k = s / err;
        p[i] = k;
        err -= k * s;
        if (i == 1) t = -k;
        double old[LpcOrder];
        for (int j = 0; j < i; ++j) old[j] = p[j];
        for (int j = 0; j < i; ++j) p[j] -= k * old[i - 1 - j];
    }
    return t;
}

void analyseLpc(double sets[SubframeCount][LpcOrder], const double prevAnalysis[AnalysisHistory],
                const double speech[FrameSamples], int16_t& sineDetector) {
    double buf[AnalysisHistory + FrameSamples];
    std::memcpy(buf, prevAnalysis, sizeof(double) * AnalysisHistory);
    std::memcpy(buf + AnalysisHistory, speech, sizeof(double) * FrameSamples);

    constexpr double EnergyScale = (1025.0 / 1024.0) / 32400.0;
    constexpr double LagScale = 1.0 / 32400.0;
    // Autocorrelations of the four windows side by side, each sum in increasing n as a single
    // dot product adds it.
    double autocorr[SubframeCount][LpcOrder + 1];
    vectorKernels().autocorrelations(autocorr, buf, HammingWindow);

    uint16_t history = static_cast<uint16_t>(sineDetector);
    for (int s = 0; s < SubframeCount; ++s) {
        const double* acc = autocorr[s];
        double r[LpcOrder + 1];
        r[0] = acc[0] * EnergyScale;
        for (int k = 1; k <= LpcOrder; ++k) {
            r[k] = r[0] == 0.0 ? 0.0 : acc[k] * LagWindow[k - 1] * LagScale;
        }
        const double t = levinsonDurbin(sets[s], r);
        history = static_cast<uint16_t>(history << 1);
        if (t > 0.95) history = static_cast<uint16_t>(history + 1);
    }
    history &= 0x7FFF;
    int ones = 0;
    for (int bit = 0; bit < 15; ++bit) ones += (history >> bit) & 1;
    if (ones >= 14) history |= 0x8000;
    sineDetector = static_cast<int16_t>(history);
}

double evaluateLspPolynomial(const double c[6], int j) {
    double sum = 0.0;
    // n * j is never negative for a valid call, so the wrap is a mask.
    const unsigned step = static_cast<unsigned>(j);
    for (unsigned n = 0; n <= 5; ++n) sum += c[5 - n] * CosineTable[(n * step) & 511u];
    return sum;
}

LspRootSearch::LspRootSearch(const double p[LpcOrder]) {
    double a[LpcOrder];
    for (int k = 0; k < LpcOrder; ++k) a[k] = p[k] * BandwidthExpansion[k];

    double poly[2][6];
    poly[0][0] = 1.0;
    poly[1][0] = 1.0;
    for (int m = 1; m <= 5; ++m) {
        poly[0][m] = -poly[0][m - 1] - a[m - 1] - a[10 - m];
        poly[1][m] = poly[1][m - 1] - a[m - 1] + a[10 - m];
    }
    poly[0][5] /= 2.0;
    poly[1][5] /= 2.0;
    for (int n = 0; n <= 5; ++n) {
        coefP[n] = poly[0][5 - n];
        coefQ[n] = poly[1][5 - n];
    }
    prev = evaluateBoth(0)[current];
}

bool LspRootSearch::finish(double lsp[LpcOrder], const double fallback[LpcOrder]) {
    while (!done()) step();
    const bool ok = found == LpcOrder;
    std::memcpy(lsp, ok ? roots : fallback, sizeof(double) * LpcOrder);
    return ok;
}

bool lpcToLsp(double lsp[LpcOrder], const double p[LpcOrder], const double fallback[LpcOrder]) {
    LspRootSearch search(p);
    return search.finish(lsp, fallback);
}

namespace {

struct BandLayout {
    int first;
    int width;
};
constexpr BandLayout Bands[3] = {{0, 3}, {3, 3}, {6, 4}};

const double* codebookRow(int band, int row) {
    if (band == 0) return LspCodebook.band0[row];
    if (band == 1) return LspCodebook.band1[row];
    return LspCodebook.band2[row];
}

// The codebook by columns: column t of band b holds element t of every row, so that two
// neighbouring rows' elements are one load.
struct LspCodebookColumns {
    double c[3][4][256];
    LspCodebookColumns() {
        for (int band = 0; band < 3; ++band) {
            for (int row = 0; row < 256; ++row) {
                for (int t = 0; t < Bands[band].width; ++t)
                    c[band][t][row] = codebookRow(band, row)[t];
            }
        }
    }
};
const LspCodebookColumns LspColumns;

}  // namespace

int searchLspCodebook(int band, const double w[LpcOrder], const double x[LpcOrder]) {
    const int o = Bands[band].first;
    double scores[256];
    return vectorKernels().lspRowScores(scores, LspColumns.c[band], w + o, x + o,
                                        Bands[band].width);
}

int32_t quantiseLsp(const double lsp[LpcOrder], const double prevLsp[LpcOrder]) {
    // Weights favour closely spaced pairs (formant peaks). A non-positive gap, which a
    // degenerate vector could give at either end as well as inside, weighs 1.0 instead of an
    // infinite or negative weight.
    double w[LpcOrder];
    auto inverseGap = [](double d) { return d > 0.0 ? 1.0 / d : 1.0; };
    w[0] = inverseGap(lsp[1] - lsp[0]);
    w[9] = inverseGap(lsp[9] - lsp[8]);
    for (int i = 1; i < 9; ++i) {
        const double lo = lsp[i] - lsp[i - 1];
        const double hi = lsp[i + 1] - lsp[i];
        w[i] = inverseGap(lo < hi ? lo : hi);
    }

    double x[LpcOrder];
    for (int k = 0; k < LpcOrder; ++k) {
        x[k] = (lsp[k] - LspMeanTable[k]) - 0.375 * (prevLsp[k] - LspMeanTable[k]);
    }

    const int32_t row0 = searchLspCodebook(0, w, x);
    const int32_t row1 = searchLspCodebook(1, w, x);
    const int32_t row2 = searchLspCodebook(2, w, x);
    return (row0 << 16) | (row1 << 8) | row2;
}

void shiftAnalysisBuffer(double prevAnalysis[AnalysisHistory], double speech[FrameSamples]) {
    double joined[AnalysisHistory + FrameSamples];
    std::memcpy(joined, prevAnalysis, sizeof(double) * AnalysisHistory);
    std::memcpy(joined + AnalysisHistory, speech, sizeof(double) * FrameSamples);
    std::memcpy(prevAnalysis, joined + FrameSamples, sizeof(double) * AnalysisHistory);
    std::memcpy(speech, joined + SubframeSamples, sizeof(double) * FrameSamples);
}

}  // namespace brimvox
