// The steps of the LSP root search (LspRootSearch, celp_encoder.h), inline so that the loop
// that interleaves them with other work does not pay a call per step.
#pragma once

#include <cmath>

#include "celp_encoder.h"
#include "celp_tables.h"

namespace brimvox {

// Both polynomials at grid point j, one per register lane (each lane adds exactly as
// evaluateLspPolynomial does), so a switch to the other one needs no extra evaluation.
inline LspRootSearch::Pair LspRootSearch::evaluateBoth(int j) const {
    Pair sum = {0.0, 0.0};
    const unsigned step = static_cast<unsigned>(j);
    for (unsigned n = 0; n <= 5; ++n) {
        const double cosine = CosineTable[(n * step) & 511u];
        sum += Pair{coefP[n], coefQ[n]} * Pair{cosine, cosine};
    }
    return sum;
}

inline void LspRootSearch::step() {
    if (done()) return;
    const Pair both = evaluateBoth(next);
    const double valueP = both[0], valueQ = both[1];
    const double cur = current == 0 ? valueP : valueQ;
    if (prev * cur < 0.0) {
        const double ap = std::fabs(prev);
        roots[found++] = (next - 1) + ap / (ap + std::fabs(cur));
        current ^= 1;
        prev = current == 0 ? valueP : valueQ;
    } else {
        prev = cur;
    }
    ++next;
}

}  // namespace brimvox
