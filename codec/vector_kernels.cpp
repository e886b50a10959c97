// The tables of the encoder's vector kernels and the choice among them, made once for the
// processor instead of at every call.
#include "vector_kernels.h"

#include <atomic>

#include "celp_encoder.h"

namespace brimvox {

namespace {

// The two-lane kernel evaluates two pitch candidates per call; the table's entry takes four.
void pitchCandidatesTwoByTwo(double values[][42], const double target[60], const double impulse[60],
                             const double r[][64], const double gains[42][20]) {
    pitchCandidatesTwo(values, target, impulse, r, gains);
    pitchCandidatesTwo(values + 2, target, impulse, r + 2, gains);
}

constexpr VectorKernels TwoLanes = {
    2,           pitchCandidatesTwoByTwo, openLoopCorrelationsTwo, backwardFilterTwo,
    convolveTwo, autocorrelationsTwo,     lagCorrelationsTwo,      lspRowScoresTwo,
};

#if BRIMVOX_HAVE_AVX_KERNEL
constexpr VectorKernels FourLanes = {
    4,
    pitchCandidatesFour,
    openLoopCorrelationsFour,
    backwardFilterFour,
    convolveFour,
    autocorrelationsFour,
    lagCorrelationsFour,
    lspRowScoresFour,
};
#endif

const VectorKernels* widestAvailable() {
#if BRIMVOX_HAVE_AVX_KERNEL
    static const bool avx = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx") != 0;
    }();
    if (avx) return &FourLanes;
#endif
    return &TwoLanes;
}

std::atomic<const VectorKernels*>& chosen() {
    static std::atomic<const VectorKernels*> kernels{widestAvailable()};
    return kernels;
}

}  // namespace

const VectorKernels& vectorKernels() {
    return *chosen().load(std::memory_order_relaxed);
}

void allowWidePitchKernel(bool allowed) {
    chosen().store(allowed ? widestAvailable() : &TwoLanes, std::memory_order_relaxed);
}

bool widePitchKernelInUse() {
    return vectorKernels().lanes > 2;
}

}  // namespace brimvox
