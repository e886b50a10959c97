package org.brimvox;

import static org.brimvox.CelpTables.AcbGainTable;
import static org.brimvox.CelpTables.CosineTable;
import static org.brimvox.CelpTables.FcbGainTable;
import static org.brimvox.CelpTables.LspBand0;
import static org.brimvox.CelpTables.LspBand1;
import static org.brimvox.CelpTables.LspBand2;
import static org.brimvox.CelpTables.LspMeanTable;
import static org.brimvox.CelpTables.PitchRepeatGain;
import static org.brimvox.CelpTables.PitchRepeatOffset;

/**
 * The routines that turn quantised parameters back into signals, computed exactly as the native
 * codec computes them: the same double operations in the same order (Java's double arithmetic
 * is IEEE binary64 with round-to-nearest and never fuses a multiply and an add), so every result
 * has the same bits. Sums are accumulated from 0 in increasing index, as the codec's dot product
 * does. Callers pass their scratch arrays, so no call allocates.
 */
final class CelpShared {
    static final int ORDER = 10;
    static final int SUBFRAME = 60;
    static final int HISTORY = 145;

    private static final double[] WEIGHTS = {0.25, 0.5, 0.75, 1.0};

    private CelpShared() {}

    /**
     * Dequantised, stabilised LSP vector of a frame. A bad frame ignores the index and predicts
     * the vector from {@code previous} with stronger prediction and wider spacing.
     */
    static void decodeLsp(double[] out, double[] previous, int lspIndex, short badFrame) {
        double spacing = 2.0;
        double rho = 0.375;
        if (badFrame != 0) {
            spacing = 4.0;
            rho = 0.71875;
            lspIndex = 0;
        }
        final int row2 = (lspIndex & 0xFF) * 4;
        final int row1 = ((lspIndex >> 8) & 0xFF) * 3;
        final int row0 = ((lspIndex >> 16) & 0xFF) * 3;
        for (int k = 0; k < 4; ++k) out[6 + k] = LspBand2[row2 + k];
        for (int k = 0; k < 3; ++k) out[3 + k] = LspBand1[row1 + k];
        for (int k = 0; k < 3; ++k) out[k] = LspBand0[row0 + k];

        for (int k = 0; k < ORDER; ++k) {
            out[k] = (rho * (previous[k] - LspMeanTable[k]) + out[k]) + LspMeanTable[k];
        }

        // Push neighbours apart until every gap is at least the spacing (with a small tolerance).
        for (int pass = 0; pass < 10; ++pass) {
            if (out[0] < 3.0) out[0] = 3.0;
            if (out[9] > 252.0) out[9] = 252.0;
            for (int k = 1; k < ORDER; ++k) {
                final double t = spacing + out[k - 1] - out[k];
                if (t > 0.0) {
                    out[k - 1] -= t / 2.0;
                    out[k] += t / 2.0;
                }
            }
            boolean stable = true;
            for (int k = 1; k < ORDER; ++k) {
                if (out[k] - out[k - 1] < spacing - 0.03125) {
                    stable = false;
                    break;
                }
            }
            if (stable) return;
        }
        System.arraycopy(previous, 0, out, 0, ORDER);
    }

    /**
     * The predictor sets of the four subframes into {@code sets} (subframe s at s * 10),
     * interpolated with weights 0.25, 0.5, 0.75 and 1 toward the current LSP vector.
     */
    static void interpolateLsp(double[] sets, double[] current, double[] previous, double[] work) {
        for (int s = 0; s < 4; ++s) {
            final double w = WEIGHTS[s];
            final int base = s * ORDER;
            for (int j = 0; j < ORDER; ++j) {
                sets[base + j] = (1.0 - w) * previous[j] + w * current[j];
            }
            lspToLpc(sets, base, work);
        }
    }

    /**
     * Replaces the LSP vector at {@code values[offset..offset+9]} (grid units) by its predictor
     * set, in place. {@code work} holds at least 34 doubles.
     */
    static void lspToLpc(double[] values, int offset, double[] work) {
        // work[0..9]: cosines, work[10..21]: P(z), work[22..33]: Q(z).
        for (int k = 0; k < ORDER; ++k) {
            final double v = values[offset + k];
            final double c = Math.floor(v);
            // The grid index is taken modulo 512: the cosine is periodic and even, so a value
            // slightly below 0 (which the spacing pass can produce) reads T[511] = T[1].
            final int i = (int) c;
            final double t0 = CosineTable[((i % 512) + 512) % 512];
            final double t1 = CosineTable[(((i + 1) % 512) + 512) % 512];
            work[k] = t0 + (t1 - t0) * (v - c);
        }
        // P(z) = (1 + z^-1) * product over even k, Q(z) = (1 - z^-1) * product over odd k; each
        // built from its first-order factor, then multiplied by the quadratic factors in
        // increasing k.
        final int p = 10;
        final int q = 22;
        work[p] = 1.0;
        work[p + 1] = 1.0;
        work[q] = 1.0;
        work[q + 1] = -1.0;
        int degree = 1;
        for (int k = 0; k < ORDER; k += 2) {
            multiplyQuadratic(work, p, degree, work[k]);
            multiplyQuadratic(work, q, degree, work[k + 1]);
            degree += 2;
        }
        for (int m = 1; m <= ORDER; ++m) {
            values[offset + m - 1] = -((work[p + m] + work[q + m]) / 2.0);
        }
    }

