// The encoder's vector kernels four lanes wide, for processors with AVX. This file alone is
// compiled with -mavx; its kernels are called only after the processor was checked.
#define KERNEL_LANES 4
#define KERNEL_PITCH_NAME pitchCandidatesFour
#define KERNEL_OPENLOOP_NAME openLoopCorrelationsFour
#define KERNEL_BACKWARD_NAME backwardFilterFour
#define KERNEL_CONVOLVE_NAME convolveFour
#define KERNEL_AUTOCORR_NAME autocorrelationsFour
#define KERNEL_LAGS8_NAME lagCorrelationsFour
#define KERNEL_LSPROWS_NAME lspRowScoresFour
#include "vector_kernels.inc"
