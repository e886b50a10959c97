// Construction of the codec state: every field takes its defined initial value.
#include "celp_codec.h"

#include <algorithm>
#include <iterator>

#include "celp_tables.h"

namespace brimvox {

namespace {

constexpr double InputFilterDen[9] = {1.0,     -0.475408, -3.295591, 1.10635, 4.261585,
                                      -0.8903, -2.525088, 0.24473,   0.573726};
constexpr double InputFilterNum[9] = {0.757447, -0.018498, -2.991989, 0.018267, 4.469547,
                                      0.018267, -2.991989, -0.018498, 0.757447};

template <typename T, size_t N>
void fill(T (&a)[N], T value) {
    std::fill(std::begin(a), std::end(a), value);
}

}  // namespace

CelpCodec::CelpCodec() {
    fill(preFilterX, 0.0);
    fill(preFilterY, 0.0);
    std::copy(std::begin(InputFilterDen), std::end(InputFilterDen), preFilterDen);
    std::copy(std::begin(InputFilterNum), std::end(InputFilterNum), preFilterNum);
    std::copy(std::begin(LspMeanTable), std::end(LspMeanTable), decPrevLsp);
    fill(decExcitation, 0.0);
    fill(decSynthMemory, 0.0);
    std::copy(std::begin(LspMeanTable), std::end(LspMeanTable), prevLsp);
    fill(prevWeighted, 0.0);
    fill(ringHistory, 0.0);
    fill(prevExcitation, 0.0);
    fill(prevAnalysis, 0.0);
    fill(weightFirMem, 0.0);
    fill(weightIirMem, 0.0);
    fill(ringFirMem, 0.0);
    fill(ringIirMem, 0.0);
}

}  // namespace brimvox
