// The 4800 bit/s CELP speech codec: frame records and the codec state object.
//
// One frame carries 240 samples (30 ms at 8000 Hz) in 18 bytes. Every signal value is a
// 64-bit double; PCM becomes double on entry to the encoder and 16-bit again only at the
// decoder's output. The codec owns no heap memory, no handles and no threads.
#pragma once

#include <cstdint>

namespace brimvox {

constexpr int FrameSamples = 240;    // 30 ms at 8000 Hz
constexpr int SubframeSamples = 60;  // four subframes per frame
constexpr int SubframeCount = 4;
constexpr int LpcOrder = 10;        // predictor / LSP order
constexpr int HistoryLength = 145;  // reach of the five-tap pitch predictor: delay 143 + 2
constexpr int FrameBytes = 18;      // 144 bits
constexpr int MinPitchLag = 18;
constexpr int MaxPitchLag = 141;  // lag codes 0..123 are valid
constexpr int AcbGainRows = 42;
constexpr int FcbGainCount = 24;
constexpr int CombinedGainLimit = AcbGainRows * FcbGainCount;  // 1008: first invalid value

// Parameters of one 60-sample subframe, in record order.
struct CelpSubframeParams {
    int32_t lagOffset = 1;       // delay = pitchLag + lagOffset - 1; carried for subframes 1, 3
    int32_t acbGainIndex = 0;    // row of AcbGainTable, 0..41
    int32_t fcbGainIndex = 0;    // entry of FcbGainTable, 0..23
    int32_t pulseSigns = 0;      // bit p set: pulse p positive
    int32_t pulsePositions = 0;  // 3 + 3 + 3 + 2 bits of track positions
};

// The unpacked form of one frame, in record order.
struct CelpFrameParams {
    int16_t badFrame = 0;  // non-zero: lost or invalid frame
    int32_t lspIndex = 0;  // 24 bits: band 0 in bits 16..23, band 1 in 8..15, band 2 in 0..7
    int32_t pitchLag[2] = {MinPitchLag, MinPitchLag};  // open-loop lags of subframes 0-1, 2-3
    CelpSubframeParams subframe[SubframeCount];
};

// Stores the record into 18 bytes. Each value must fit its field: lags 18..145 and combined
// gains below 1024 (only lags up to 141 and gains below 1008 unpack as valid).
void packFrame(const CelpFrameParams& params, uint8_t frame[FrameBytes]);

// Extracts the record of one frame; a non-zero lost flag marks it bad without reading it.
// Out-of-range combined gains or lag codes also mark it bad; the fields that could not be
// converted are then set to safe in-range values (see the definition).
CelpFrameParams unpackFrame(const uint8_t frame[FrameBytes], int16_t lost);

// All memory of the speech codec, for both directions. Fields in declaration order.
class CelpCodec {
  public:
    CelpCodec();

    // Encodes 240 samples into one frame; returns the voice-activity decision (1 = speech).
    int16_t encodeFrame(const int16_t pcm[FrameSamples], uint8_t frame[FrameBytes],
                        int vadSensitivity);

    // Decodes one frame into 240 samples; `lost` is the lost-frame flag.
    void decodeFrame(const uint8_t frame[FrameBytes], int16_t pcm[FrameSamples], int16_t lost);

    int16_t searchBudget = 0;              // pulse-search budget, reset every encoded frame
    double preFilterX[9];                  // input filter: current and 8 previous inputs
    double preFilterY[9];                  // input filter: current and 8 previous outputs
    double preFilterDen[9];                // 1, a1..a8
    double preFilterNum[9];                // b0..b8
    double decPrevLsp[LpcOrder];           // decoder: LSP vector of the previous frame
    double decExcitation[HistoryLength];   // decoder: clamped excitation history
    double decSynthMemory[LpcOrder];       // decoder: synthesis memory, newest first
    double dcPrevIn = 0.0;                 // DC removal: previous raw input
    double dcPrevOut = 0.0;                // DC removal: previous output
    double prevLsp[LpcOrder];              // encoder: quantised LSP of the previous frame
    double prevWeighted[HistoryLength];    // last weighted speech samples
    double ringHistory[HistoryLength];     // weighted-domain output of the combined filter
    double prevExcitation[HistoryLength];  // encoder: adaptive codebook memory
    double prevAnalysis[120];              // head of the next LPC analysis window
    double weightFirMem[LpcOrder];         // perceptual weighting, zero side
    double weightIirMem[LpcOrder];         // perceptual weighting, pole side
    double ringFirMem[LpcOrder];           // ringing filter, first stage
    double ringIirMem[LpcOrder];           // ringing filter, second stage
    int16_t sineDetector = 0;              // resonant-subframe history, bit 15 = tone
    int16_t vadHangover = 0;
    int16_t vadVoiceCount = 0;  // 0..3
    double vadPrevEnergy = 1024.0;
    double vadNoiseLevel = 1024.0;        // kept in 128..131071
    int16_t vadAdaptCount = 0;            // 0..6
    int16_t vadLags[4] = {1, 1, 60, 60};  // lags of the frame before last, then of the last

    // Runs y[n] = x[n] + sum p[k-1] y[n-k] over one subframe in place, with decSynthMemory
    // as its memory (carried across subframes and frames).
    void synthesisFilter(double signal[SubframeSamples], const double predictor[LpcOrder]);
};

// Converts one decoder output value to 16 bits: clamps to the PCM range and rounds half away
// from zero.
int16_t toPcm16(double x);

}  // namespace brimvox
