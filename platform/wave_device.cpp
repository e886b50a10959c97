// The SoundDevice of Windows: the system's waveform API. This file owns the API's header
// contract: headers zero-filled before their first prepare, unprepared with the length they were
// prepared with and before the close; a header the driver has not handed back is never freed
// (it, its memory and the event the driver signals are left to the driver for good); a capture
// buffer handed back short is returned short, never padded. Every system call goes through
// waveCalls (wave_calls.h), which holds the system's functions unless a test stands in for them.
#ifdef _WIN32

#include <cstring>
#include <new>

#include "sound_device.h"
#include "sync.h"
#include "wave_calls.h"

namespace brimvox {

namespace {

constexpr int MaxBuffers = 4;

// Movable, shared global memory, locked while in use, as the waveform API has always been given
// its headers and buffers; zero-filled.
void* allocateWaveMemory(size_t bytes) {
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_SHARE | GMEM_ZEROINIT, bytes);
    if (!memory) return nullptr;
    void* block = GlobalLock(memory);
    if (!block) GlobalFree(memory);
    return block;
}

void freeWaveMemory(void* block) {
    if (!block) return;
    HGLOBAL memory = GlobalHandle(block);
    if (!memory) return;
    GlobalUnlock(memory);
    GlobalFree(memory);
}

// Whether the driver has handed the header back: done and no longer queued.
bool headerDone(const WAVEHDR* header) {
    const DWORD flags = __atomic_load_n(&header->dwFlags, __ATOMIC_ACQUIRE);
    return (flags & WHDR_DONE) && !(flags & WHDR_INQUEUE);
}

// What the driver may touch: the headers, their sample memory and the event it signals. Freed
// only when every header is back; otherwise left to the driver.
struct DriverShare {
    explicit DriverShare(bool capture) : event(!capture) {}
    Event event;  // capture: auto-reset, signalled per buffer; playback: manual-reset
    WAVEHDR* headers[MaxBuffers] = {};
    int16_t* data[MaxBuffers] = {};
    bool prepared[MaxBuffers] = {};
    bool queued[MaxBuffers] = {};  // with the driver: not free to fill

    ~DriverShare() {
        for (int i = 0; i < MaxBuffers; ++i) {
            waveCalls.freeMemory(headers[i]);
            waveCalls.freeMemory(data[i]);
        }
    }
};

class WaveSoundDevice : public SoundDevice {
  public:
    explicit WaveSoundDevice(Direction d)
        : capture(d == Direction::Capture),
          buffers(capture ? 4 : 2),
          bufferBytes(capture ? 1440 : 4800) {}
    ~WaveSoundDevice() override { close(); }

    DeviceResult open(const SoundFormat& format) override;
    DeviceResult start() override;
    DeviceResult read(int16_t* block, size_t count, uint32_t waitMs, size_t& got) override;
    DeviceResult write(const int16_t* block, size_t count, uint32_t waitMs, bool& queued) override;
    DeviceResult waitPlayed(size_t target, uint32_t waitMs, size_t& inFlight) override;
    DeviceResult pause(bool on) override;
    DeviceResult reset() override;
    DeviceResult close() override;
    size_t depth() const override { return static_cast<size_t>(buffers); }

  private:
    static DeviceResult result(MMRESULT r) { return static_cast<DeviceResult>(r); }
    // Marks header i free to fill if the driver has handed it back; true if it is free.
    bool isFree(int i);
    // Marks every buffer the driver has handed back as free; true if all are back.
    bool reclaim();
    // Capture: hands the listed buffers back to the driver, oldest first, up to the first
    // refusal. A refusal for want of memory is tried again later; any other is the driver's
    // failure, returned.
    MMRESULT requeue();

