#include "virtual_card.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "pcm_device.h"
#include "sound_reader.h"
#include "sync.h"

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
    size_t transferCalls = 0;
    int openStreams = 0;
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

constexpr size_t OutputBufferSamples = 1600;  // 200 ms, full before the output starts
constexpr size_t InputLagSamples = 800;       // a reader this far behind loses no samples

class VirtualStream : public PcmBackend {
  public:
    VirtualStream(bool input, double clockSpeed, std::vector<int16_t> signal, SNDFILE* file,
                  const VirtualFaults& f)
        : capture(input), speed(clockSpeed), samples(std::move(signal)), out(file), faults(f) {
        std::lock_guard<std::mutex> lock(settings().mutex);
        ++settings().openStreams;
    }
    ~VirtualStream() override {
        stuck();
        if (out) sf_close(out);
        std::lock_guard<std::mutex> lock(settings().mutex);
        --settings().openStreams;
    }

    long write(const int16_t* data, size_t count, int waitMs) override {
        size_t allowed = 0;
        if (const long f = enter(count, waitMs, allowed)) return f;
        if (allowed == 0) return 0;
        advance();
        if (queued.size() >= OutputBufferSamples) {
            // Full: wait for the clock to make room.
            sleepFor(std::min<double>(waitMs, running ? 1000.0 / (8000.0 * speed) + 1 : waitMs));
            advance();
            if (queued.size() >= OutputBufferSamples) return 0;
        }
        const size_t take = std::min(allowed, OutputBufferSamples - queued.size());
        queued.insert(queued.end(), data, data + take);
        position += take;
        if (!running && !paused && queued.size() >= OutputBufferSamples) startClock();
        return static_cast<long>(take);
    }

    long read(int16_t* data, size_t count, int waitMs) override {
        size_t allowed = 0;
        if (const long f = enter(count, waitMs, allowed)) return f;
        if (allowed == 0) return 0;
        if (!running) startClock();
        size_t due = dueSamples();
        if (due == 0) {
            sleepFor(std::min<double>(waitMs, 1000.0 / (8000.0 * speed) + 1));
            due = dueSamples();
            if (due == 0) return 0;
        }
        if (due > InputLagSamples) {
            // Far behind: the card's clock waits for the reader instead of losing samples.
            clockStart = Clock::now();
            consumed = 0;
            due = allowed;
        }
        const size_t take = std::min(allowed, due);
        for (size_t i = 0; i < take; ++i) {
            data[i] = position < samples.size() ? samples[position] : 0;
            ++position;
        }
        consumed += take;
        std::lock_guard<std::mutex> lock(settings().mutex);
        settings().inputPosition = position;
        return static_cast<long>(take);
    }

    size_t delay() override {
        if (capture) return 0;
        advance();
        if (!running && !paused && !queued.empty()) startClock();
        return queued.size();
    }

    void drop() override {
        stuck();
        if (!capture) advance();
        queued.clear();
        running = paused = false;
    }

    bool hold(bool on) override {
        if (faults.holdDelayMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(faults.holdDelayMs));
        if (capture) {
            if (on) running = false;  // input stops; the next read starts it again
            return true;
        }
        if (on && faults.noPause) return false;
        if (on == paused) return true;
        advance();
        paused = on;
        if (!on && running) startClock();  // the clock goes on from here
        return true;
    }

    bool resume() override { return position < faults.suspendAfter; }

  private:
    // Applies the transfer faults; a non-zero result is what the transfer returns.
    long enter(size_t count, int waitMs, size_t& allowed) {
        {
            std::lock_guard<std::mutex> lock(settings().mutex);
            ++settings().transferCalls;
        }
        if (position >= faults.goneAfter) return -ENODEV;
        if (position >= faults.suspendAfter) return -ESTRPIPE;
        if (faults.zeroReturn) return 0;
        if (position >= faults.stallAfter) {
            sleepFor(waitMs);
            return 0;
        }
        allowed = count;
        if (faults.shortTransfer) allowed = std::min(allowed, faults.shortTransfer);
        for (size_t limit : {faults.stallAfter, faults.goneAfter, faults.suspendAfter})
            allowed = std::min(allowed, limit - position);
        return 0;
    }

    void startClock() {
        running = true;
        clockStart = Clock::now();
        consumed = 0;
    }

    // Samples the clock has made due since it started, less those already consumed.
    size_t dueSamples() const {
        const double seconds = std::chrono::duration<double>(Clock::now() - clockStart).count();
        const double due = seconds * 8000.0 * speed;
        return due > static_cast<double>(consumed) ? static_cast<size_t>(due) - consumed : 0;
    }

    // Output: moves what the clock has played from the buffer to the speaker; a buffer that ran
    // dry stops the clock (an underrun) until it is full again.
    void advance() {
        if (!running || paused) return;
        const size_t due = dueSamples();
        const size_t n = std::min(due, queued.size());
        if (n > 0) {
            if (out) sf_write_short(out, queued.data(), static_cast<sf_count_t>(n));
            {
                std::lock_guard<std::mutex> lock(settings().mutex);
                settings().output.insert(settings().output.end(), queued.begin(),
                                         queued.begin() + static_cast<long>(n));
            }
            queued.erase(queued.begin(), queued.begin() + static_cast<long>(n));
            consumed += n;
        }
        if (queued.empty() && due > n) running = false;
    }

    void stuck() const {
        if (faults.stuckMs) std::this_thread::sleep_for(std::chrono::milliseconds(faults.stuckMs));
    }

