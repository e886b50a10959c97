// The pitch-candidate kernel two candidates at a time (SSE2 on x86, any target elsewhere).
#define KERNEL_LANES 2
#define KERNEL_NAME pitchCandidatesTwo
#define KERNEL_OPENLOOP_NAME openLoopCorrelationsTwo
#include "pitch_kernel.inc"
