#include "pcm_device.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "skeleton_device.h"
#include "sync.h"
#include "virtual_card.h"

namespace brimvox {

namespace {

constexpr size_t ChunkSamples = 80;        // 10 ms
constexpr int TransferWaitMs = 40;         // longest wait of one transfer for the device
constexpr uint32_t OpenLimitMs = 2500;     // an open that takes longer fails
constexpr uint32_t CloseLimitMs = 300;     // a close does not wait longer for the stream
constexpr uint32_t SuspendLimitMs = 1000;  // a suspended device that stays so has failed
constexpr uint32_t ProbeLimitMs = 1500;    // looking for a device takes at most this long

// Runs work() on a helper thread and waits for it at most limitMs. A helper that finishes in time
// is joined, so no code of the library runs on it afterwards; one that outlives the wait is left
// to finish on its own and calls `late` with the result nobody takes. False if the wait timed out.
template <class Result>
bool boundedCall(std::function<Result()> work, uint32_t limitMs, Result& result,
                 std::function<void(Result&)> late) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool abandoned = false;
        Result result{};
    };
    auto shared = std::make_shared<Shared>();
    std::thread helper;
    try {
        helper = std::thread([shared, work, late] {
            Result r = work();
            std::unique_lock<std::mutex> lock(shared->mutex);
            if (shared->abandoned) {
                lock.unlock();
                if (late) late(r);
                return;
            }
            shared->result = std::move(r);
            shared->finished = true;
            shared->done.notify_all();
        });
    } catch (const std::system_error&) {
        result = work();
        return true;
    }
    std::unique_lock<std::mutex> lock(shared->mutex);
    if (!shared->done.wait_for(lock, std::chrono::milliseconds(limitMs),
                               [&] { return shared->finished; })) {
        shared->abandoned = true;
        lock.unlock();
        helper.detach();
        return false;
    }
    result = std::move(shared->result);
    lock.unlock();
    helper.join();
    return true;
}

struct Opened {
    std::unique_ptr<PcmBackend> stream;
    int error = 0;
};

std::atomic<int> backendOverride{-1};

}  // namespace

PcmSoundDevice::PcmSoundDevice(Direction direction, Opener open,
                               std::function<bool(bool)> isPresent)
    : capture(direction == Direction::Capture),
      opener(std::move(open)),
      present(std::move(isPresent)) {}

PcmSoundDevice::~PcmSoundDevice() {
    close();
}

DeviceResult PcmSoundDevice::failureResult(long error) {
    switch (-error) {
        case ENODEV:
        case ENXIO:
        case ENOENT:
        case ENOTCONN:
        case ECONNRESET:
        case EBADFD:
        case EIO:
            return DeviceResult::NoDriver;  // the device or its sound server is gone
        default:
            return DeviceResult::Failed;
    }
}

DeviceResult PcmSoundDevice::openResult(int error) {
    switch (-error) {
        case EBUSY:
        case EAGAIN:
            return DeviceResult::InUse;
        case ENOMEM:
            return DeviceResult::NoMemory;
        case EINVAL:
            return DeviceResult::BadFormat;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return DeviceResult::NoDriver;
        default:
            return DeviceResult::Failed;
    }
}

DeviceResult PcmSoundDevice::open(const SoundFormat& format) {
    if (format.sampleRate != 8000 || format.channels != 1 || format.bitsPerSample != 16)
        return DeviceResult::BadFormat;
    if (!present(capture)) return DeviceResult::NoDevice;
    Opened opened;
    const bool input = capture;
    Opener open = opener;
    const bool inTime = boundedCall<Opened>(
        [open, input] {
            Opened o;
            o.stream = open(input, o.error);
            if (!o.stream && o.error == 0) o.error = -EIO;
            return o;
        },
        OpenLimitMs, opened, [](Opened& o) { o.stream.reset(); });
    // An open the sound system does not answer in time fails; its helper closes what it opens.
    if (!inTime) return DeviceResult::Failed;
    if (!opened.stream) return openResult(opened.error);
    stream = std::move(opened.stream);
    failure = DeviceResult::Ok;
    running = !capture;  // output plays at once; input waits for start
    held = !running;
    hardPaused = false;
    suspendedSince = 0;
    filled = 0;
    queue.clear();
    pending.clear();
    offset = 0;
    written = 0;
    return DeviceResult::Ok;
}