    static void sleepFor(double ms) {
        if (ms > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
    }

    bool capture;
    double speed;
    std::vector<int16_t> samples;  // input: the microphone's signal
    SNDFILE* out;
    VirtualFaults faults;
    std::vector<int16_t> queued;  // output: written, not yet played
    size_t position = 0;          // samples transferred since open
    bool running = false;         // the clock runs
    bool paused = false;          // output: held by a pause
    Clock::time_point clockStart;
    size_t consumed = 0;  // samples the clock has consumed since clockStart
};

}  // namespace

bool loadSpeechFile(const std::string& path, std::vector<int16_t>& samples, std::string& message) {
    samples.clear();
    SoundReader reader;
    if (!reader.openFile(path, path, SoundReader::Kind::SoundFileOrRaw, message)) return false;
    int16_t block[4096];
    while (const size_t got = reader.read(block, sizeof block / sizeof block[0])) {
        samples.insert(samples.end(), block, block + got);
    }
    if (reader.failed()) {
        message = reader.error();
        return false;
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
    s.transferCalls = 0;
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

size_t VirtualCard::transferCalls() {
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.transferCalls;
}

int VirtualCard::openStreams() {
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.openStreams;
}

VirtualFaults VirtualCard::faults(bool capture) {
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.faults[capture ? 1 : 0];
}

std::unique_ptr<PcmBackend> VirtualCard::open(bool capture, int& error) {
    Settings& s = settings();
    std::unique_lock<std::mutex> lock(s.mutex);
    const double speed = s.haveSpeed ? s.speed : parseSpeed(envText("BRIMVOX_AUDIO_SPEED"));
    const VirtualFaults faults = s.faults[capture ? 1 : 0];
    error = 0;
    if (faults.openDelayMs) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(faults.openDelayMs));
        lock.lock();
    }
    if (faults.openError) {
        error = faults.openError;
        return nullptr;
    }
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
                    error = -ENOENT;
                    return nullptr;
                }
                lock.lock();
            }
        }
        s.inputPosition = 0;
        lock.unlock();
        return std::make_unique<VirtualStream>(true, speed, std::move(signal), nullptr, faults);
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
            error = -EIO;
            return nullptr;
        }
    }
    lock.unlock();
    return std::make_unique<VirtualStream>(false, speed, std::vector<int16_t>(), out, faults);
}

namespace {

// The card's device: a PcmSoundDevice over the card's streams, with the faults of its direction
// applied to the device's calls.
class VirtualDevice : public SoundDevice {
  public:
    explicit VirtualDevice(Direction d)
        : capture(d == Direction::Capture), inner(d, VirtualCard::open, [](bool input) {
              const VirtualFaults f = VirtualCard::faults(input);
              return !f.noDevice && deviceExistsAfter(f.openError);
          }) {}

    DeviceResult open(const SoundFormat& format) override {
        const VirtualFaults f = faults();
        if (f.noDevice) return DeviceResult::NoDevice;
        if (f.openResult != DeviceResult::Ok) return f.openResult;
        transfers = 0;
        blocks = 0;
        return inner.open(format);
    }
    DeviceResult start() override {
        const DeviceResult fault = faults().startResult;
        if (fault != DeviceResult::Ok) return fault;
        return inner.start();
    }
    DeviceResult read(int16_t* block, size_t count, uint32_t waitMs, size_t& got) override {
        got = 0;
        const VirtualFaults f = faults();
        if (f.transferResult != DeviceResult::Ok && transfers >= f.transferAfter) {
            if (f.transferResult != DeviceResult::NoMemory) return f.transferResult;
            sleepMs(waitMs);  // refused silently: nothing comes
            return DeviceResult::Ok;
        }
        // An injected short return hands every n-th block back half filled.
        const bool shortBlock = f.shortBufferEvery > 0 && (blocks + 1) % f.shortBufferEvery == 0;
        const DeviceResult r = inner.read(block, shortBlock ? count / 2 : count, waitMs, got);
        if (got > 0) {
            ++blocks;
            ++transfers;
        }
        return r;
    }
    DeviceResult write(const int16_t* block, size_t count, uint32_t waitMs, bool& queued) override {
        queued = false;
        const VirtualFaults f = faults();
        if (f.transferResult != DeviceResult::Ok && transfers >= f.transferAfter)
            return f.transferResult;
        const DeviceResult r = inner.write(block, count, waitMs, queued);
        if (queued) ++transfers;
        return r;
    }
    DeviceResult waitPlayed(size_t target, uint32_t waitMs, size_t& inFlight) override {
        return inner.waitPlayed(target, waitMs, inFlight);
    }
    DeviceResult pause(bool on) override { return inner.pause(on); }
    DeviceResult reset() override {
        const DeviceResult r = inner.reset();
        // An injected reset fault is reported after the reset.
        return r != DeviceResult::Ok ? r : faults().resetResult;
    }
    DeviceResult close() override {
        inner.close();
        // Closing resets the device first: a reset fault shows there too.
        const VirtualFaults f = faults();
        return f.resetResult != DeviceResult::Ok ? f.resetResult : f.closeResult;
    }
    size_t depth() const override { return inner.depth(); }

  private:
    VirtualFaults faults() const { return VirtualCard::faults(capture); }

    const bool capture;
    PcmSoundDevice inner;
    int transfers = 0;  // blocks moved since open
    int blocks = 0;     // capture: blocks handed back since open
};

}  // namespace

std::unique_ptr<SoundDevice> VirtualCard::createDevice(Direction direction) {
    return std::make_unique<VirtualDevice>(direction);
}

}  // namespace brimvox
