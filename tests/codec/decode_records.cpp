// Test tool: decodes a sequence of frame records with one CelpCodec, so other implementations of
// the decoder can be compared with this one sample for sample, lost frames included.
//
// usage: codec_decode_records IN OUT [STATE]
// IN is a sequence of 20-byte records: the lost flag handed to decodeFrame (16-bit signed,
// little-endian), then the 18-byte frame. OUT receives 240 signed 16-bit little-endian samples
// per record. STATE, when given, receives after every frame the decoder state that carries to
// the next one, as little-endian doubles: decPrevLsp (10), decExcitation (145), decSynthMemory
// (10). The samples are rounded; the state shows differences of a single bit.
#include <cstdio>
#include <cstring>

#include "celp_codec.h"

namespace {

bool writeDoubles(const double* v, int n, FILE* f) {
    for (int i = 0; i < n; ++i) {
        uint64_t bits;
        std::memcpy(&bits, &v[i], sizeof bits);
        uint8_t le[8];
        for (int b = 0; b < 8; ++b) le[b] = static_cast<uint8_t>(bits >> (8 * b));
        if (std::fwrite(le, 1, sizeof le, f) != sizeof le) return false;
    }
    return true;
}

bool writeState(const brimvox::CelpCodec& codec, FILE* f) {
    using namespace brimvox;
    return writeDoubles(codec.decPrevLsp, LpcOrder, f) &&
           writeDoubles(codec.decExcitation, HistoryLength, f) &&
           writeDoubles(codec.decSynthMemory, LpcOrder, f);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace brimvox;
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: codec_decode_records IN OUT [STATE]\n");
        return 2;
    }
    FILE* in = std::fopen(argv[1], "rb");
    if (!in) return std::perror(argv[1]), 1;
    FILE* out = std::fopen(argv[2], "wb");
    if (!out) return std::perror(argv[2]), 1;
    FILE* state = argc == 4 ? std::fopen(argv[3], "wb") : nullptr;
    if (argc == 4 && !state) return std::perror(argv[3]), 1;

    CelpCodec codec;
    uint8_t record[2 + FrameBytes];
    int16_t pcm[FrameSamples];
    uint8_t bytes[2 * FrameSamples];
    while (std::fread(record, 1, sizeof record, in) == sizeof record) {
        const auto lost = static_cast<int16_t>(record[0] | (record[1] << 8));
        codec.decodeFrame(record + 2, pcm, lost);
        for (int n = 0; n < FrameSamples; ++n) {
            bytes[2 * n] = static_cast<uint8_t>(pcm[n]);
            bytes[2 * n + 1] = static_cast<uint8_t>(static_cast<uint16_t>(pcm[n]) >> 8);
        }
        if (std::fwrite(bytes, 1, sizeof bytes, out) != sizeof bytes) {
            return std::perror(argv[2]), 1;
        }
        if (state && !writeState(codec, state)) return std::perror(argv[3]), 1;
    }
    bool ok = !std::ferror(in) && std::fclose(out) == 0;
    if (state) ok = std::fclose(state) == 0 && ok;
    std::fclose(in);
    return ok ? 0 : 1;
}
