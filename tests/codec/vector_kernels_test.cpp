// The encoder's vector kernels against plain loops that add every sum from 0 in increasing
// index: both widths must give the same doubles, bit for bit, also where the kernels lean on
// zero padding (negative zeros, zero runs, sums that cancel).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "celp_encoder.h"
#include "vector_kernels.h"

namespace brimvox {
namespace {

// Inputs with the awkward values mixed in: -0, +0, runs of zeros, exact negatives.
std::vector<double> awkward(std::mt19937& rng, int n) {
    std::uniform_real_distribution<double> u(-5000.0, 5000.0);
    std::vector<double> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        switch (rng() % 8) {
            case 0:
                v[static_cast<size_t>(i)] = -0.0;
                break;
            case 1:
                v[static_cast<size_t>(i)] = 0.0;
                break;
            case 2:
                v[static_cast<size_t>(i)] = i > 0 ? -v[static_cast<size_t>(i) - 1] : 1.0;
                break;
            default:
                v[static_cast<size_t>(i)] = u(rng);
        }
    }
    if (rng() % 4 == 0) {
        for (int i = n / 2; i < n; ++i) v[static_cast<size_t>(i)] = -0.0;
    }
    return v;
}

bool sameBits(const double* a, const double* b, int n) {
    return std::memcmp(a, b, sizeof(double) * static_cast<size_t>(n)) == 0;
}

#if BRIMVOX_HAVE_AVX_KERNEL
// The four-lane kernels run only where the processor has AVX.
bool wideKernels() {
    allowWidePitchKernel(true);
    return widePitchKernelInUse();
}
#endif

TEST(VectorKernels, BackwardFilterAndConvolutionMatchPlainSums) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        const std::vector<double> a = awkward(rng, 60), b = awkward(rng, 60);
        double backward[60], conv[60];
        for (int i = 0; i < 60; ++i) {
            double sum = 0.0;
            for (int k = 0; k <= 59 - i; ++k)
                sum += a[static_cast<size_t>(i + k)] * b[static_cast<size_t>(k)];
            backward[i] = sum;
            sum = 0.0;
            for (int j = 0; j <= i; ++j)
                sum += a[static_cast<size_t>(j)] * b[static_cast<size_t>(i - j)];
            conv[i] = sum;
        }
        double d[60], y[60];
        backwardFilterTwo(d, a.data(), b.data());
        convolveTwo(y, a.data(), b.data());
        EXPECT_TRUE(sameBits(d, backward, 60)) << trial;
        EXPECT_TRUE(sameBits(y, conv, 60)) << trial;
#if BRIMVOX_HAVE_AVX_KERNEL
        if (wideKernels()) {
            backwardFilterFour(d, a.data(), b.data());
            convolveFour(y, a.data(), b.data());
            EXPECT_TRUE(sameBits(d, backward, 60)) << trial;
            EXPECT_TRUE(sameBits(y, conv, 60)) << trial;
        }
#endif
    }
}

TEST(VectorKernels, AutocorrelationsAndLagCorrelationsMatchPlainSums) {
    std::mt19937 rng(12);
    std::vector<double> window(180);
    for (int n = 0; n < 180; ++n) window[static_cast<size_t>(n)] = 0.5 + 0.002 * n;
    for (int trial = 0; trial < 50; ++trial) {
        const std::vector<double> buf = awkward(rng, 360);
        double expected[4][11];
        for (int s = 0; s < 4; ++s) {
            double x[180];
            for (int n = 0; n < 180; ++n)
                x[n] = window[static_cast<size_t>(n)] * buf[static_cast<size_t>(60 * s + n)];
            for (int k = 0; k <= 10; ++k) {
                double sum = 0.0;
                for (int n = 0; n + k < 180; ++n) sum += x[n] * x[n + k];
                expected[s][k] = sum;
            }
        }
        double got[4][11];
        autocorrelationsTwo(got, buf.data(), window.data());
        EXPECT_TRUE(sameBits(&got[0][0], &expected[0][0], 44)) << trial;

        // Eight windows 0..7 samples into buf against the 60 samples at buf + 100.
        const double* cur = buf.data() + 100;
        double c[8], e[8], ce[8], ee[8];
        for (int j = 0; j < 8; ++j) {
            double cs = 0.0, es = 0.0;
            for (int n = 0; n < 60; ++n) {
                const double p = buf[static_cast<size_t>(n + j)];
                cs += cur[n] * p;
                es += p * p;
            }
            ce[j] = cs;
            ee[j] = es;
        }
        lagCorrelationsTwo(c, e, cur, buf.data());
        EXPECT_TRUE(sameBits(c, ce, 8) && sameBits(e, ee, 8)) << trial;
#if BRIMVOX_HAVE_AVX_KERNEL
        if (wideKernels()) {
            autocorrelationsFour(got, buf.data(), window.data());
            EXPECT_TRUE(sameBits(&got[0][0], &expected[0][0], 44)) << trial;
            lagCorrelationsFour(c, e, cur, buf.data());
            EXPECT_TRUE(sameBits(c, ce, 8) && sameBits(e, ee, 8)) << trial;
        }
#endif
    }
}

// The first row with the highest score above -1, 0 when there is none: the choice the
// codebook search makes by scanning the rows in order.
int firstBestRow(const double scores[256]) {
    double best = -1.0;
    int row = 0;
    for (int r = 0; r < 256; ++r) {
        if (scores[r] > best) {
            best = scores[r];
            row = r;
        }
    }
    return row;
}