    const bool capture;
    const int buffers;
    const DWORD bufferBytes;
    DriverShare* share = nullptr;
    HWAVEIN in = nullptr;
    HWAVEOUT out = nullptr;
    int nextIndex = 0;  // capture: the buffer handed back next; playback: filled next
    int requeueList[MaxBuffers] = {};
    int requeueCount = 0;
};

DeviceResult WaveSoundDevice::open(const SoundFormat& f) {
    WAVEFORMATEX format{WAVE_FORMAT_PCM,
                        f.channels,
                        f.sampleRate,
                        f.sampleRate * f.channels * (f.bitsPerSample / 8u),
                        static_cast<WORD>(f.channels * (f.bitsPerSample / 8u)),
                        f.bitsPerSample,
                        0};
    share = new (std::nothrow) DriverShare(capture);
    if (!share) return DeviceResult::NoBufferMemory;
    // Without its event the device could neither learn of buffers nor be waited for.
    if (!share->event.valid()) return DeviceResult::NoMemory;
    MMRESULT r;
    if (capture) {
        if (waveCalls.inGetNumDevs() == 0) return DeviceResult::NoDevice;
        WAVEINCAPSA caps{};
        r = waveCalls.inGetDevCaps(WAVE_MAPPER, &caps, sizeof caps);
    } else {
        if (waveCalls.outGetNumDevs() == 0) return DeviceResult::NoDevice;
        WAVEOUTCAPSA caps{};
        r = waveCalls.outGetDevCaps(WAVE_MAPPER, &caps, sizeof caps);
    }
    if (r != MMSYSERR_NOERROR) return result(r);
    for (int i = 0; i < buffers; ++i) {
        // Zero-filled: flags 0 before the first prepare, as the API asks.
        share->headers[i] = static_cast<WAVEHDR*>(allocateWaveMemory(sizeof(WAVEHDR)));
        share->data[i] = static_cast<int16_t*>(allocateWaveMemory(bufferBytes));
        if (!share->headers[i] || !share->data[i]) return DeviceResult::NoBufferMemory;
        share->headers[i]->lpData = reinterpret_cast<char*>(share->data[i]);
        share->headers[i]->dwBufferLength = bufferBytes;
    }
    const auto callback = reinterpret_cast<DWORD_PTR>(share->event.callbackHandle());
    if (capture) {
        r = waveCalls.inOpen(&in, WAVE_MAPPER, &format, callback, 0, CALLBACK_EVENT);
        if (r != MMSYSERR_NOERROR) in = nullptr;
        return result(r);
    }
    r = waveCalls.outOpen(&out, WAVE_MAPPER, &format, callback, 0, CALLBACK_EVENT);
    if (r != MMSYSERR_NOERROR) {
        out = nullptr;
        return result(r);
    }
    for (int i = 0; i < buffers; ++i) {
        r = waveCalls.outPrepareHeader(out, share->headers[i], sizeof(WAVEHDR));
        if (r != MMSYSERR_NOERROR) return result(r);
        share->prepared[i] = true;
    }
    nextIndex = 0;
    share->event.set();
    return DeviceResult::Ok;
}

bool WaveSoundDevice::isFree(int i) {
    if (!share->queued[i]) return true;
    if (!headerDone(share->headers[i])) return false;
    share->queued[i] = false;
    return true;
}

bool WaveSoundDevice::reclaim() {
    bool all = true;
    for (int i = 0; i < buffers; ++i)
        if (share->headers[i] && !isFree(i)) all = false;
    return all;
}

DeviceResult WaveSoundDevice::start() {
    if (!in) return DeviceResult::InvalidHandle;
    requeueCount = 0;
    nextIndex = 0;
    share->event.reset();
    MMRESULT r = waveCalls.inStart(in);
    for (int i = 0; r == MMSYSERR_NOERROR && i < buffers; ++i) {
        WAVEHDR* h = share->headers[i];
        h->dwBytesRecorded = 0;
        if (!share->prepared[i]) {
            r = waveCalls.inPrepareHeader(in, h, sizeof(WAVEHDR));
            if (r != MMSYSERR_NOERROR) break;
            share->prepared[i] = true;
        }
        r = waveCalls.inAddBuffer(in, h, sizeof(WAVEHDR));
        if (r == MMSYSERR_NOERROR) share->queued[i] = true;
    }
    return result(r);
}

MMRESULT WaveSoundDevice::requeue() {
    int kept = 0;
    MMRESULT failure = MMSYSERR_NOERROR;
    for (int k = 0; k < requeueCount; ++k) {
        const int i = requeueList[k];
        if (kept == 0 && failure == MMSYSERR_NOERROR) {
            share->headers[i]->dwBytesRecorded = 0;
            const MMRESULT r = waveCalls.inAddBuffer(in, share->headers[i], sizeof(WAVEHDR));
            if (r == MMSYSERR_NOERROR) {
                share->queued[i] = true;
                continue;
            }
            if (r != MMSYSERR_NOMEM) failure = r;
        }
        requeueList[kept++] = i;
    }
    requeueCount = kept;
    return failure;
}

DeviceResult WaveSoundDevice::read(int16_t* block, size_t count, uint32_t waitMs, size_t& got) {
    got = 0;
    if (!in) return DeviceResult::InvalidHandle;
    const int i = nextIndex;
    auto ready = [this, i] { return share->queued[i] && headerDone(share->headers[i]); };
    // Bounded, so that a pause or stop reaches the engine even when no buffer completes (for
    // example when the driver has refused every buffer handed back to it).
    if (!ready()) share->event.wait(waitMs);
    if (ready()) {
        WAVEHDR* h = share->headers[i];
        share->queued[i] = false;  // back from the driver: free to fill
        const size_t bytes = h->dwBytesRecorded < bufferBytes ? h->dwBytesRecorded : bufferBytes;
        if (bytes >= count * sizeof(int16_t)) {
            std::memcpy(block, share->data[i], count * sizeof(int16_t));
            got = count;
        } else {
            // Handed back short (a driver's odd return, or a failing device: the re-queue below
            // tells how); its samples are not used.
            got = bytes / sizeof(int16_t);
        }
        requeueList[requeueCount++] = i;
        nextIndex = (i + 1) % buffers;
    }
    // Buffers refused for want of memory are offered again after each wait.
    return result(requeue());
}

DeviceResult WaveSoundDevice::write(const int16_t* block, size_t count, uint32_t waitMs,
                                    bool& queued) {
    queued = false;
    if (!out) return DeviceResult::InvalidHandle;
    const int i = nextIndex;
    const uint64_t start = monotonicMs();
    // Never refill a buffer the driver still holds.
    while (!isFree(i)) {
        const uint64_t spent = monotonicMs() - start;
        if (spent >= waitMs) return DeviceResult::Ok;
        share->event.wait(static_cast<uint32_t>(waitMs - spent < 50 ? waitMs - spent : 50));
        share->event.reset();
    }
    const size_t bytes = count * sizeof(int16_t);
    if (bytes > bufferBytes) return DeviceResult::InvalidParameter;
    WAVEHDR* h = share->headers[i];
    std::memcpy(share->data[i], block, bytes);
    h->dwBufferLength = static_cast<DWORD>(bytes);
    const MMRESULT r = waveCalls.outWrite(out, h, sizeof(WAVEHDR));
    if (r != MMSYSERR_NOERROR) return result(r);
    share->queued[i] = true;
    queued = true;
    nextIndex = 1 - i;
    return DeviceResult::Ok;
}

DeviceResult WaveSoundDevice::waitPlayed(size_t target, uint32_t waitMs, size_t& inFlight) {
    inFlight = 0;
    if (!out) return DeviceResult::InvalidHandle;
    const uint64_t start = monotonicMs();
    for (;;) {
        inFlight = 0;
        for (int i = 0; i < buffers; ++i)
            if (!isFree(i)) ++inFlight;
        const uint64_t spent = monotonicMs() - start;
        if (inFlight <= target || spent >= waitMs) return DeviceResult::Ok;
        share->event.wait(static_cast<uint32_t>(waitMs - spent < 50 ? waitMs - spent : 50));
        share->event.reset();
    }
}

DeviceResult WaveSoundDevice::pause(bool on) {
    if (!out) return DeviceResult::InvalidHandle;
    return result(on ? waveCalls.outPause(out) : waveCalls.outRestart(out));
}

DeviceResult WaveSoundDevice::reset() {
    if (capture) {
        if (!in) return DeviceResult::InvalidHandle;
        const MMRESULT r = waveCalls.inReset(in);
        // Buffers the driver will not give back are never refilled or freed.
        if (!reclaim()) return r != MMSYSERR_NOERROR ? result(r) : DeviceResult::Failed;
        return result(r);
    }
    if (!out) return DeviceResult::InvalidHandle;
    return result(waveCalls.outReset(out));
}

DeviceResult WaveSoundDevice::close() {
    if (!share) return DeviceResult::Ok;
    MMRESULT error = MMSYSERR_NOERROR;
    bool held = false;
    if (in || out) {
        error = capture ? waveCalls.inReset(in) : waveCalls.outReset(out);
        const bool back = reclaim();
        for (int i = 0; back && i < buffers; ++i) {
            if (!share->prepared[i]) continue;
            WAVEHDR* h = share->headers[i];
            h->dwBufferLength = bufferBytes;  // as it was prepared
            const MMRESULT r = capture ? waveCalls.inUnprepareHeader(in, h, sizeof(WAVEHDR))
                                       : waveCalls.outUnprepareHeader(out, h, sizeof(WAVEHDR));
            if (r == MMSYSERR_NOERROR) {
                share->prepared[i] = false;
            } else if (error == MMSYSERR_NOERROR) {
                error = r;
            }
        }
        for (int i = 0; i < buffers; ++i)
            if (share->queued[i] || share->prepared[i]) held = true;
        const MMRESULT r = capture ? waveCalls.inClose(in) : waveCalls.outClose(out);
        if (error == MMSYSERR_NOERROR) error = r;
        // Buffers kept by a driver that claims success are still the driver's failure.
        if (held && error == MMSYSERR_NOERROR) error = WAVERR_STILLPLAYING;
        in = nullptr;
        out = nullptr;
    }
    // A driver that kept buffers may still write into them and signal the event: left to it.
    if (!held) delete share;
    share = nullptr;
    return result(error);
}

}  // namespace

const WaveCalls& systemWaveCalls() {
    static const WaveCalls calls{
        waveInGetNumDevs,      waveInGetDevCapsA,      waveInOpen,         waveInPrepareHeader,
        waveInUnprepareHeader, waveInAddBuffer,        waveInStart,        waveInReset,
        waveInClose,           waveOutGetNumDevs,      waveOutGetDevCapsA, waveOutOpen,
        waveOutPrepareHeader,  waveOutUnprepareHeader, waveOutWrite,       waveOutPause,
        waveOutRestart,        waveOutReset,           waveOutClose,       freeWaveMemory,
    };
    return calls;
}

WaveCalls waveCalls = systemWaveCalls();

std::unique_ptr<SoundDevice> createSoundDevice(Direction direction) {
    return std::unique_ptr<SoundDevice>(new (std::nothrow) WaveSoundDevice(direction));
}

}  // namespace brimvox

#endif
