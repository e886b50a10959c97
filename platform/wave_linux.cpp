// The waveform-audio API over a PcmBackend. Each open device has a worker thread that moves the
// queued buffers through the backend in 10 ms chunks and marks them done; the API calls only
// change the queue and the device's state under the device's lock, so a buffer is never touched
// by the worker after a reset or close has handed it back.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "pcm_backend.h"
#include "sync.h"
#include "virtual_card.h"
#include "wave_api.h"

namespace brimvox {

struct WaveDeviceHandle {
    bool capture = false;
    bool isVirtual = false;
    std::unique_ptr<PcmBackend> backend;
    Event* callback = nullptr;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<WAVEHDR*> queue;  // buffers waiting to be played or filled, current first
    std::deque<std::pair<WAVEHDR*, uint64_t>> pending;  // output: written, heard at position
    DWORD offset = 0;      // output: bytes of the current buffer already written
    bool running = false;  // output: not paused; input: started
    bool held = false;     // hold state last passed to the backend
    bool closing = false;
    bool dropRequested = false;
    bool failed = false;      // the backend reported a failure
    uint64_t generation = 0;  // advanced by every reset
    uint64_t written = 0;     // samples written to the backend since open
    int addCount = 0;
    std::thread worker;
};

namespace {

constexpr size_t ChunkSamples = 80;  // 10 ms

// Serialises the API calls and guards the set of open handles, so a call on a handle that
// another thread is closing finds it invalid instead of using freed memory.
std::mutex& apiMutex() {
    static std::mutex m;
    return m;
}
std::set<WaveDeviceHandle*>& openHandles() {
    static std::set<WaveDeviceHandle*> s;
    return s;
}

bool valid(WaveDeviceHandle* d, bool capture) {
    return d && openHandles().count(d) != 0 && d->capture == capture;
}

void signal(WaveDeviceHandle* d) {
    if (d->callback) d->callback->set();
}

// The done flag is stored with release ordering: a caller that sees it (with an acquire load)
// also sees the header's recorded bytes and data.
void markDone(WaveDeviceHandle* d, WAVEHDR* h) {
    __atomic_store_n(&h->dwFlags, (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE, __ATOMIC_RELEASE);
    signal(d);
}

// Hands every queued buffer back as done. Caller holds the device lock.
void returnAll(WaveDeviceHandle* d) {
    for (WAVEHDR* h : d->queue) markDone(d, h);
    for (auto& p : d->pending) markDone(d, p.first);
    d->queue.clear();
    d->pending.clear();
    d->offset = 0;
    ++d->generation;
}

// Passes a pause or resume on to the backend. True if it did, which releases the lock for the
// call: the caller must then look at the device's state afresh, since a close, a buffer or a
// reset may have arrived meanwhile and its notification is gone.
bool syncHold(WaveDeviceHandle* d, std::unique_lock<std::mutex>& lock) {
    const bool want = !d->running;
    if (want == d->held) return false;
    d->held = want;
    lock.unlock();
    d->backend->hold(want);
    lock.lock();
    return true;
}

void outputWorker(WaveDeviceHandle* d) {
    int16_t chunk[ChunkSamples];
    std::unique_lock<std::mutex> lock(d->mutex);
    while (!d->closing) {
        if (d->dropRequested) {
            d->dropRequested = false;
            lock.unlock();
            d->backend->drop();
            lock.lock();
            continue;
        }
        if (syncHold(d, lock)) continue;
        bool released = false;  // the lock was let go in this pass
        if (!d->pending.empty() && !d->held) {
            released = true;
            const uint64_t gen = d->generation;
            lock.unlock();
            const size_t delay = d->backend->delay();
            lock.lock();
            if (gen == d->generation) {
                const uint64_t heard = d->written > delay ? d->written - delay : 0;
                while (!d->pending.empty() && d->pending.front().second <= heard) {
                    markDone(d, d->pending.front().first);
                    d->pending.pop_front();
                }
            }
        }
        if (d->running && !d->queue.empty() && !d->failed) {
            WAVEHDR* h = d->queue.front();
            const DWORD usable = h->dwBufferLength & ~1u;
            const DWORD bytes =
                std::min<DWORD>(ChunkSamples * 2, usable - std::min(usable, d->offset));
            const size_t count = bytes / 2;
            if (count > 0) std::memcpy(chunk, h->lpData + d->offset, bytes);
            const uint64_t gen = d->generation;
            bool ok = true;
            if (count > 0) {
                lock.unlock();
                ok = d->backend->write(chunk, count);
                lock.lock();
            }
            if (gen != d->generation) continue;  // reset meanwhile: the buffer was handed back
            if (!ok) {
                d->failed = true;
                returnAll(d);
                continue;
            }
            d->written += count;
            d->offset += bytes;
            if (d->offset >= usable) {
                d->queue.pop_front();
                d->offset = 0;
                d->pending.emplace_back(h, d->written);
            }
            continue;
        }
        if (!d->pending.empty() && !d->held) {
            d->wake.wait_for(lock, std::chrono::milliseconds(5));
        } else if (!released) {
            // Sleeps only after a whole pass under the lock found nothing to do, so every
            // change since was notified to this wait.
            d->wake.wait(lock);
        }
    }
}

void inputWorker(WaveDeviceHandle* d) {
    int16_t chunk[ChunkSamples];
    std::unique_lock<std::mutex> lock(d->mutex);
    while (!d->closing) {
        if (d->dropRequested) {
            d->dropRequested = false;
            lock.unlock();
            d->backend->drop();
            lock.lock();
            continue;
        }
        if (syncHold(d, lock)) continue;
        if (d->running && !d->queue.empty() && !d->failed) {
            WAVEHDR* h = d->queue.front();
            const DWORD room =
                (h->dwBufferLength - std::min(h->dwBufferLength, h->dwBytesRecorded)) & ~1u;
            const size_t count = std::min<size_t>(ChunkSamples, room / 2);
            const uint64_t gen = d->generation;
            bool ok = true;
            if (count > 0) {
                lock.unlock();
                ok = d->backend->read(chunk, count);
                lock.lock();
            }
            if (gen != d->generation || !d->running || d->queue.empty() || d->queue.front() != h)
                continue;  // reset or stopped meanwhile: the samples are discarded
            if (!ok) {
                d->failed = true;
                returnAll(d);
                continue;
            }
            std::memcpy(h->lpData + h->dwBytesRecorded, chunk, count * 2);
            h->dwBytesRecorded += static_cast<DWORD>(count * 2);
            if (h->dwBufferLength - h->dwBytesRecorded < 2) {
                d->queue.pop_front();
                markDone(d, h);
            }
            continue;
        }
        d->wake.wait(lock);
    }
}

bool formatSupported(const WAVEFORMATEX* f) {
    return f && f->wFormatTag == WAVE_FORMAT_PCM && f->nChannels == 1 &&
           f->nSamplesPerSec == 8000 && f->wBitsPerSample == 16 && f->nBlockAlign == 2;
}

UINT deviceCount(bool capture) {
    switch (selectedBackend()) {
        case AudioBackendKind::None:
            return 0;
        case AudioBackendKind::Virtual:
            return VirtualCard::faults(capture).noDevice ? 0 : 1;
        case AudioBackendKind::Alsa:
            return alsaDeviceAvailable(capture) ? 1 : 0;
    }
    return 0;
}

MMRESULT getCaps(bool capture, UINT device, char* name, WORD& channels, DWORD& formats) {
    if (device != WAVE_MAPPER && device != 0) return MMSYSERR_BADDEVICEID;
    const AudioBackendKind kind = selectedBackend();
    if (kind == AudioBackendKind::None) return MMSYSERR_NODRIVER;
    if (kind == AudioBackendKind::Virtual) {
        const VirtualFaults f = VirtualCard::faults(capture);
        if (f.noDevice) return MMSYSERR_NODRIVER;
        if (f.capsResult) return f.capsResult;
    }
    const char* text = kind == AudioBackendKind::Virtual ? "Virtual sound card" : "ALSA default";
    std::strncpy(name, text, MAXPNAMELEN - 1);
    name[MAXPNAMELEN - 1] = 0;
    channels = 1;
    formats = 0x00000002;  // 11.025 kHz class is the nearest standard flag; 8 kHz is not listed
    return MMSYSERR_NOERROR;
}

MMRESULT openDevice(bool capture, WaveDeviceHandle** handle, UINT device,
                    const WAVEFORMATEX* format, DWORD_PTR callback, DWORD flags) {
    if (!handle) return MMSYSERR_INVALPARAM;
    *handle = nullptr;
    if (device != WAVE_MAPPER && device != 0) return MMSYSERR_BADDEVICEID;
    if ((flags & 0x00070000) != CALLBACK_EVENT && (flags & 0x00070000) != CALLBACK_NULL)
        return MMSYSERR_INVALFLAG;
    if (!formatSupported(format)) return WAVERR_BADFORMAT;
    const AudioBackendKind kind = selectedBackend();
    if (kind == AudioBackendKind::None) return MMSYSERR_NODRIVER;
    std::unique_ptr<PcmBackend> backend;
    if (kind == AudioBackendKind::Virtual) {
        const VirtualFaults f = VirtualCard::faults(capture);
        if (f.noDevice) return MMSYSERR_NODRIVER;
        if (f.openResult) return f.openResult;
        MMRESULT result = MMSYSERR_NOERROR;
        backend = VirtualCard::open(capture, result);
        if (!backend) return result ? result : MMSYSERR_ERROR;
    } else {
        backend = openAlsaStream(capture);
        if (!backend) return MMSYSERR_ALLOCATED;
    }
    auto* d = new WaveDeviceHandle;
    d->capture = capture;
    d->isVirtual = kind == AudioBackendKind::Virtual;
    d->backend = std::move(backend);
    if ((flags & 0x00070000) == CALLBACK_EVENT) d->callback = reinterpret_cast<Event*>(callback);
    d->running = !capture;  // output plays at once; input waits for start
    d->held = !d->running;
    try {
        d->worker = std::thread(capture ? inputWorker : outputWorker, d);
    } catch (const std::system_error&) {
        delete d;
        return MMSYSERR_NOMEM;
    }
    openHandles().insert(d);
    *handle = d;
    signal(d);
    return MMSYSERR_NOERROR;
}

MMRESULT prepare(bool capture, WaveDeviceHandle* d, WAVEHDR* h, UINT size) {
    if (!valid(d, capture)) return MMSYSERR_INVALHANDLE;
    if (!h || size < sizeof(WAVEHDR) || !h->lpData) return MMSYSERR_INVALPARAM;
    if (d->isVirtual) {
        const MMRESULT r = VirtualCard::faults(capture).prepareResult;
        if (r) return r;
    }
    std::lock_guard<std::mutex> lock(d->mutex);
    if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    // As the system's own does: preparing clears WHDR_DONE.
    h->dwFlags = (h->dwFlags | WHDR_PREPARED) & ~WHDR_DONE;
    return MMSYSERR_NOERROR;
}

MMRESULT unprepare(bool capture, WaveDeviceHandle* d, WAVEHDR* h, UINT size) {
    if (!valid(d, capture)) return MMSYSERR_INVALHANDLE;
    if (!h || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    h->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT enqueue(bool capture, WaveDeviceHandle* d, WAVEHDR* h, UINT size) {
    if (!valid(d, capture)) return MMSYSERR_INVALHANDLE;
    if (!h || size < sizeof(WAVEHDR) || !h->lpData) return MMSYSERR_INVALPARAM;
    if (!(h->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    if (d->isVirtual) {
        const VirtualFaults f = VirtualCard::faults(capture);
        if (f.addBufferResult && d->addCount >= f.addBufferAfter) return f.addBufferResult;
    }
    if (d->failed) return MMSYSERR_ERROR;
    ++d->addCount;
    h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    if (capture) h->dwBytesRecorded = 0;
    d->queue.push_back(h);
    d->wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT setRunning(bool capture, WaveDeviceHandle* d, bool running, MMRESULT fault) {
    if (!valid(d, capture)) return MMSYSERR_INVALHANDLE;
    if (fault) return fault;
    std::lock_guard<std::mutex> lock(d->mutex);
    d->running = running;
    if (capture && !running && !d->queue.empty()) {
        // Stopping input hands back the partly filled current buffer; empty ones stay queued.
        WAVEHDR* h = d->queue.front();
        if (h->dwBytesRecorded > 0) {
            d->queue.pop_front();
            markDone(d, h);
        }
    }
    d->wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT resetDevice(bool capture, WaveDeviceHandle* d) {
    if (!valid(d, capture)) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (capture) d->running = false;
    returnAll(d);
    d->dropRequested = true;
    d->wake.notify_all();
    // An injected reset fault is reported after the reset, so the buffers are safe to free.
    return d->isVirtual ? VirtualCard::faults(capture).resetResult : MMSYSERR_NOERROR;
}

MMRESULT closeDevice(bool capture, WaveDeviceHandle* d) {
    if (!valid(d, capture)) return MMSYSERR_INVALHANDLE;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (!d->queue.empty() || !d->pending.empty()) return WAVERR_STILLPLAYING;
        d->closing = true;
        d->wake.notify_all();
    }
    d->worker.join();
    MMRESULT result = MMSYSERR_NOERROR;
    if (d->isVirtual) result = VirtualCard::faults(capture).closeResult;
    openHandles().erase(d);
    signal(d);
    delete d;
    return result;
}

const char* errorText(MMRESULT code) {
    switch (code) {
        case MMSYSERR_NOERROR:
            return "The specified command was carried out.";
        case MMSYSERR_ERROR:
            return "Undefined external error.";
        case MMSYSERR_BADDEVICEID:
            return "A device ID has been used that is out of range for your system.";
        case MMSYSERR_NOTENABLED:
            return "The driver was not enabled.";
        case MMSYSERR_ALLOCATED:
            return "The specified device is already in use. Wait until it is free, and then try "
                   "again.";
        case MMSYSERR_INVALHANDLE:
            return "The specified device handle is invalid.";
        case MMSYSERR_NODRIVER:
            return "There is no driver installed on your system.";
        case MMSYSERR_NOMEM:
            return "There is not enough memory available for this task. Quit one or more "
                   "applications to increase available memory, and then try again.";
        case MMSYSERR_NOTSUPPORTED:
            return "This function is not supported. Use the Capabilities function to determine "
                   "which functions and messages the driver supports.";
        case MMSYSERR_BADERRNUM:
            return "An error number was specified that is not defined in the system.";
        case MMSYSERR_INVALFLAG:
            return "An invalid flag was passed to a system function.";
        case MMSYSERR_INVALPARAM:
            return "An invalid parameter was passed to a system function.";
        case WAVERR_BADFORMAT:
            return "The specified format is not supported or cannot be translated. Use the "
                   "Capabilities function to determine the supported formats.";
        case WAVERR_STILLPLAYING:
            return "Cannot perform this operation while media data is still playing. Reset the "
                   "device, or wait until the data is finished playing.";
        case WAVERR_UNPREPARED:
            return "The wave header was not prepared. Use the Prepare function to prepare the "
                   "header, and then try again.";
        case WAVERR_SYNC:
            return "Cannot open the device without using the WAVE_ALLOWSYNC flag. Use the flag, "
                   "and then try again.";
        default:
            return nullptr;
    }
}

MMRESULT getErrorText(MMRESULT code, char* text, UINT size) {
    if (!text || size == 0) return MMSYSERR_INVALPARAM;
    const char* t = errorText(code);
    if (!t) {
        text[0] = 0;
        return MMSYSERR_BADERRNUM;
    }
    std::strncpy(text, t, size - 1);
    text[size - 1] = 0;
    return MMSYSERR_NOERROR;
}

}  // namespace

namespace {
std::atomic<int> backendOverride{-1};
}  // namespace

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

UINT waveOutGetNumDevs() {
    std::lock_guard<std::mutex> api(apiMutex());
    return deviceCount(false);
}

MMRESULT waveOutGetDevCapsA(UINT device, WAVEOUTCAPSA* caps, UINT size) {
    if (!caps || size < sizeof(WAVEOUTCAPSA)) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> api(apiMutex());
    *caps = WAVEOUTCAPSA{};
    return getCaps(false, device, caps->szPname, caps->wChannels, caps->dwFormats);
}

MMRESULT waveOutOpen(HWAVEOUT* handle, UINT device, const WAVEFORMATEX* format, DWORD_PTR callback,
                     DWORD_PTR, DWORD flags) {
    std::lock_guard<std::mutex> api(apiMutex());
    return openDevice(false, handle, device, format, callback, flags);
}

MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, UINT size) {
    std::lock_guard<std::mutex> api(apiMutex());
    return prepare(false, handle, header, size);
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, UINT size) {
    std::lock_guard<std::mutex> api(apiMutex());
    return unprepare(false, handle, header, size);
}

MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, UINT size) {
    std::lock_guard<std::mutex> api(apiMutex());
    return enqueue(false, handle, header, size);
}

MMRESULT waveOutPause(HWAVEOUT handle) {
    std::lock_guard<std::mutex> api(apiMutex());
    return setRunning(false, handle, false, 0);
}

MMRESULT waveOutRestart(HWAVEOUT handle) {
    std::lock_guard<std::mutex> api(apiMutex());
    return setRunning(false, handle, true, 0);
}

MMRESULT waveOutReset(HWAVEOUT handle) {
    std::lock_guard<std::mutex> api(apiMutex());
    return resetDevice(false, handle);
}

MMRESULT waveOutClose(HWAVEOUT handle) {
    std::lock_guard<std::mutex> api(apiMutex());
    return closeDevice(false, handle);
}

MMRESULT waveOutGetErrorTextA(MMRESULT code, char* text, UINT size) {
    return getErrorText(code, text, size);
}

UINT waveInGetNumDevs() {
    std::lock_guard<std::mutex> api(apiMutex());
    return deviceCount(true);
}

MMRESULT waveInGetDevCapsA(UINT device, WAVEINCAPSA* caps, UINT size) {
    if (!caps || size < sizeof(WAVEINCAPSA)) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> api(apiMutex());
    *caps = WAVEINCAPSA{};
    return getCaps(true, device, caps->szPname, caps->wChannels, caps->dwFormats);
}

MMRESULT waveInOpen(HWAVEIN* handle, UINT device, const WAVEFORMATEX* format, DWORD_PTR callback,
                    DWORD_PTR, DWORD flags) {
    std::lock_guard<std::mutex> api(apiMutex());
    return openDevice(true, handle, device, format, callback, flags);
}

MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, UINT size) {
    std::lock_guard<std::mutex> api(apiMutex());
    return prepare(true, handle, header, size);
}

MMRESULT waveInUnprepareHeader(HWAVEIN handle, WAVEHDR* header, UINT size) {
    std::lock_guard<std::mutex> api(apiMutex());
    return unprepare(true, handle, header, size);
}

MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, UINT size) {
    std::lock_guard<std::mutex> api(apiMutex());
    return enqueue(true, handle, header, size);
}

MMRESULT waveInStart(HWAVEIN handle) {
    std::lock_guard<std::mutex> api(apiMutex());
    MMRESULT fault = 0;
    if (valid(handle, true) && handle->isVirtual) fault = VirtualCard::faults(true).startResult;
    return setRunning(true, handle, true, fault);
}

MMRESULT waveInStop(HWAVEIN handle) {
    std::lock_guard<std::mutex> api(apiMutex());
    return setRunning(true, handle, false, 0);
}

MMRESULT waveInReset(HWAVEIN handle) {
    std::lock_guard<std::mutex> api(apiMutex());
    return resetDevice(true, handle);
}

MMRESULT waveInClose(HWAVEIN handle) {
    std::lock_guard<std::mutex> api(apiMutex());
    return closeDevice(true, handle);
}

MMRESULT waveInGetErrorTextA(MMRESULT code, char* text, UINT size) {
    return getErrorText(code, text, size);
}

}  // namespace brimvox
