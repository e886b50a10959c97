// C exports of the codec for the WebAssembly module. The JavaScript wrapper owns the buffers'
// contents; the module owns fixed scratch areas (one PCM frame, one coded frame) that the
// wrapper fills and reads around each call, so no per-call allocation crosses the boundary.
#include <cstdint>
#include <new>

#include "celp_codec.h"

using brimvox::CelpCodec;
using brimvox::FrameBytes;
using brimvox::FrameSamples;

namespace {

int16_t ioPcm[FrameSamples];
uint8_t ioFrame[FrameBytes];

}  // namespace

extern "C" {

__attribute__((used)) int16_t* bvx_io_pcm() {
    return ioPcm;
}

__attribute__((used)) uint8_t* bvx_io_frame() {
    return ioFrame;
}

__attribute__((used)) int bvx_codec_size() {
    return static_cast<int>(sizeof(CelpCodec));
}

// A fresh codec state, or null when memory is exhausted.
__attribute__((used)) CelpCodec* bvx_codec_new() {
    return new (std::nothrow) CelpCodec();
}

__attribute__((used)) void bvx_codec_free(CelpCodec* codec) {
    delete codec;
}

// Encodes the 240 samples in ioPcm into ioFrame; returns the voice-activity decision.
__attribute__((used)) int bvx_encode_frame(CelpCodec* codec) {
    return codec->encodeFrame(ioPcm, ioFrame, 50);
}

// Decodes ioFrame (or a lost frame when `lost` is non-zero) into ioPcm.
__attribute__((used)) void bvx_decode_frame(CelpCodec* codec, int lost) {
    codec->decodeFrame(ioFrame, ioPcm, static_cast<int16_t>(lost != 0));
}
}
