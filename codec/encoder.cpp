// The encoder's frame driver: 240 PCM samples in, one 18-byte frame and a voice-activity
// decision out. All working buffers live on the stack; the codec carries the rest.
#include <cstring>

#include "celp_codec.h"
#include "celp_encoder.h"
#include "celp_shared.h"

namespace brimvox {

namespace {

// Keeps the adaptive codebook memory in the 16-bit range without rounding it.
inline double clampExcitation(double e) {
    if (e < -32767.5) return -32768.0;
    if (e > 32766.5) return 32767.0;
    return e;
}

}  // namespace

int16_t CelpCodec::encodeFrame(const int16_t pcm[FrameSamples], uint8_t frame[FrameBytes],
                               int vadSensitivity) {
    CelpFrameParams params;
    params.badFrame = 0;
    searchBudget = 120;

    double speech[FrameSamples];
    for (int n = 0; n < FrameSamples; ++n) speech[n] = pcm[n];

    filterInput(*this, speech);

    double unqLpc[SubframeCount][LpcOrder];
    analyseLpc(unqLpc, prevAnalysis, speech, sineDetector);

    const int16_t decision =
        detectVoiceActivity(*this, speech, static_cast<int16_t>(vadSensitivity));

    // From here on the frame is coded one subframe late.
    shiftAnalysisBuffer(prevAnalysis, speech);

    // The LSP root search runs inside the weighting filter's loop (they are independent).
    double weightCoef[SubframeCount][WeightSetSize];
    computeWeightingFilters(weightCoef, unqLpc);
    LspRootSearch rootSearch(unqLpc[3]);
    weightSpeech(speech, weightCoef, weightFirMem, weightIirMem, rootSearch);
    double lspVec[LpcOrder];
    rootSearch.finish(lspVec, prevLsp);
    params.lspIndex = quantiseLsp(lspVec, prevLsp);

    double pitchBuf[PitchBufferLength];
    std::memcpy(pitchBuf, prevWeighted, sizeof prevWeighted);
    std::memcpy(pitchBuf + HistoryLength, speech, sizeof speech);

    for (int k = 0; k < 2; ++k) {
        const int lag = estimateOpenLoopLag(pitchBuf, HistoryLength + 2 * SubframeSamples * k);
        params.pitchLag[k] = lag;
        vadLags[2 + k] = static_cast<int16_t>(lag);
    }

    HarmonicWeight harm[SubframeCount];
    for (int s = 0; s < SubframeCount; ++s) {
        harm[s] = findHarmonicWeight(pitchBuf, HistoryLength + SubframeSamples * s,
                                     params.pitchLag[s / 2]);
    }
    std::memcpy(prevWeighted, pitchBuf + FrameSamples, sizeof prevWeighted);
    for (int s = 0; s < SubframeCount; ++s) {
        applyHarmonicWeight(speech, pitchBuf, SubframeSamples * s, harm[s]);
    }

    decodeLsp(lspVec, prevLsp, params.lspIndex, 0);
    double qntLpc[SubframeCount][LpcOrder];
    interpolateLsp(qntLpc, lspVec, prevLsp);
    std::memcpy(prevLsp, lspVec, sizeof lspVec);

    for (int s = 0; s < SubframeCount; ++s) {
        double* target = speech + SubframeSamples * s;
        const double* a = qntLpc[s];
        const double* w = weightCoef[s];
        double impulse[SubframeSamples];
        double pitchPart[SubframeSamples];  // the chosen adaptive-codebook contribution

        impulseAndRinging(impulse, target, a, w, *this, harm[s]);
        searchAdaptiveCodebook(target, impulse, prevExcitation, params, s, pitchPart);
        searchFixedCodebook(target, impulse, params, s, searchBudget);

        std::memmove(prevExcitation, prevExcitation + SubframeSamples,
                     sizeof(double) * (HistoryLength - SubframeSamples));
        for (int j = 0; j < SubframeSamples; ++j) {
            const double e = target[j] + pitchPart[j];
            target[j] = e;
            prevExcitation[HistoryLength - SubframeSamples + j] = clampExcitation(e);
        }
        updateRinging(target, a, w, *this);
    }

    packFrame(params, frame);
    return decision;
}

}  // namespace brimvox