void PcmSoundDevice::syncHold() {
    const bool want = !running;
    if (want == held || !stream) return;
    held = want;
    const bool paused = stream->hold(want);
    hardPaused = want && paused;
}

void PcmSoundDevice::afterTransfer(long result, uint64_t startMs) {
    if (result == -ESTRPIPE) {
        const uint64_t now = monotonicMs();
        if (suspendedSince == 0) suspendedSince = now;
        if (now - suspendedSince > SuspendLimitMs) {
            failure = DeviceResult::Failed;
            return;
        }
        if (stream->resume()) {
            suspendedSince = 0;
            return;
        }
        sleepMs(20);
        return;
    }
    if (result < 0) {
        failure = failureResult(result);
        return;
    }
    suspendedSince = 0;
    // A transfer that gave up at once (a prepared or paused stream answers 0 without waiting)
    // must not make the thread spin.
    if (result == 0 && monotonicMs() - startMs < 2) sleepMs(10);
}

DeviceResult PcmSoundDevice::start() {
    if (!stream) return DeviceResult::InvalidHandle;
    if (failure != DeviceResult::Ok) return failure;
    running = true;
    syncHold();
    return DeviceResult::Ok;
}

DeviceResult PcmSoundDevice::read(int16_t* block, size_t count, uint32_t waitMs, size_t& got) {
    got = 0;
    if (!stream) return DeviceResult::InvalidHandle;
    const uint64_t deadline = monotonicMs() + waitMs;
    if (filling.size() < count) filling.resize(count);
    do {
        if (failure != DeviceResult::Ok) return failure;
        if (!running) {
            sleepMs(std::min<uint32_t>(waitMs, 10));
            return DeviceResult::Ok;
        }
        const size_t want = std::min(ChunkSamples, count - std::min(count, filled));
        const uint64_t startMs = monotonicMs();
        const long n = want > 0 ? stream->read(filling.data() + filled, want, TransferWaitMs) : 0;
        if (want > 0 && n <= 0) {
            afterTransfer(n, startMs);
            continue;
        }
        filled += static_cast<size_t>(n);
        if (filled >= count) {
            std::memcpy(block, filling.data(), count * sizeof(int16_t));
            filled = 0;
            got = count;
            return DeviceResult::Ok;
        }
    } while (monotonicMs() < deadline);
    return failure;
}

void PcmSoundDevice::pumpOutput(uint64_t deadline) {
    syncHold();
    bool acted = false;
    if (!pending.empty() && !hardPaused) {
        const size_t delay = stream->delay();
        const uint64_t heard = written > delay ? written - delay : 0;
        while (!pending.empty() && pending.front() <= heard) pending.pop_front();
        acted = true;
    }
    if (running && !queue.empty() && failure == DeviceResult::Ok) {
        const std::vector<int16_t>& b = queue.front();
        const size_t count = std::min(ChunkSamples, b.size() - std::min(b.size(), offset));
        long n = 0;
        const uint64_t startMs = monotonicMs();
        if (count > 0) {
            const uint64_t now = monotonicMs();
            const int wait = static_cast<int>(
                std::min<uint64_t>(TransferWaitMs, deadline > now ? deadline - now : 0));
            n = stream->write(b.data() + offset, count, wait);
            if (n > 0) written += static_cast<uint64_t>(n);
        }
        if (count > 0 && n <= 0) {
            afterTransfer(n, startMs);
            return;
        }
        offset += static_cast<size_t>(n);
        if (offset >= b.size()) {
            queue.pop_front();
            offset = 0;
            pending.push_back(written);
        }
        return;
    }
    // Nothing to write: let the device play on for a moment.
    const uint64_t now = monotonicMs();
    if (now < deadline)
        sleepMs(static_cast<uint32_t>(std::min<uint64_t>(acted ? 5 : 10, deadline - now)));
}

