#include "stream_codec.h"

#include <samplerate.h>

#include <cmath>
#include <string>

namespace brimvox::py {

namespace {

// Rows mixed down per step: bounds the working memory whatever the chunk's length.
constexpr size_t BlockRows = 16384;

// Normalised value of one input sample: 16-bit samples are scaled by 1/32768 as libsndfile
// reads them; float samples are taken as they are.
inline double normalised(int16_t s) {
    return s * (1.0 / 32768.0);
}
inline double normalised(float s) {
    return s;
}
inline double normalised(double s) {
    return s;
}
inline bool finite(int16_t) {
    return true;
}
inline bool finite(float s) {
    return std::isfinite(s);
}
inline bool finite(double s) {
    return std::isfinite(s);
}

}  // namespace

int16_t toSample(double x) {
    const double v = x * 32768.0;
    if (v >= 32767.0) return 32767;
    if (v <= -32768.0) return -32768;
    return static_cast<int16_t>(v >= 0.0 ? v + 0.5 : v - 0.5);
}

StreamEncoder::StreamEncoder(long samplerate) : samplerate_(samplerate) {
    if (samplerate < MinInputRate || samplerate > MaxInputRate) {
        throw InputError("samplerate must be between " + std::to_string(MinInputRate) + " and " +
                         std::to_string(MaxInputRate) + " Hz, got " + std::to_string(samplerate));
    }
    if (samplerate != TargetRate) {
        int error = 0;
        src_ = src_new(SRC_SINC_MEDIUM_QUALITY, 1, &error);
        if (!src_) throw std::runtime_error(std::string("resampler: ") + src_strerror(error));
    }
}

StreamEncoder::~StreamEncoder() {
    if (src_) src_delete(src_);
}

void StreamEncoder::encode(const int16_t* data, size_t frames, int channels, std::string& out) {
    if (channels == 1 && !src_ && !flushed_) {
        // 8000 Hz 16-bit mono is taken as it is: normalising and rounding back is the identity.
        pushPcm(data, frames, out);
        return;
    }
    encodeAny(data, frames, channels, out);
}

void StreamEncoder::encode(const float* data, size_t frames, int channels, std::string& out) {
    encodeAny(data, frames, channels, out);
}

void StreamEncoder::encode(const double* data, size_t frames, int channels, std::string& out) {
    encodeAny(data, frames, channels, out);
}

template <typename T>
void StreamEncoder::encodeAny(const T* data, size_t frames, int channels, std::string& out) {
    if (flushed_) throw InputError("the encoder was flushed; start a new Encoder");
    if (channels < 1) throw InputError("samples have no channel");
    const size_t total = frames * static_cast<size_t>(channels);
    for (size_t i = 0; i < total; ++i) {
        if (!finite(data[i])) {
            throw InputError("samples hold NaN or infinite values (first at row " +
                             std::to_string(i / channels) + ")");
        }
    }
    // Mix down as the command-line reader does: the mean of the channels in double precision,
    // kept as a float sample.
    mono_.resize(frames < BlockRows ? frames : BlockRows);
    for (size_t row = 0; row < frames; row += BlockRows) {
        const size_t n = frames - row < BlockRows ? frames - row : BlockRows;
        const T* p = data + row * channels;
        for (size_t i = 0; i < n; ++i) {
            double sum = 0.0;
            for (int c = 0; c < channels; ++c) sum += normalised(p[i * channels + c]);
            mono_[i] = static_cast<float>(sum / channels);
        }
        pushMono(mono_.data(), n, out);
    }
}

void StreamEncoder::pushMono(const float* mono, size_t count, std::string& out) {
    if (src_) {
        resample(mono, count, false, out);
        return;
    }
    pcm_.resize(count);
    for (size_t i = 0; i < count; ++i) pcm_[i] = toSample(mono[i]);
    pushPcm(pcm_.data(), count, out);
}

void StreamEncoder::resample(const float* mono, size_t count, bool last, std::string& out) {
    const double ratio = static_cast<double>(TargetRate) / static_cast<double>(samplerate_);
    resampled_.resize(static_cast<size_t>(std::ceil(static_cast<double>(count) * ratio)) + 64);
    SRC_DATA d{};
    d.src_ratio = ratio;
    d.end_of_input = last ? 1 : 0;
    size_t used = 0;
    // Feed until the chunk is consumed; at the end, until the resampler gives nothing more.
    for (;;) {
        d.data_in = mono + used;
        d.input_frames = static_cast<long>(count - used);
        d.data_out = resampled_.data();
        d.output_frames = static_cast<long>(resampled_.size());
        const int rc = src_process(src_, &d);
        if (rc != 0)
            throw std::runtime_error(std::string("resampling failed: ") + src_strerror(rc));
        used += static_cast<size_t>(d.input_frames_used);
        const size_t got = static_cast<size_t>(d.output_frames_gen);
        pcm_.resize(got);
        for (size_t i = 0; i < got; ++i) pcm_[i] = toSample(resampled_[i]);
        pushPcm(pcm_.data(), got, out);
        if (used >= count && (!last || got == 0)) break;
    }
}

void StreamEncoder::pushPcm(const int16_t* pcm, size_t count, std::string& out) {
    if (flushed_) throw InputError("the encoder was flushed; start a new Encoder");
    size_t i = 0;
    uint8_t frame[FrameBytes];
    if (pendingCount_ > 0) {
        while (i < count && pendingCount_ < FrameSamples) pending_[pendingCount_++] = pcm[i++];
        if (pendingCount_ < FrameSamples) return;
        codec_.encodeFrame(pending_, frame, 50);
        out.append(reinterpret_cast<const char*>(frame), FrameBytes);
        pendingCount_ = 0;
    }
    out.reserve(out.size() + (count - i) / FrameSamples * FrameBytes);
    for (; i + FrameSamples <= count; i += FrameSamples) {
        codec_.encodeFrame(pcm + i, frame, 50);
        out.append(reinterpret_cast<const char*>(frame), FrameBytes);
    }
    while (i < count) pending_[pendingCount_++] = pcm[i++];
}

void StreamEncoder::flush(std::string& out) {
    if (flushed_) return;
    // libsamplerate gives its tail only for a real (empty) input buffer, not for a null one.
    const float none = 0.0f;
    if (src_) resample(&none, 0, true, out);
    if (pendingCount_ > 0) {
        for (int i = pendingCount_; i < FrameSamples; ++i) pending_[i] = 0;
        uint8_t frame[FrameBytes];
        codec_.encodeFrame(pending_, frame, 50);
        out.append(reinterpret_cast<const char*>(frame), FrameBytes);
        pendingCount_ = 0;
    }
    flushed_ = true;
}

void StreamDecoder::decode(const uint8_t* data, size_t size, int16_t* pcm) {
    size_t i = 0;
    if (pendingCount_ > 0) {
        while (i < size && pendingCount_ < FrameBytes) pending_[pendingCount_++] = data[i++];
        if (pendingCount_ < FrameBytes) return;
        codec_.decodeFrame(pending_, pcm, 0);
        pcm += FrameSamples;
        pendingCount_ = 0;
    }
    for (; i + FrameBytes <= size; i += FrameBytes) {
        codec_.decodeFrame(data + i, pcm, 0);
        pcm += FrameSamples;
    }
    while (i < size) pending_[pendingCount_++] = data[i++];
}

void StreamDecoder::decodeLost(int16_t* out) {
    const uint8_t none[FrameBytes] = {};
    codec_.decodeFrame(none, out, 1);
}

size_t countBadFrames(const uint8_t* data, size_t size) {
    size_t bad = 0;
    for (size_t i = 0; i + FrameBytes <= size; i += FrameBytes) {
        if (unpackFrame(data + i, 0).badFrame != 0) ++bad;
    }
    return bad;
}

}  // namespace brimvox::py