    /** Multiplies the polynomial at c[base..base+degree] by 1 - 2*cosw*z^-1 + z^-2 in place. */
    private static void multiplyQuadratic(double[] c, int base, int degree, double cosw) {
        c[base + degree + 2] = 0.0;
        c[base + degree + 1] = 0.0;
        for (int m = degree + 2; m >= 2; --m) {
            c[base + m] = c[base + m] - 2.0 * cosw * c[base + m - 1] + c[base + m - 2];
        }
        c[base + 1] = c[base + 1] - 2.0 * cosw * c[base];
    }

    /**
     * The lagged excitation segment for delay D (1..143) of the 145-sample window that starts at
     * {@code window[offset]}: v[0], v[1] are the samples D+2 and D+1 before the subframe,
     * v[2..63] repeat the last D window samples periodically.
     */
    static void fetchLaggedExcitation(double[] v, double[] window, int offset, int delay) {
        v[0] = window[offset + 143 - delay];
        v[1] = window[offset + 144 - delay];
        final int first = delay < 62 ? delay : 62;
        System.arraycopy(window, offset + HISTORY - delay, v, 2, first);
        for (int k = 2 + first; k < 64; ++k) v[k] = v[k - delay];
    }

    /**
     * Pitch contribution of one subframe: the lagged excitation through the five taps of the
     * gain row. {@code v} is 64 doubles of scratch.
     */
    static void adaptiveContribution(double[] out, double[] window, int offset, int lag,
        int lagOffset, int acbGainIndex, double[] v) {
        fetchLaggedExcitation(v, window, offset, lag + lagOffset - 1);
        final int row = acbGainIndex * 20;
        final double g0 = AcbGainTable[row];
        final double g1 = AcbGainTable[row + 1];
        final double g2 = AcbGainTable[row + 2];
        final double g3 = AcbGainTable[row + 3];
        final double g4 = AcbGainTable[row + 4];
        for (int n = 0; n < SUBFRAME; ++n) {
            double sum = 0.0;
            sum += v[n] * g0;
            sum += v[n + 1] * g1;
            sum += v[n + 2] * g2;
            sum += v[n + 3] * g3;
            sum += v[n + 4] * g4;
            out[n] = sum;
        }
    }

    /**
     * The fixed-codebook vector of subframe s into {@code out[offset..offset+59]}: four signed
     * pulses on their tracks, repeated at the pulse repetition delay when that is shorter than
     * 58 samples. {@code v} is 64 doubles of scratch.
     */
    static void buildFixedExcitation(
        double[] out, int offset, CelpFrame f, int s, int lag, double[] v) {
        java.util.Arrays.fill(v, 0.0);
        final double amplitude = FcbGainTable[f.fcbGainIndex[s]];
        final int b = f.pulsePositions[s];
        final int signs = f.pulseSigns[s];
        v[8 * (b & 7)] = (signs & 1) != 0 ? amplitude : -amplitude;
        v[8 * ((b >> 3) & 7) + 2] = (signs & 2) != 0 ? amplitude : -amplitude;
        v[8 * ((b >> 6) & 7) + 4] = (signs & 4) != 0 ? amplitude : -amplitude;
        v[16 * ((b >> 9) & 3) + 6] = (signs & 8) != 0 ? amplitude : -amplitude;
        // Only v[0..59] is kept: pulse 2 at position 60 lies outside the subframe.
        final int acb = f.acbGainIndex[s];
        final int delay = lag + f.lagOffset[s] - 1 + PitchRepeatOffset[acb];
        if (delay < 58) {
            final double gain = PitchRepeatGain[acb];
            // In place, so a repeated pulse is repeated again one delay later.
            for (int n = delay; n < SUBFRAME; ++n) v[n] = gain * v[n - delay] + v[n];
        }
        System.arraycopy(v, 0, out, offset, SUBFRAME);
    }
}
