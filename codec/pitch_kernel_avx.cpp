// The pitch-candidate kernel four candidates at a time, for processors with AVX. This file
// alone is compiled with -mavx; it is called only after the processor was checked.
#define KERNEL_LANES 4
#define KERNEL_NAME pitchCandidatesFour
#define KERNEL_OPENLOOP_NAME openLoopCorrelationsFour
#include "pitch_kernel.inc"
