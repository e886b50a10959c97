// The encoder's vector kernels (vector_kernels.inc), two lanes wide (SSE2 on x86, any target
// elsewhere) and, on x86, four lanes wide for processors with AVX. Both widths give the same
// doubles. The encoder calls them through one table, VectorKernels, chosen once for the
// processor (vectorKernels()); the functions of each width are declared below for tests.
#pragma once

namespace brimvox {

struct VectorKernels {
    int lanes;  // 2 or 4
    // Gain-row values of four pitch candidates.
    void (*pitchCandidates)(double values[][42], const double target[60], const double impulse[60],
                            const double r[][64], const double gains[42][20]);
    void (*openLoopCorrelations)(double corr[128], const double cur[120], const double* back,
                                 int first);
    void (*backwardFilter)(double d[60], const double target[60], const double impulse[60]);
    void (*convolve)(double y[60], const double x[60], const double h[60]);
    void (*autocorrelations)(double autocorr[4][11], const double buf[360],
                             const double window[180]);
    void (*lagCorrelations)(double c[8], double e[8], const double cur[60], const double* base);
    int (*lspRowScores)(double scores[256], const double (*columns)[256], const double* w,
                        const double* x, int width);
};

// The table in use: the widest the processor runs, chosen on first use, or the two-lane one
// while allowWidePitchKernel(false) (celp_encoder.h) is in force.
const VectorKernels& vectorKernels();

// Gain-row values of two or four pitch candidates at once.
void pitchCandidatesTwo(double values[][42], const double target[60], const double impulse[60],
                        const double r[][64], const double gains[42][20]);
// Open-loop correlations of 128 lags.
void openLoopCorrelationsTwo(double corr[128], const double cur[120], const double* back,
                             int first);
// Backward-filtered target of the pulse search.
void backwardFilterTwo(double d[60], const double target[60], const double impulse[60]);
// Convolution of a subframe with an impulse response.
void convolveTwo(double y[60], const double x[60], const double h[60]);
// Autocorrelations (lags 0..10) of the four Hamming-windowed LPC analysis windows.
void autocorrelationsTwo(double autocorr[4][11], const double buf[360], const double window[180]);
// Correlations of a subframe with eight neighbouring windows, and their energies.
void lagCorrelationsTwo(double c[8], double e[8], const double cur[60], const double* base);

// Scores of the 256 rows of an LSP codebook band kept by columns, and the first row of the
// highest score above -1 (0 when there is none).
int lspRowScoresTwo(double scores[256], const double (*columns)[256], const double* w,
                    const double* x, int width);

#if BRIMVOX_HAVE_AVX_KERNEL
void pitchCandidatesFour(double values[][42], const double target[60], const double impulse[60],
                         const double r[][64], const double gains[42][20]);
void openLoopCorrelationsFour(double corr[128], const double cur[120], const double* back,
                              int first);
void backwardFilterFour(double d[60], const double target[60], const double impulse[60]);
void convolveFour(double y[60], const double x[60], const double h[60]);
void autocorrelationsFour(double autocorr[4][11], const double buf[360], const double window[180]);
void lagCorrelationsFour(double c[8], double e[8], const double cur[60], const double* base);
int lspRowScoresFour(double scores[256], const double (*columns)[256], const double* w,
                     const double* x, int width);
#endif

}  // namespace brimvox
