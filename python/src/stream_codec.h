// Streaming encoder and decoder behind the Python API. They take PCM the way the command-line
// tool reads sound files (normalised samples, channels mixed down, other rates resampled to
// 8000 Hz by libsamplerate), so both give the same frames for the same audio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "celp_codec.h"

struct SRC_STATE_tag;

namespace brimvox::py {

constexpr int TargetRate = 8000;

// Highest and lowest input rates libsamplerate converts to 8000 Hz (ratio 1/256 .. 256).
constexpr long MaxInputRate = 256L * TargetRate;
constexpr long MinInputRate = (TargetRate + 255) / 256;

// Input the caller gave that cannot be coded (mapped to ValueError).
struct InputError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

class StreamEncoder {
  public:
    explicit StreamEncoder(long samplerate);
    ~StreamEncoder();
    StreamEncoder(const StreamEncoder&) = delete;
    StreamEncoder& operator=(const StreamEncoder&) = delete;

    // Appends the frames of `frames` rows of `channels` interleaved samples to `out`. Samples
    // that are not finite are refused before anything of the chunk is coded.
    void encode(const int16_t* data, size_t frames, int channels, std::string& out);
    void encode(const float* data, size_t frames, int channels, std::string& out);
    void encode(const double* data, size_t frames, int channels, std::string& out);
    // Drains the resampler and codes the last partial frame padded with silence.
    void flush(std::string& out);

    long samplerate() const { return samplerate_; }
    bool flushed() const { return flushed_; }

  private:
    template <typename T>
    void encodeAny(const T* data, size_t frames, int channels, std::string& out);
    void pushMono(const float* mono, size_t count, std::string& out);
    void pushPcm(const int16_t* pcm, size_t count, std::string& out);
    void resample(const float* mono, size_t count, bool last, std::string& out);

    CelpCodec codec_;
    long samplerate_;
    SRC_STATE_tag* src_ = nullptr;
    int16_t pending_[FrameSamples] = {};
    int pendingCount_ = 0;
    bool flushed_ = false;
    std::vector<float> mono_;
    std::vector<float> resampled_;
    std::vector<int16_t> pcm_;
};

class StreamDecoder {
  public:
    // Samples that decode() gives for `size` more bytes.
    size_t outputSamples(size_t size) const {
        return (pendingCount_ + size) / FrameBytes * FrameSamples;
    }
    // Decodes the whole frames of the held bytes followed by `data` into `out`, which has room
    // for outputSamples(size); keeps the rest for the next call.
    void decode(const uint8_t* data, size_t size, int16_t* out);
    // Conceals one frame that never arrived: FrameSamples samples into `out`.
    void decodeLost(int16_t* out);
    int pendingBytes() const { return pendingCount_; }

  private:
    CelpCodec codec_;
    uint8_t pending_[FrameBytes] = {};
    int pendingCount_ = 0;
};

// Frames of `size` bytes the decoder treats as bad (invalid gain or lag codes).
size_t countBadFrames(const uint8_t* data, size_t size);

// The 16-bit value of a normalised sample, as the command-line tool rounds it.
int16_t toSample(double x);

}  // namespace brimvox::py
