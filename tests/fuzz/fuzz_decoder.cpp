// Feeds arbitrary byte streams to the frame decoder: the first byte of every 19-byte record is
// the lost flag pattern, the other 18 the frame. One codec decodes the whole stream, so long
// inputs also exercise the histories carried from frame to frame.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "celp_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brimvox;
    CelpCodec codec;
    int16_t pcm[FrameSamples];
    for (size_t at = 0; at + 1 + FrameBytes <= size; at += 1 + FrameBytes) {
        // Mostly good frames, some lost with assorted flag values.
        const int16_t lost = (data[at] & 0xF0) == 0xF0 ? static_cast<int16_t>(data[at] - 0xEF) : 0;
        const CelpFrameParams params = unpackFrame(data + at + 1, lost);
        if (params.badFrame == 0) {
            // A good frame must repack to the same carried bits (spare bits aside).
            uint8_t again[FrameBytes];
            packFrame(params, again);
            if ((again[0] & 0xFC) != (data[at + 1] & 0xFC)) std::abort();
            for (int i = 1; i < FrameBytes; ++i)
                if (again[i] != data[at + 1 + i]) std::abort();
        }
        for (int16_t& s : pcm) s = 0x5A5A;
        codec.decodeFrame(data + at + 1, pcm, lost);
        for (double x : codec.decExcitation)
            if (!(x >= -32768.0 && x <= 32767.0)) std::abort();
        for (double x : codec.decSynthMemory)
            if (!std::isfinite(x)) std::abort();
        for (int k = 0; k < LpcOrder; ++k)
            if (!(codec.decPrevLsp[k] > -8.0 && codec.decPrevLsp[k] < 264.0)) std::abort();
    }
    return 0;
}
