// Feeds PCM to the frame encoder: random samples and pathological signals (silence, DC,
// square waves, single impulses, full-scale bursts). Each frame is built from a one-byte
// header that picks the signal and the bytes after it; one codec encodes the whole stream so
// the histories carried from frame to frame are exercised too. Every frame must unpack as
// valid and every piece of the encoder's state must stay finite and in its range.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "celp_codec.h"

namespace {

using namespace brimvox;

void require(bool ok) {
    if (!ok) std::abort();
}

bool finite(const double* v, int n) {
    for (int i = 0; i < n; ++i) {
        if (!std::isfinite(v[i])) return false;
    }
    return true;
}

void checkState(const CelpCodec& c) {
    require(finite(c.preFilterX, 9) && finite(c.preFilterY, 9));
    require(std::isfinite(c.dcPrevIn) && std::isfinite(c.dcPrevOut));
    require(finite(c.prevLsp, LpcOrder) && finite(c.prevAnalysis, 120));
    require(finite(c.prevWeighted, HistoryLength) && finite(c.ringHistory, HistoryLength));
    require(finite(c.weightFirMem, LpcOrder) && finite(c.weightIirMem, LpcOrder));
    require(finite(c.ringFirMem, LpcOrder) && finite(c.ringIirMem, LpcOrder));
    for (double e : c.prevExcitation) require(e >= -32768.0 && e <= 32767.0);
    require(c.vadNoiseLevel >= 128.0 && c.vadNoiseLevel <= 131071.0);
    require(std::isfinite(c.vadPrevEnergy) && c.vadPrevEnergy >= 0.0);
    require(c.vadVoiceCount >= 0 && c.vadVoiceCount <= 3);
    require(c.vadAdaptCount >= 0 && c.vadAdaptCount <= 6);
    require(c.vadHangover >= 0 && c.vadHangover <= 7);
    require(c.searchBudget >= 0 && c.searchBudget <= 600);
    for (int k = 2; k < 4; ++k) require(c.vadLags[k] >= 18 && c.vadLags[k] <= 142);
}

void checkFrame(const uint8_t frame[FrameBytes]) {
    require((frame[0] & 3) == 0);
    const CelpFrameParams p = unpackFrame(frame, 0);
    require(p.badFrame == 0);  // every combined gain below 1008, both lag codes valid
    for (int lag : p.pitchLag) require(lag >= MinPitchLag && lag <= MaxPitchLag);
    for (const CelpSubframeParams& sp : p.subframe) {
        require(sp.acbGainIndex * FcbGainCount + sp.fcbGainIndex < CombinedGainLimit);
    }
}

// Fills one frame from the header byte and the bytes that follow; returns the bytes used.
size_t buildFrame(const uint8_t* data, size_t size, int16_t pcm[FrameSamples], long& clock) {
    const uint8_t header = data[0];
    const uint8_t a = size > 1 ? data[1] : 0;
    const uint8_t b = size > 2 ? data[2] : 0;
    const int16_t level = static_cast<int16_t>((a << 8) | b);
    const bool full = (header & 0x10) != 0;
    const int16_t high = full ? 32767 : level;
    const int16_t low = full ? -32768 : static_cast<int16_t>(-(level / 2));
    size_t used = 3;
    switch (header & 0x07) {
        case 0: {  // raw samples, little-endian
            used = 1;
            for (int n = 0; n < FrameSamples; ++n) {
                const size_t i = 1 + 2 * static_cast<size_t>(n);
                const int lo = i < size ? data[i] : 0;
                const int hi = i + 1 < size ? data[i + 1] : 0;
                pcm[n] = static_cast<int16_t>(lo | (hi << 8));
                if (i + 1 < size) used = i + 2;
            }
            break;
        }
        case 1:  // silence
            used = 1;
            for (int n = 0; n < FrameSamples; ++n) pcm[n] = 0;
            break;
        case 2:  // DC
            for (int n = 0; n < FrameSamples; ++n) pcm[n] = full ? -32768 : level;
            break;
        case 3: {  // square wave, half period 1..256 samples, continuous across frames
            const long half = 1 + a;
            for (int n = 0; n < FrameSamples; ++n) pcm[n] = ((clock + n) / half) % 2 ? high : low;
            break;
        }
        case 4: {  // impulses every 1..256 samples
            const long period = 1 + b;
            for (int n = 0; n < FrameSamples; ++n) pcm[n] = (clock + n) % period == 0 ? high : 0;
            break;
        }
        case 5: {  // one impulse in an otherwise silent frame
            for (int n = 0; n < FrameSamples; ++n) pcm[n] = 0;
            pcm[a % FrameSamples] = full ? -32768 : level;
            break;
        }
        case 6: {  // alternating full-scale samples with a byte-chosen pattern
            used = 2;
            for (int n = 0; n < FrameSamples; ++n) pcm[n] = ((a >> (n % 8)) & 1) ? 32767 : -32768;
            break;
        }
        default: {  // pseudo-random full-range noise seeded by the bytes
            uint32_t x = (static_cast<uint32_t>(a) << 8 | b) * 2654435761u + 1;
            for (int n = 0; n < FrameSamples; ++n) {
                x = x * 1664525u + 1013904223u;
                pcm[n] = static_cast<int16_t>(x >> 16);
            }
            break;
        }
    }
    clock += FrameSamples;
    return used < size ? used : size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    CelpCodec codec;
    const int sensitivity = static_cast<int8_t>(data[0]) * 4;
    long clock = 0;
    size_t at = 1;
    for (int frames = 0; at < size && frames < 48; ++frames) {
        int16_t pcm[FrameSamples];
        at += buildFrame(data + at, size - at, pcm, clock);
        uint8_t frame[FrameBytes];
        const int16_t decision = codec.encodeFrame(pcm, frame, sensitivity);
        require(decision == 0 || decision == 1);
        checkFrame(frame);
        checkState(codec);
    }
    return 0;
}
