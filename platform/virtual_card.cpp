#include "virtual_card.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace brimvox {

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
    std::mutex mutex;
    bool haveInput = false;
    std::vector<int16_t> input;
    bool haveInputFile = false;
    std::string inputFile;
    bool haveOutputFile = false;
    std::string outputFile;
    bool haveSpeed = false;
    double speed = 1.0;
    VirtualFaults faults[2];  // [0] output, [1] input
    std::vector<int16_t> output;
    size_t inputPosition = 0;
};

Settings& settings() {
    static Settings s;
    return s;
}

std::string envText(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

double parseSpeed(const std::string& text) {
    if (text.empty()) return 1.0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !std::isfinite(v) || v <= 0.0) return 1.0;
    return std::min(std::max(v, 0.01), 1000.0);
}

class VirtualStream : public PcmBackend {
  public:
    VirtualStream(double clockSpeed, std::vector<int16_t> signal, SNDFILE* file, uint32_t holdDelay)
        : speed(clockSpeed), input(std::move(signal)), out(file), holdDelayMs(holdDelay) {}
    ~VirtualStream() override {
        if (out) sf_close(out);
    }

    bool write(const int16_t* samples, size_t count) override {
        pace(count);
        if (out) sf_write_short(out, samples, static_cast<sf_count_t>(count));
        Settings& s = settings();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.output.insert(s.output.end(), samples, samples + count);
        return true;
    }

    bool read(int16_t* samples, size_t count) override {
        pace(count);
        for (size_t i = 0; i < count; ++i) {
            samples[i] = position < input.size() ? input[position] : 0;
            ++position;
        }
        Settings& s = settings();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.inputPosition = position;
        return true;
    }

    size_t delay() override { return 0; }
    void drop() override { clockRunning = false; }
    void hold(bool) override {
        if (holdDelayMs) std::this_thread::sleep_for(std::chrono::milliseconds(holdDelayMs));
        clockRunning = false;
    }

  private:
    // Blocks until count samples' worth of card time has passed since the previous block.
    void pace(size_t count) {
        const Clock::time_point now = Clock::now();
        if (!clockRunning || next + std::chrono::milliseconds(100) < now) next = now;
        clockRunning = true;
        next += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(count) / 8000.0 / speed));
        std::this_thread::sleep_until(next);
    }

    double speed;
    std::vector<int16_t> input;
    SNDFILE* out;
    size_t position = 0;
    bool clockRunning = false;
    Clock::time_point next;
    uint32_t holdDelayMs;
};

}  // namespace

bool loadSpeechFile(const std::string& path, std::vector<int16_t>& samples, std::string& message) {
    samples.clear();
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        // Not a format libsndfile knows: raw 16-bit little-endian 8 kHz mono.
        FILE* raw = std::fopen(path.c_str(), "rb");
        if (!raw) {
            message = "cannot open the microphone file " + path;
            return false;
        }
        unsigned char pair[2];
        while (std::fread(pair, 1, 2, raw) == 2)
            samples.push_back(static_cast<int16_t>(pair[0] | (pair[1] << 8)));
        std::fclose(raw);
        return true;
    }
    const int channels = info.channels;
    if (info.samplerate == 8000 && channels == 1) {
        samples.resize(static_cast<size_t>(info.frames));
        sf_count_t got = sf_readf_short(f, samples.data(), info.frames);
        samples.resize(static_cast<size_t>(std::max<sf_count_t>(got, 0)));
        sf_close(f);
        return true;
    }
    if (channels < 1 || info.samplerate < 1 || info.frames < 0) {
        sf_close(f);
        message = "unusable sound file " + path;
        return false;
    }
    std::vector<float> interleaved(static_cast<size_t>(info.frames) * channels);
    sf_count_t got = sf_readf_float(f, interleaved.data(), info.frames);
    sf_close(f);
    std::vector<float> mono(static_cast<size_t>(std::max<sf_count_t>(got, 0)));
    for (size_t i = 0; i < mono.size(); ++i) {
        float sum = 0.0f;
        for (int c = 0; c < channels; ++c) sum += interleaved[i * channels + c];
        mono[i] = sum / static_cast<float>(channels);
    }
    std::vector<float> converted;
    if (info.samplerate == 8000) {
        converted = std::move(mono);
    } else {
        const double ratio = 8000.0 / info.samplerate;
        converted.resize(static_cast<size_t>(std::ceil(static_cast<double>(mono.size()) * ratio)) +
                         16);
        SRC_DATA data{};
        data.data_in = mono.data();
        data.input_frames = static_cast<long>(mono.size());
        data.data_out = converted.data();
        data.output_frames = static_cast<long>(converted.size());
        data.src_ratio = ratio;
        int rc = src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1);
        if (rc != 0) {
            message = std::string("cannot convert the microphone file: ") + src_strerror(rc);
            return false;
        }
        converted.resize(static_cast<size_t>(data.output_frames_gen));
    }
    samples.resize(converted.size());
    for (size_t i = 0; i < converted.size(); ++i) {
        double v = std::round(static_cast<double>(converted[i]) * 32768.0);
        samples[i] = static_cast<int16_t>(std::min(std::max(v, -32768.0), 32767.0));
    }
    return true;
}

