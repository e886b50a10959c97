// The native codec for the WebAssembly tests.
//   web_codec_ref encode IN.raw OUT.bvx      16-bit LE 8 kHz PCM -> frames (last frame padded)
//   web_codec_ref decode IN.bvx OUT.raw [LOST] frames -> PCM; LOST is a string of 0/1 per frame,
//                                            1 = decode that frame as lost
//   web_codec_ref time SECONDS IN.raw         encode and decode speed, frames per second
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "celp_codec.h"

using namespace brimvox;

namespace {

std::vector<uint8_t> readAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(2);
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const char* path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path);
        std::exit(2);
    }
}

std::vector<int16_t> toPcm(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> pcm(bytes.size() / 2);
    for (size_t i = 0; i < pcm.size(); i++)
        pcm[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return pcm;
}

std::vector<uint8_t> encode(const std::vector<int16_t>& pcm) {
    CelpCodec codec;
    size_t frames = (pcm.size() + FrameSamples - 1) / FrameSamples;
    std::vector<uint8_t> out(frames * FrameBytes);
    int16_t block[FrameSamples];
    for (size_t f = 0; f < frames; f++) {
        for (int i = 0; i < FrameSamples; i++) {
            size_t k = f * FrameSamples + i;
            block[i] = k < pcm.size() ? pcm[k] : 0;
        }
        codec.encodeFrame(block, &out[f * FrameBytes], 50);
    }
    return out;
}

std::vector<int16_t> decode(const std::vector<uint8_t>& frames, const std::string& lost) {
    CelpCodec codec;
    size_t count = frames.size() / FrameBytes;
    std::vector<int16_t> out(count * FrameSamples);
    for (size_t f = 0; f < count; f++) {
        int16_t isLost = f < lost.size() && lost[f] == '1' ? 1 : 0;
        codec.decodeFrame(&frames[f * FrameBytes], &out[f * FrameSamples], isLost);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "encode") == 0) {
        auto frames = encode(toPcm(readAll(argv[2])));
        writeAll(argv[3], frames.data(), frames.size());
        return 0;
    }
    if (argc >= 4 && std::strcmp(argv[1], "decode") == 0) {
        auto pcm = decode(readAll(argv[2]), argc > 4 ? argv[4] : "");
        std::vector<uint8_t> bytes(pcm.size() * 2);
        for (size_t i = 0; i < pcm.size(); i++) {
            bytes[2 * i] = static_cast<uint8_t>(pcm[i] & 0xFF);
            bytes[2 * i + 1] = static_cast<uint8_t>((pcm[i] >> 8) & 0xFF);
        }
        writeAll(argv[3], bytes.data(), bytes.size());
        return 0;
    }
    if (argc >= 4 && std::strcmp(argv[1], "time") == 0) {
        double seconds = std::atof(argv[2]);
        auto pcm = toPcm(readAll(argv[3]));
        using Clock = std::chrono::steady_clock;
        size_t framesDone = 0;
        std::vector<uint8_t> frames;
        auto start = Clock::now();
        double elapsed = 0;
        do {
            frames = encode(pcm);
            framesDone += frames.size() / FrameBytes;
            elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        } while (elapsed < seconds);
        double encodeRate = static_cast<double>(framesDone) / elapsed;
        framesDone = 0;
        start = Clock::now();
        do {
            auto out = decode(frames, "");
            framesDone += out.size() / FrameSamples;
            elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        } while (elapsed < seconds);
        double decodeRate = static_cast<double>(framesDone) / elapsed;
        std::printf("{\"encodeFramesPerSecond\": %.1f, \"decodeFramesPerSecond\": %.1f}\n",
                    encodeRate, decodeRate);
        return 0;
    }
    std::fprintf(stderr, "usage: web_codec_ref encode|decode|time ...\n");
    return 2;
}