DeviceResult PcmSoundDevice::write(const int16_t* block, size_t count, uint32_t waitMs,
                                   bool& queued) {
    queued = false;
    size_t left = 0;
    const DeviceResult r = waitPlayed(depth() - 1, waitMs, left);
    if (r != DeviceResult::Ok) return r;
    if (left >= depth()) return DeviceResult::Ok;
    try {
        queue.emplace_back(block, block + count);
    } catch (const std::bad_alloc&) {
        return DeviceResult::NoMemory;
    }
    queued = true;
    // The first chunk goes out at once, so a short stream starts without waiting for a call.
    pumpOutput(monotonicMs());
    return failure;
}

DeviceResult PcmSoundDevice::waitPlayed(size_t target, uint32_t waitMs, size_t& left) {
    left = inFlight();
    if (!stream) return DeviceResult::InvalidHandle;
    const uint64_t deadline = monotonicMs() + waitMs;
    for (;;) {
        if (failure != DeviceResult::Ok) {
            // A failed device hands every block back.
            queue.clear();
            pending.clear();
            left = 0;
            return failure;
        }
        left = inFlight();
        if (left <= target || monotonicMs() >= deadline) return DeviceResult::Ok;
        pumpOutput(deadline);
    }
}

DeviceResult PcmSoundDevice::pause(bool on) {
    if (!stream) return DeviceResult::InvalidHandle;
    running = !on;
    syncHold();
    return DeviceResult::Ok;
}

DeviceResult PcmSoundDevice::reset() {
    if (!stream) return DeviceResult::InvalidHandle;
    if (capture) running = false;
    queue.clear();
    pending.clear();
    offset = 0;
    filled = 0;
    stream->drop();
    syncHold();
    return DeviceResult::Ok;
}

DeviceResult PcmSoundDevice::close() {
    if (!stream) return DeviceResult::Ok;
    queue.clear();
    pending.clear();
    filled = 0;
    // Closing drops what is buffered and may hang in a stalled sound server: a helper closes the
    // stream, waited for a bounded time only.
    // The holder is shared with the helper, and only the helper empties it.
    auto holder = std::make_shared<std::unique_ptr<PcmBackend>>(std::move(stream));
    bool closed = false;
    boundedCall<bool>(
        [holder] {
            holder->reset();
            return true;
        },
        CloseLimitMs, closed, nullptr);
    return DeviceResult::Ok;
}

void overrideSelectedBackend(AudioBackendKind kind) {
    backendOverride.store(static_cast<int>(kind));
}

AudioBackendKind selectedBackend() {
    const int chosen = backendOverride.load();
    if (chosen >= 0) return static_cast<AudioBackendKind>(chosen);
    const char* v = std::getenv("BRIMVOX_AUDIO");
    if (!v) return AudioBackendKind::Alsa;
    const std::string s(v);
    if (s == "virtual") return AudioBackendKind::Virtual;
    if (s == "none") return AudioBackendKind::None;
    return AudioBackendKind::Alsa;
}

namespace {

// Whether ALSA's default device exists in that direction. A device that does not answer in time
// is there but stalled: its open will tell.
bool alsaPresent(bool capture) {
    int error = -EBUSY;
    boundedCall<int>([capture] { return probeAlsaDevice(capture); }, ProbeLimitMs, error, nullptr);
    return deviceExistsAfter(error);
}

}  // namespace

std::unique_ptr<SoundDevice> createSoundDevice(Direction direction) {
    try {
        switch (selectedBackend()) {
            case AudioBackendKind::None:
                return std::make_unique<SkeletonSoundDevice>();
            case AudioBackendKind::Virtual:
                return VirtualCard::createDevice(direction);
            case AudioBackendKind::Alsa:
                break;
        }
        return std::make_unique<PcmSoundDevice>(direction, openAlsaStream, alsaPresent);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace brimvox
