// Fixed codebook: four signed pulses on interleaved tracks, searched against the target after
// the pitch contribution, with a threshold on the first three pulses and a frame-wide budget
// of fourth-pulse passes.
#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "celp_encoder.h"
#include "celp_shared.h"
#include "celp_tables.h"
#include "vector_kernels.h"

namespace brimvox {

FixedGain quantiseFixedGain(const double target[SubframeSamples], const double y[SubframeSamples]) {
    FixedGain result;
    result.index = 0;
    result.gain = FcbGainTable[0];
    const double a = dotProduct(target, y, SubframeSamples);
    if (a <= 0.0) return result;
    const double b = dotProduct(y, y, SubframeSamples);
    const double g = b > 1.1754944e-38 ? a / b : 0.0;
    double bestDistance = g - FcbGainTable[0];
    if (bestDistance < 0.0) bestDistance = -bestDistance;
    for (int i = 1; i < FcbGainCount; ++i) {
        double distance = g - FcbGainTable[i];
        if (distance < 0.0) distance = -distance;
        if (distance < bestDistance) {
            bestDistance = distance;
            result.index = i;
        }
    }
    result.gain = FcbGainTable[result.index];
    return result;
}

namespace {

// Two independent doubles in one register; lanes never mix, so per-lane sums are the same
// IEEE sequences as scalar sums.
typedef double Pair __attribute__((vector_size(16)));

// Searched positions are all even, 0..60; tables below are indexed by position / 2.
constexpr int GridSize = 31;
constexpr int OutsidePosition = 60;  // pulse 2's last position: searchable, places nothing

typedef long long PairMask __attribute__((vector_size(16)));  // a comparison of two Pairs
typedef uint16_t Triples __attribute__((vector_size(16)));    // eight triple codes

// Bit l set when lane l of a comparison holds.
inline unsigned passMask(PairMask m) {
#ifdef __SSE2__
    return static_cast<unsigned>(_mm_movemask_pd(reinterpret_cast<__m128d>(m)));
#else
    return (m[0] != 0 ? 1u : 0u) | (m[1] != 0 ? 2u : 0u);
#endif
}

// For each mask of eight third-pulse passes: the passing indices 0..7 in increasing order
// (zero after them) and how many there are.
struct ThirdPulseTable {
    uint16_t list[256][8];
    uint8_t count[256];
    constexpr ThirdPulseTable() : list(), count() {
        for (int mask = 0; mask < 256; ++mask) {
            int n = 0;
            for (int k = 0; k < 8; ++k) {
                if ((mask >> k) & 1) list[mask][n++] = static_cast<uint16_t>(k);
            }
            count[mask] = static_cast<uint8_t>(n);
        }
    }
};
constexpr ThirdPulseTable ThirdPulses{};

// Two neighbouring doubles in one load.
inline Pair loadPair(const double* p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Adds x delayed by the pulse repetition delay to itself (pitch sharpening), in place, so that
// a short delay repeats itself several times.
void repeatAtPitch(double x[SubframeSamples], const PitchRepeat& rep) {
    if (rep.delay < 58) {
        for (int n = rep.delay; n < SubframeSamples; ++n) {
            x[n] = x[n] + rep.gain * x[n - rep.delay];
        }
    }
}

// Sign preselection on pairs of samples: sigma[g] is the sign of the pair at position 2g, and
// that pair of d is made non-negative. Without branches (the signs are unpredictable): a
// negation is a flip of the sign bit, done or not by a mask.
void preselectSigns(double d[64], double sigma[GridSize]) {
    constexpr uint64_t SignBit = 0x8000000000000000ull;
    constexpr uint64_t One = 0x3FF0000000000000ull;  // the bits of 1.0
    for (int i = 0; i < SubframeSamples; i += 2) {
        const uint64_t flip = d[i] + d[i + 1] >= 0.0 ? 0 : SignBit;
        uint64_t bits[2];
        std::memcpy(bits, d + i, sizeof bits);
        bits[0] ^= flip;
        bits[1] ^= flip;
        std::memcpy(d + i, bits, sizeof bits);
        const uint64_t sign = One ^ flip;
        std::memcpy(&sigma[i / 2], &sign, sizeof sign);
    }
    sigma[OutsidePosition / 2] = 1.0;
}

// Correlations of the impulse response at even distances, R[c][delta] = r(c - delta, c) in
// grid units (position 2p): for p <= q, r(p, q) is the sum over m = 0..59-2q of
// h[m] h[m + 2(q - p)] in increasing m. Two distances at a time run upward in m, one per
// register lane, and are read off at every column they complete (m = 59 - 2c); the even
// and the odd samples of h are kept apart so that the two read neighbouring values. A lane
// past its last column sums values that are never read.
void correlateImpulse(double R[GridSize][32], const double impulse[SubframeSamples]) {
    double even[GridSize + 1] = {}, odd[GridSize + 1] = {};
    for (int k = 0; k < SubframeSamples / 2; ++k) {
        even[k] = impulse[2 * k];
        odd[k] = impulse[2 * k + 1];
    }
    // Distance pair i runs over m = 0 .. 59 - 4i, in k = m / 2 up to 29 - 2i; four pairs at a
    // time over the range they share (four independent chains of additions), then the longer
    // ones finish alone.
    auto advance = [&](Pair& acc, int i, int k) {
        acc += Pair{even[k], even[k]} * loadPair(even + k + 2 * i);  // m = 2k
        acc += Pair{odd[k], odd[k]} * loadPair(odd + k + 2 * i);     // m = 2k + 1
        std::memcpy(&R[29 - k][2 * i], &acc, sizeof acc);
    };
    for (int first = 0; first < 16; first += 4) {
        Pair acc[4];
        for (Pair& v : acc) v = Pair{0.0, 0.0};
        const int shared = 29 - 2 * (first + 3);  // last k of the shortest
        for (int k = 0; k <= shared; ++k) {
            for (int l = 0; l < 4; ++l) advance(acc[l], first + l, k);
        }
        for (int l = 0; l < 3; ++l) {
            for (int k = shared + 1; k <= 29 - 2 * (first + l); ++k) advance(acc[l], first + l, k);
        }
    }
    // Pairs that reach position 60 see nothing: r is 0 there.
    for (double& v : R[OutsidePosition / 2]) v = 0.0;
}

// The energy terms of the search: r on the diagonal, E(p, q) = 2 sigma_p sigma_q r(p, q) off
// it, symmetric; and, gathered from them, the entries the search reads most.
struct PulseEnergies {
    double S[GridSize][32];  // S[c][delta] = E(c - delta, c) for even delta
    double diag[GridSize];
    // The first three pulses' tracks against each other (first pulse at grid 4a, second at
    // 4b + 1, third at 4c + 2).
    double e01[8][8], e02[8][8], e12[8][8];

    double offDiagonal(int p, int q) const { return p < q ? S[q][q - p] : S[p][p - q]; }
};

// S a row at a time, two entries per register; the factors 2 sigma_p run backwards so that
// they are neighbours too.
void computeEnergies(PulseEnergies& en, const double R[GridSize][32],
                     const double sigma[GridSize]) {
    constexpr int Outside = OutsidePosition / 2;
    double twoSigmaBack[GridSize + 1];  // 2 sigma_(30 - k)
    for (int k = 0; k < GridSize; ++k) twoSigmaBack[k] = 2.0 * sigma[Outside - k];
    twoSigmaBack[GridSize] = 0.0;
    for (int c = 1; c < GridSize; ++c) {
        const Pair sc = {sigma[c], sigma[c]};
        const double* twoSigma =
            twoSigmaBack + (Outside - c);  // twoSigma[delta] = 2 sigma_(c-delta)
        for (int delta = 0; delta <= c; delta += 2) {
            const Pair v = (loadPair(twoSigma + delta) * sc) * loadPair(&R[c][delta]);
            std::memcpy(&en.S[c][delta], &v, sizeof v);
        }
    }
    for (int g = 0; g < GridSize; ++g) en.diag[g] = R[g][0];
    // offDiagonal(p, q) with the comparison of p and q decided by the loop bounds: the first
    // position is the earlier one exactly when j <= k.
    for (int j = 0; j < 8; ++j) {
        for (int k = 0; k < j; ++k) {
            en.e01[j][k] = en.S[4 * j][4 * (j - k) - 1];
            en.e02[j][k] = en.S[4 * j][4 * (j - k) - 2];
            en.e12[j][k] = en.S[4 * j + 1][4 * (j - k) - 1];
        }
        for (int k = j; k < 8; ++k) {
            en.e01[j][k] = en.S[4 * k + 1][4 * (k - j) + 1];
            en.e02[j][k] = en.S[4 * k + 2][4 * (k - j) + 2];
            en.e12[j][k] = en.S[4 * k + 2][4 * (k - j) + 1];
        }
    }
}

// Threshold on the first three pulses, from the even grid (searched) and the odd grid (only
// raises it).
double searchThreshold(const double d[64]) {
    double thr = 0.0;
    for (int grid = 0; grid < 2; ++grid) {
        double maxima = 0.0;
        for (int track = 0; track < 3; ++track) {
            double m = d[grid + 2 * track];
            for (int k = 1; k < 8; ++k) {
                const double v = d[8 * k + grid + 2 * track];
                if (v > m) m = v;
            }
            maxima += m;
        }
        double sum = 0.0;
        for (int k = 0; k < 8; ++k) {
            sum += d[8 * k + grid] + d[8 * k + grid + 2] + d[8 * k + grid + 4];
        }
        const double mean = sum / 8.0;
        const double t = mean + 0.5 * (maxima - mean);
        if (grid == 0 || t > thr) thr = t;
    }
    return thr;
}

// Threshold-gated search of the four pulse positions; each fourth-pulse pass spends one unit of
// the frame's budget (which starts at searchBudget + 120 for this subframe).
void searchPulses(int best[4], const double d[64], const PulseEnergies& en, double thr,
                  int16_t& searchBudget) {
    int time = searchBudget + 120;
    best[0] = 0;
    best[1] = 2;
    best[2] = 4;
    best[3] = 6;
    double bestC2 = 0.0;
    double bestE = 1.0;
    // The four fourth-pulse positions 6, 22, 38, 54 side by side (two per register): their
    // correlations, energies and cross terms with every position, gathered once.
    Pair d3[2], r33[2], cross3[GridSize][2];
    for (int h = 0; h < 2; ++h) {
        const int ga = (6 + 32 * h) / 2, gb = (22 + 32 * h) / 2;
        d3[h] = Pair{d[2 * ga], d[2 * gb]};
        r33[h] = Pair{en.diag[ga], en.diag[gb]};
        // offDiagonal(g, ga) and offDiagonal(g, gb), r on the diagonal, the order of g and the
        // fourth pulse decided by the loop bounds (ga < gb).
        for (int g = 0; g < ga; ++g) cross3[g][h] = Pair{en.S[ga][ga - g], en.S[gb][gb - g]};
        cross3[ga][h] = Pair{en.diag[ga], en.S[gb][gb - ga]};
        for (int g = ga + 1; g < gb; ++g) cross3[g][h] = Pair{en.S[g][g - ga], en.S[gb][gb - g]};
        cross3[gb][h] = Pair{en.S[gb][gb - ga], en.diag[gb]};
        for (int g = gb + 1; g < GridSize; ++g) {
            cross3[g][h] = Pair{en.S[g][g - ga], en.S[g][g - gb]};
        }
    }
    // The triples that pass the threshold, in scan order, then the fourth-pulse passes over
    // them. For each first and second pulse the eight third pulses are compared at once; the
    // passing ones are appended without branching on the data (which is unpredictable): the
    // mask of passes selects a table row listing them, which is stored whole.
    uint16_t passing[512 + 8];
    int count = 0;
    Pair third[4];  // d at the third pulse's positions 4, 12, .., 60
    for (int j = 0; j < 4; ++j) third[j] = Pair{d[16 * j + 4], d[16 * j + 12]};
    const Pair threshold = {thr, thr};
    // Per first and second pulse (index 8 a + b): the first additions of c3 and e3 and the
    // e01 term, which the fourth-pulse passes then read once each.
    double c2s[64], diag2s[64], e01s[64];
    for (int a = 0; a < 8; ++a) {
        for (int b = 0; b < 8; ++b) {
            const double c2 = d[8 * a] + d[8 * b + 2];
            c2s[8 * a + b] = c2;
            diag2s[8 * a + b] = en.diag[4 * a] + en.diag[4 * b + 1];
            e01s[8 * a + b] = en.e01[a][b];
            const Pair c2v = {c2, c2};
            unsigned mask = 0;
            for (int j = 0; j < 4; ++j) mask |= passMask(c2v + third[j] > threshold) << (2 * j);
            Triples entries;
            std::memcpy(&entries, ThirdPulses.list[mask], sizeof entries);
            entries |= static_cast<uint16_t>((a << 6) | (b << 3));
            std::memcpy(passing + count, &entries, sizeof entries);
            count += ThirdPulses.count[mask];
        }
    }
    // The third pulse's values and the fourth pulse's cross terms by track.
    double dThird[8], diagThird[8];
    Pair cross0[8][2], cross1[8][2], cross2[8][2];
    for (int j = 0; j < 8; ++j) {
        dThird[j] = d[8 * j + 4];
        diagThird[j] = en.diag[4 * j + 2];
        for (int h = 0; h < 2; ++h) {
            cross0[j][h] = cross3[4 * j][h];
            cross1[j][h] = cross3[4 * j + 1][h];
            cross2[j][h] = cross3[4 * j + 2][h];
        }
    }
    for (int t = 0; t < count; ++t) {
        const int ab = passing[t] >> 3, j2 = passing[t] & 7;
        const int j0 = ab >> 3, j1 = ab & 7;
        // c3 = d[i0] + d[i1] + d[i2] and e3 = r(i0) + r(i1) + r(i2) + E01 + E02 + E12, added
        // in that order.
        const double c3 = c2s[ab] + dThird[j2];
        const double e3 = diag2s[ab] + diagThird[j2] + e01s[ab] + en.e02[j0][j2] + en.e12[j1][j2];
        // c4 = c3 + d[i3]; e4 = e3 + r(i3,i3) + R(i0,i3) + R(i1,i3) + R(i2,i3).
        Pair c4[2], e4[2];
        unsigned better = 0;
        for (int h = 0; h < 2; ++h) {
            const Pair c = Pair{c3, c3} + d3[h];
            e4[h] = Pair{e3, e3} + r33[h] + cross0[j0][h] + cross1[j1][h] + cross2[j2][h];
            c4[h] = c * c;
            better |= passMask(c4[h] * Pair{bestE, bestE} > e4[h] * Pair{bestC2, bestC2})
                      << (2 * h);
        }
        // Rarely any beats the best so far; then they are taken in order, each against the
        // best left by the one before.
        if (better != 0) {
            for (int j = 0; j < 4; ++j) {
                const double c4j = c4[j / 2][j % 2], e4j = e4[j / 2][j % 2];
                if (c4j * bestE > e4j * bestC2) {
                    best[0] = 8 * j0;
                    best[1] = 8 * j1 + 2;
                    best[2] = 8 * j2 + 4;
                    best[3] = 6 + 16 * j;
                    bestC2 = c4j;
                    bestE = e4j;
                }
            }
        }
        if (--time <= 0) break;
    }
    searchBudget = static_cast<int16_t>(time < 0 ? 0 : time);
}

// The code vector c of the chosen pulses, its filtered version y, and their codes in sp.
void encodePulses(CelpSubframeParams& sp, double c[SubframeSamples], double y[SubframeSamples],
                  const int best[4], const double sigma[GridSize],
                  const double impulse[SubframeSamples]) {
    int signs = 0;
    for (int p = 0; p < 4; ++p) {
        const int pos = best[p];
        const double sign = sigma[pos / 2];
        if (sign > 0.0) signs |= 1 << p;
        if (pos >= SubframeSamples) continue;
        c[pos] = sign;
        for (int n = pos; n < SubframeSamples; ++n) y[n] = y[n] + sign * impulse[n - pos];
    }
    sp.pulseSigns = signs;
    sp.pulsePositions = best[0] / 8 + 8 * ((best[1] - 2) / 8) + 64 * ((best[2] - 4) / 8) +
                        512 * ((best[3] - 6) / 16);
}

}  // namespace

void searchFixedCodebook(double target[SubframeSamples], double impulse[SubframeSamples],
                         CelpFrameParams& params, int s, int16_t& searchBudget) {
    CelpSubframeParams& sp = params.subframe[s];
    const PitchRepeat rep =
        pitchRepeatParams(params.pitchLag[s / 2] + sp.lagOffset - 1, sp.acbGainIndex);
    repeatAtPitch(impulse, rep);

    // Backward-filtered target d[i] = sum over k = 0..59-i of target[i + k] * impulse[k], each
    // sum in increasing k.
    double d[64];
    vectorKernels().backwardFilter(d, target, impulse);
    d[60] = d[61] = d[62] = d[63] = 0.0;

    double sigma[GridSize];
    preselectSigns(d, sigma);
    double R[GridSize][32];
    correlateImpulse(R, impulse);
    PulseEnergies energies;
    computeEnergies(energies, R, sigma);

    int best[4];
    searchPulses(best, d, energies, searchThreshold(d), searchBudget);

    double c[SubframeSamples] = {};
    double y[SubframeSamples] = {};
    encodePulses(sp, c, y, best, sigma, impulse);

    const FixedGain gain = quantiseFixedGain(target, y);
    sp.fcbGainIndex = gain.index;

    // Excitation: the pulses at the quantised gain, repeated at the pitch repetition delay.
    for (int n = 0; n < SubframeSamples; ++n) target[n] = gain.gain * c[n];
    repeatAtPitch(target, rep);
}

}  // namespace brimvox