TEST(VectorKernels, LspRowScoresMatchPlainSums) {
    std::mt19937 rng(13);
    // Random columns, then columns with repeated rows (equal scores in different lanes and
    // groups, also +0 against -0) and columns whose scores all lie at or below -1.
    for (int round = 0; round < 12; ++round) {
        const int width = 3 + round % 2;
        static double columns[4][256];
        for (int t = 0; t < width; ++t) {
            const std::vector<double> col = awkward(rng, 256);
            for (int r = 0; r < 256; ++r) columns[t][r] = col[static_cast<size_t>(r)] / 100.0;
        }
        if (round >= 4 && round < 8) {
            // A few distinct rows repeated all over, the best among them at several places.
            for (int t = 0; t < width; ++t) {
                for (int r = 0; r < 256; ++r) columns[t][r] = columns[t][(r * 7 + round) % 5];
            }
        }
        if (round >= 8) {
            // Energy only (x = 0): every score is -energy <= 0, so -1 is beaten only by the
            // rows of zeros (score 0, first at row 4); the last two rounds have none.
            for (int t = 0; t < width; ++t) {
                for (int r = 0; r < 256; ++r) {
                    columns[t][r] = round >= 10 ? 2.0 + r % 3 : (r % 9 == 4 ? 0.0 : 1.5);
                }
            }
        }
        const double w[4] = {0.7, 1.3, -0.0, 2.1};
        const double xr[4] = {3.5, -1.25, 0.5, 0.0}, xz[4] = {0.0, 0.0, 0.0, 0.0};
        const double* x = round >= 8 ? xz : xr;
        double expected[256];
        for (int r = 0; r < 256; ++r) {
            double cross = 0.0, energy = 0.0;
            for (int t = 0; t < width; ++t) {
                const double wc = w[t] * columns[t][r];
                cross += wc * x[t];
                energy += wc * columns[t][r];
            }
            expected[r] = 2.0 * cross - energy;
        }
        const int expectedRow = firstBestRow(expected);
        if (round >= 8) {
            EXPECT_EQ(expectedRow, round >= 10 ? 0 : 4);  // the premise of these rounds
        }
        double scores[256];
        EXPECT_EQ(lspRowScoresTwo(scores, columns, w, x, width), expectedRow) << round;
        EXPECT_TRUE(sameBits(scores, expected, 256)) << round;
#if BRIMVOX_HAVE_AVX_KERNEL
        if (wideKernels()) {
            EXPECT_EQ(lspRowScoresFour(scores, columns, w, x, width), expectedRow) << round;
            EXPECT_TRUE(sameBits(scores, expected, 256)) << round;
        }
#endif
    }
}

// The pitch candidates' gain-row values against plain sums over the filtered lagged
// excitation: y4 a convolution from +0 in increasing j, y_m (m < 4) one sample later plus
// r[m] h[n], then correlations, half energies, cross products and rows in increasing index.
TEST(VectorKernels, PitchCandidatesMatchPlainSums) {
    constexpr int Pairs[10][2] = {{1, 0}, {2, 0}, {2, 1}, {3, 0}, {3, 1},
                                  {3, 2}, {4, 0}, {4, 1}, {4, 2}, {4, 3}};
    std::mt19937 rng(13);
    std::vector<double> gainRows = awkward(rng, 42 * 20);
    double gains[42][20];
    std::memcpy(gains, gainRows.data(), sizeof gains);
    for (int trial = 0; trial < 40; ++trial) {
        const std::vector<double> target = awkward(rng, 60);
        std::vector<double> impulse = awkward(rng, 60);
        impulse[0] = 1.0;  // as every impulse response of the encoder starts
        double r[4][64];
        for (auto& row : r) {
            const std::vector<double> v = awkward(rng, 64);
            std::memcpy(row, v.data(), sizeof row);
        }
        double expected[4][42];
        for (int l = 0; l < 4; ++l) {
            double y[5][60];
            for (int n = 0; n < 60; ++n) {
                double sum = 0.0;
                for (int j = 0; j <= n; ++j)
                    sum += r[l][4 + j] * impulse[static_cast<size_t>(n - j)];
                y[4][n] = sum;
            }
            for (int m = 3; m >= 0; --m) {
                y[m][0] = r[l][m];
                for (int n = 1; n < 60; ++n) y[m][n] = y[m + 1][n - 1] + r[l][m] * impulse[n];
            }
            double vec[20];
            for (int m = 0; m < 5; ++m) {
                double c = 0.0, e = 0.0;
                for (int n = 0; n < 60; ++n) c += target[static_cast<size_t>(n)] * y[m][n];
                for (int n = 0; n < 60; ++n) e += y[m][n] * y[m][n];
                vec[m] = c;
                vec[5 + m] = 0.5 * e;
            }
            for (int q = 0; q < 10; ++q) {
                double c = 0.0;
                for (int n = 0; n < 60; ++n) c += y[Pairs[q][0]][n] * y[Pairs[q][1]][n];
                vec[10 + q] = c;
            }
            for (int g = 0; g < 42; ++g) {
                double v = 0.0;
                for (int q = 0; q < 20; ++q) v += vec[q] * gains[g][q];
                expected[l][g] = v;
            }
        }
        double values[4][42];
        pitchCandidatesTwo(values, target.data(), impulse.data(), r, gains);
        pitchCandidatesTwo(values + 2, target.data(), impulse.data(), r + 2, gains);
        EXPECT_TRUE(sameBits(&values[0][0], &expected[0][0], 4 * 42)) << trial;
#if BRIMVOX_HAVE_AVX_KERNEL
        if (wideKernels()) {
            pitchCandidatesFour(values, target.data(), impulse.data(), r, gains);
            EXPECT_TRUE(sameBits(&values[0][0], &expected[0][0], 4 * 42)) << trial;
        }
#endif
    }
}

}  // namespace
}  // namespace brimvox
