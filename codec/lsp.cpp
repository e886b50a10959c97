// LSP dequantisation, interpolation and conversion to predictor coefficients.
#include <cmath>

#include "celp_shared.h"
#include "celp_tables.h"

namespace brimvox {

void decodeLsp(double out[LpcOrder], const double previous[LpcOrder], int32_t lspIndex,
               int16_t badFrame) {
    double spacing = 2.0;
    double rho = 0.375;
    if (badFrame != 0) {
        spacing = 4.0;
        rho = 0.71875;
        lspIndex = 0;
    }

    const double* row2 = LspCodebook.band2[lspIndex & 0xFF];
    const double* row1 = LspCodebook.band1[(lspIndex >> 8) & 0xFF];
    const double* row0 = LspCodebook.band0[(lspIndex >> 16) & 0xFF];
    for (int k = 0; k < 4; ++k) out[6 + k] = row2[k];
    for (int k = 0; k < 3; ++k) out[3 + k] = row1[k];
    for (int k = 0; k < 3; ++k) out[k] = row0[k];

    for (int k = 0; k < LpcOrder; ++k) {
        out[k] = (rho * (previous[k] - LspMeanTable[k]) + out[k]) + LspMeanTable[k];
    }

    // Push neighbours apart until every gap is at least the spacing (with a small tolerance).
    for (int pass = 0; pass < 10; ++pass) {
        if (out[0] < 3.0) out[0] = 3.0;
        if (out[9] > 252.0) out[9] = 252.0;
        for (int k = 1; k < LpcOrder; ++k) {
            double t = spacing + out[k - 1] - out[k];
            if (t > 0.0) {
                out[k - 1] -= t / 2.0;
                out[k] += t / 2.0;
            }
        }
        bool stable = true;
        for (int k = 1; k < LpcOrder; ++k) {
            if (out[k] - out[k - 1] < spacing - 0.03125) {
                stable = false;
                break;
            }
        }
        if (stable) return;
    }
    for (int k = 0; k < LpcOrder; ++k) out[k] = previous[k];
}

void interpolateLsp(double sets[SubframeCount][LpcOrder], const double current[LpcOrder],
                    const double previous[LpcOrder]) {
    static constexpr double Weights[SubframeCount] = {0.25, 0.5, 0.75, 1.0};
    for (int s = 0; s < SubframeCount; ++s) {
        const double w = Weights[s];
        for (int j = 0; j < LpcOrder; ++j) {
            sets[s][j] = (1.0 - w) * previous[j] + w * current[j];
        }
        lspToLpc(sets[s]);
    }
}

namespace {

// Multiplies the polynomial c (coefficients 0..degree) by 1 - 2*cosw*z^-1 + z^-2 in place.
void multiplyQuadratic(double c[12], int degree, double cosw) {
    c[degree + 2] = 0.0;
    c[degree + 1] = 0.0;
    for (int m = degree + 2; m >= 2; --m) c[m] = c[m] - 2.0 * cosw * c[m - 1] + c[m - 2];
    c[1] = c[1] - 2.0 * cosw * c[0];
}

}  // namespace

void lspToLpc(double values[LpcOrder]) {
    double cosw[LpcOrder];
    for (int k = 0; k < LpcOrder; ++k) {
        const double v = values[k];
        const double c = std::floor(v);
        // The grid index is taken modulo 512: the cosine is periodic and even, so a value
        // slightly below 0 (which the spacing pass can produce) reads T[511] = T[1].
        const int i = static_cast<int>(c);
        const double t0 = CosineTable[((i % 512) + 512) % 512];
        const double t1 = CosineTable[(((i + 1) % 512) + 512) % 512];
        cosw[k] = t0 + (t1 - t0) * (v - c);
    }

    // P(z) = (1 + z^-1) * prod over even k, Q(z) = (1 - z^-1) * prod over odd k; each built
    // from its first-order factor, then multiplied by the quadratic factors in increasing k.
    double p[12] = {1.0, 1.0};
    double q[12] = {1.0, -1.0};
    int degree = 1;
    for (int k = 0; k < LpcOrder; k += 2) {
        multiplyQuadratic(p, degree, cosw[k]);
        multiplyQuadratic(q, degree, cosw[k + 1]);
        degree += 2;
    }
    for (int m = 1; m <= LpcOrder; ++m) values[m - 1] = -((p[m] + q[m]) / 2.0);
}

}  // namespace brimvox