void VirtualCard::setInput(std::vector<int16_t> samples) {
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.haveInput = true;
    s.input = std::move(samples);
}

void VirtualCard::setInputFile(const std::string& path) {
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.haveInput = false;
    s.haveInputFile = true;
    s.inputFile = path;
}

void VirtualCard::setOutputFile(const std::string& path) {
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.haveOutputFile = true;
    s.outputFile = path;
}

void VirtualCard::setSpeed(double speed) {
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.haveSpeed = true;
    s.speed = std::min(std::max(speed, 0.01), 1000.0);
}

void VirtualCard::setFaults(bool capture, const VirtualFaults& faults) {
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.faults[capture ? 1 : 0] = faults;
}

void VirtualCard::resetAll() {
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.haveInput = s.haveInputFile = s.haveOutputFile = s.haveSpeed = false;
    s.input.clear();
    s.faults[0] = s.faults[1] = VirtualFaults{};
    s.output.clear();
    s.inputPosition = 0;
}

std::vector<int16_t> VirtualCard::output() {
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.output;
}

size_t VirtualCard::inputPosition() {
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.inputPosition;
}

VirtualFaults VirtualCard::faults(bool capture) {
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.faults[capture ? 1 : 0];
}

std::unique_ptr<PcmBackend> VirtualCard::open(bool capture, MMRESULT& result) {
    Settings& s = settings();
    std::unique_lock<std::mutex> lock(s.mutex);
    const double speed = s.haveSpeed ? s.speed : parseSpeed(envText("BRIMVOX_AUDIO_SPEED"));
    const uint32_t holdDelay = s.faults[capture ? 1 : 0].holdDelayMs;
    result = MMSYSERR_NOERROR;
    if (capture) {
        std::vector<int16_t> signal;
        if (s.haveInput) {
            signal = s.input;
        } else {
            const std::string path = s.haveInputFile ? s.inputFile : envText("BRIMVOX_AUDIO_IN");
            if (!path.empty()) {
                std::string message;
                lock.unlock();
                if (!loadSpeechFile(path, signal, message)) {
                    // The wave API has only result codes; say which file is wrong where a user
                    // of the virtual card looks.
                    std::fprintf(stderr, "brimvox: virtual sound card: %s\n", message.c_str());
                    result = MMSYSERR_NODRIVER;
                    return nullptr;
                }
                lock.lock();
            }
        }
        s.inputPosition = 0;
        return std::make_unique<VirtualStream>(speed, std::move(signal), nullptr, holdDelay);
    }
    s.output.clear();
    const std::string path = s.haveOutputFile ? s.outputFile : envText("BRIMVOX_AUDIO_OUT");
    SNDFILE* out = nullptr;
    if (!path.empty()) {
        SF_INFO info{};
        info.samplerate = 8000;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        out = sf_open(path.c_str(), SFM_WRITE, &info);
        if (!out) {
            std::fprintf(stderr, "brimvox: virtual sound card: cannot create %s: %s\n",
                         path.c_str(), sf_strerror(nullptr));
            result = MMSYSERR_ERROR;
            return nullptr;
        }
    }
    return std::make_unique<VirtualStream>(speed, std::vector<int16_t>(), out, holdDelay);
}

}  // namespace brimvox
