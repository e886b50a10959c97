// The encoder's vector kernels two lanes wide (SSE2 on x86, any target elsewhere).
#define KERNEL_LANES 2
#define KERNEL_PITCH_NAME pitchCandidatesTwo
#define KERNEL_OPENLOOP_NAME openLoopCorrelationsTwo
#define KERNEL_BACKWARD_NAME backwardFilterTwo
#define KERNEL_CONVOLVE_NAME convolveTwo
#define KERNEL_AUTOCORR_NAME autocorrelationsTwo
#define KERNEL_LAGS8_NAME lagCorrelationsTwo
#define KERNEL_LSPROWS_NAME lspRowScoresTwo
#include "vector_kernels.inc"
