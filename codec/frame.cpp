// Packing of frame parameters into the 18-byte frame and back.
#include "celp_codec.h"

namespace brimvox {

namespace {

uint32_t readWord32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void writeWord32(uint8_t* p, uint32_t w) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(w >> (8 * i));
}

int32_t bits(uint32_t word, int first, int width) {
    return static_cast<int32_t>((word >> first) & ((1u << width) - 1u));
}

uint32_t combinedGain(const CelpSubframeParams& sp) {
    return static_cast<uint32_t>(sp.acbGainIndex * FcbGainCount + sp.fcbGainIndex);
}

}  // namespace

void packFrame(const CelpFrameParams& params, uint8_t frame[FrameBytes]) {
    const CelpSubframeParams* sf = params.subframe;
    const uint32_t w0 = (static_cast<uint32_t>(sf[1].lagOffset) << 2) |
                        (static_cast<uint32_t>(sf[0].pulseSigns) << 4) |
                        (static_cast<uint32_t>(params.lspIndex) << 8);
    const uint32_t w1 = static_cast<uint32_t>(sf[0].pulsePositions) |
                        (static_cast<uint32_t>(sf[2].pulsePositions) << 11) |
                        (combinedGain(sf[1]) << 22);
    const uint32_t w2 = static_cast<uint32_t>(sf[3].pulseSigns) |
                        (static_cast<uint32_t>(sf[2].pulseSigns) << 4) |
                        (static_cast<uint32_t>(sf[1].pulseSigns) << 8) |
                        (combinedGain(sf[0]) << 12) | (combinedGain(sf[2]) << 22);
    const uint32_t w3 = combinedGain(sf[3]) | (static_cast<uint32_t>(sf[3].pulsePositions) << 10) |
                        (static_cast<uint32_t>(sf[1].pulsePositions) << 21);
    const uint32_t w4 = static_cast<uint32_t>(sf[3].lagOffset) |
                        (static_cast<uint32_t>(params.pitchLag[1] - MinPitchLag) << 2) |
                        (static_cast<uint32_t>(params.pitchLag[0] - MinPitchLag) << 9);
    writeWord32(frame, w0);
    writeWord32(frame + 4, w1);
    writeWord32(frame + 8, w2);
    writeWord32(frame + 12, w3);
    frame[16] = static_cast<uint8_t>(w4);
    frame[17] = static_cast<uint8_t>(w4 >> 8);
}

CelpFrameParams unpackFrame(const uint8_t frame[FrameBytes], int16_t lost) {
    // A bad frame carries the values of an all-zero frame in every field except the LSP
    // index: no pitch contribution, the smallest pulse amplitude and in-range delays, so a
    // lost or corrupt frame decodes to near silence instead of to garbage.
    CelpFrameParams quiet;
    if (lost != 0) {
        quiet.badFrame = lost;
        return quiet;
    }

    const uint32_t w0 = readWord32(frame);
    const uint32_t w1 = readWord32(frame + 4);
    const uint32_t w2 = readWord32(frame + 8);
    const uint32_t w3 = readWord32(frame + 12);
    const uint32_t w4 = static_cast<uint32_t>(frame[16]) | (static_cast<uint32_t>(frame[17]) << 8);

    CelpFrameParams p;
    p.lspIndex = bits(w0, 8, 24);
    CelpSubframeParams* sf = p.subframe;
    sf[1].lagOffset = bits(w0, 2, 2);
    sf[3].lagOffset = bits(w4, 0, 2);
    sf[0].pulseSigns = bits(w0, 4, 4);
    sf[1].pulseSigns = bits(w2, 8, 4);
    sf[2].pulseSigns = bits(w2, 4, 4);
    sf[3].pulseSigns = bits(w2, 0, 4);
    sf[0].pulsePositions = bits(w1, 0, 11);
    sf[1].pulsePositions = bits(w3, 21, 11);
    sf[2].pulsePositions = bits(w1, 11, 11);
    sf[3].pulsePositions = bits(w3, 10, 11);
    const int32_t gains[SubframeCount] = {bits(w2, 12, 10), bits(w1, 22, 10), bits(w2, 22, 10),
                                          bits(w3, 0, 10)};

    for (int s = 0; s < SubframeCount; ++s) {
        if (gains[s] >= CombinedGainLimit) {
            quiet.badFrame = 1;
            quiet.lspIndex = p.lspIndex;
            return quiet;
        }
        sf[s].acbGainIndex = gains[s] / FcbGainCount;
        sf[s].fcbGainIndex = gains[s] % FcbGainCount;
    }
    const int32_t lagCodes[2] = {bits(w4, 9, 7), bits(w4, 2, 7)};
    for (int i = 0; i < 2; ++i) {
        if (lagCodes[i] > MaxPitchLag - MinPitchLag) {
            quiet.badFrame = 1;
            quiet.lspIndex = p.lspIndex;
            return quiet;
        }
        p.pitchLag[i] = lagCodes[i] + MinPitchLag;
    }
    return p;
}

}  // namespace brimvox
