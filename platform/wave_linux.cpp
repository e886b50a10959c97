// The waveform-audio API over a PcmBackend. Each open device has a worker thread that opens the
// backend, moves the queued buffers through it in 10 ms chunks, marks them done and finally closes
// it; the API calls only change the queue and the device's state under the device's lock, so a
// buffer is never touched by the worker after a reset or close has handed it back.
//
// Any call into a sound system may block for as long as its server is stalled (opening, pausing,
// dropping, closing). Only the worker makes such calls, and every API call waits for the worker
// for a bounded time only: an open that takes too long fails, and a close whose worker does not
// finish in time leaves it behind. The worker and the API share the device's state through a
// reference count, so a worker that is left behind keeps what it uses alive and frees it when it
// finally returns; it touches no buffer and no caller's event after the close.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pcm_backend.h"
#include "sync.h"
#include "virtual_card.h"
#include "wave_api.h"

namespace brimvox {

struct WaveDeviceHandle {
    bool capture = false;
    bool isVirtual = false;
    std::unique_ptr<PcmBackend> backend;  // the worker's only
    Event* callback = nullptr;            // cleared by the close: never set after it
    std::mutex mutex;
    std::condition_variable wake;     // the worker waits here for work
    std::condition_variable changed;  // the opener and closer wait here for the worker
    std::deque<WAVEHDR*> queue;       // buffers waiting to be played or filled, current first
    std::deque<std::pair<WAVEHDR*, uint64_t>> pending;  // output: written, heard at position
    DWORD offset = 0;         // output: bytes of the current buffer already written
    bool running = false;     // output: not paused; input: started
    bool held = false;        // hold state last passed to the backend
    bool hardPaused = false;  // the backend paused the output itself (nothing plays out)
    bool closing = false;
    bool dropRequested = false;
    MMRESULT failure = MMSYSERR_NOERROR;  // the backend failed: the result of later calls
    uint64_t generation = 0;              // advanced by every reset
    uint64_t written = 0;                 // samples written to the backend since open
    int addCount = 0;
    int filledCount = 0;                   // input: buffers handed back done
    std::map<WAVEHDR*, DWORD> preparedAs;  // prepared headers and their prepared lengths
    bool opened = false;                   // the worker's open has finished (openError tells how)
    int openError = 0;                     // negative errno of a failed open
    bool abandoned = false;  // the opener gave up waiting: the worker closes what it opened
    bool exited = false;     // the worker has closed the backend and is about to return
    std::thread worker;
};

namespace {

constexpr size_t ChunkSamples = 80;        // 10 ms
constexpr int TransferWaitMs = 40;         // longest wait of one transfer for the device
constexpr uint32_t OpenLimitMs = 2500;     // an open that takes longer fails
constexpr uint32_t CloseLimitMs = 300;     // a close does not wait longer for the worker
constexpr uint32_t SuspendLimitMs = 1000;  // a suspended device that stays so has failed
constexpr uint32_t ProbeLimitMs = 1500;    // looking for a device takes at most this long

using DevicePtr = std::shared_ptr<WaveDeviceHandle>;

std::atomic<int> headerMisuse{0};

// The open devices. A call takes its own reference, so a call on a handle that another thread is
// closing finds it invalid or works on a device that stays valid until the call ends.
std::mutex& registryMutex() {
    static std::mutex m;
    return m;
}
std::map<WaveDeviceHandle*, DevicePtr>& registry() {
    static auto* r = new std::map<WaveDeviceHandle*, DevicePtr>;  // never destroyed: see above
    return *r;
}

DevicePtr lookup(WaveDeviceHandle* h, bool capture) {
    std::lock_guard<std::mutex> lock(registryMutex());
    auto it = registry().find(h);
    if (it == registry().end() || it->second->capture != capture) return nullptr;
    return it->second;
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

// The result code for a stream that failed with a negative errno value.
MMRESULT failureResult(long error) {
    switch (-error) {
        case ENODEV:
        case ENXIO:
        case ENOENT:
        case ENOTCONN:
        case ECONNRESET:
        case EBADFD:
        case EIO:
            return MMSYSERR_NODRIVER;  // the device or its sound server is gone
        default:
            return MMSYSERR_ERROR;
    }
}

// The result code for a stream that could not be opened.
MMRESULT openResult(int error) {
    switch (-error) {
        case EBUSY:
        case EAGAIN:
            return MMSYSERR_ALLOCATED;
        case ENOMEM:
            return MMSYSERR_NOMEM;
        case EINVAL:
            return WAVERR_BADFORMAT;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return MMSYSERR_NODRIVER;
        default:
            return MMSYSERR_ERROR;
    }
}

// The device failed: every buffer goes back (input ones partly filled) and later calls report it.
void fail(WaveDeviceHandle* d, MMRESULT code) {
    if (d->failure == MMSYSERR_NOERROR) d->failure = code;
    returnAll(d);
}

// Passes a pause or resume on to the backend. True if it did, which releases the lock for the
// call: the caller must then look at the device's state afresh, since a close, a buffer or a
// reset may have arrived meanwhile and its notification is gone.
bool syncHold(WaveDeviceHandle* d, std::unique_lock<std::mutex>& lock) {
    const bool want = !d->running;
    if (want == d->held) return false;
    d->held = want;
    lock.unlock();
    const bool paused = d->backend->hold(want);
    lock.lock();
    d->hardPaused = want && paused;
    return true;
}

// Drops the backend's buffer if a reset asked for it. True if it did (the lock was released).
bool syncDrop(WaveDeviceHandle* d, std::unique_lock<std::mutex>& lock) {
    if (!d->dropRequested) return false;
    d->dropRequested = false;
    lock.unlock();
    d->backend->drop();
    lock.lock();
    return true;
}

// A transfer that failed (result < 0) or made no progress. Suspension is waited out for a
// bounded time; any other failure ends the device. Caller holds the lock.
void afterTransfer(WaveDeviceHandle* d, std::unique_lock<std::mutex>& lock, long result,
                   uint64_t startMs, uint64_t& suspendedSince) {
    if (result == -ESTRPIPE) {
        const uint64_t now = monotonicMs();
        if (suspendedSince == 0) suspendedSince = now;
        if (now - suspendedSince > SuspendLimitMs) {
            fail(d, MMSYSERR_ERROR);
            return;
        }
        lock.unlock();
        const bool back = d->backend->resume();
        lock.lock();
        if (back) {
            suspendedSince = 0;
            return;
        }
        d->wake.wait_for(lock, std::chrono::milliseconds(20));
        return;
    }
    if (result < 0) {
        fail(d, failureResult(result));
        return;
    }
    suspendedSince = 0;
    // A transfer that gave up at once (a prepared or paused stream answers 0 without waiting)
    // must not make the worker spin.
    if (result == 0 && monotonicMs() - startMs < 2)
        d->wake.wait_for(lock, std::chrono::milliseconds(10));
}

void outputLoop(WaveDeviceHandle* d, std::unique_lock<std::mutex>& lock) {
    int16_t chunk[ChunkSamples];
    uint64_t suspendedSince = 0;
    while (!d->closing) {
        if (syncDrop(d, lock) || syncHold(d, lock)) continue;
        bool released = false;  // the lock was let go in this pass
        if (!d->pending.empty() && !d->hardPaused) {
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
        if (d->running && !d->queue.empty() && d->failure == MMSYSERR_NOERROR) {
            WAVEHDR* h = d->queue.front();
            const DWORD usable = h->dwBufferLength & ~1u;
            const DWORD bytes =
                std::min<DWORD>(ChunkSamples * 2, usable - std::min(usable, d->offset));
            const size_t count = bytes / 2;
            if (count > 0) std::memcpy(chunk, h->lpData + d->offset, bytes);
            const uint64_t gen = d->generation;
            long n = 0;
            const uint64_t startMs = monotonicMs();
            if (count > 0) {
                lock.unlock();
                n = d->backend->write(chunk, count, TransferWaitMs);
                lock.lock();
                if (n > 0) d->written += static_cast<uint64_t>(n);
            }
            if (gen != d->generation) continue;  // reset meanwhile: the buffer was handed back
            if (count > 0 && n <= 0) {
                afterTransfer(d, lock, n, startMs, suspendedSince);
                continue;
            }
            d->offset += static_cast<DWORD>(2 * n);
            if (d->offset >= usable) {
                d->queue.pop_front();
                d->offset = 0;
                d->pending.emplace_back(h, d->written);
            }
            continue;
        }
        if (!d->pending.empty() && !d->hardPaused) {
            d->wake.wait_for(lock, std::chrono::milliseconds(5));
        } else if (!released) {
            // Sleeps only after a whole pass under the lock found nothing to do, so every
            // change since was notified to this wait.
            d->wake.wait(lock);
        }
    }
}

void inputLoop(WaveDeviceHandle* d, std::unique_lock<std::mutex>& lock) {
    int16_t chunk[ChunkSamples];
    uint64_t suspendedSince = 0;
    while (!d->closing) {
        if (syncDrop(d, lock) || syncHold(d, lock)) continue;
        if (d->running && !d->queue.empty() && d->failure == MMSYSERR_NOERROR) {
            WAVEHDR* h = d->queue.front();
            // An injected short return fills every n-th buffer to half its length only.
            const int every = d->isVirtual ? VirtualCard::faults(true).shortBufferEvery : 0;
            const DWORD fill = every > 0 && (d->filledCount + 1) % every == 0
                                   ? (h->dwBufferLength / 2) & ~1u
                                   : h->dwBufferLength;
            const DWORD room = (fill - std::min(fill, h->dwBytesRecorded)) & ~1u;
            const size_t count = std::min<size_t>(ChunkSamples, room / 2);
            const uint64_t gen = d->generation;
            long n = 0;
            const uint64_t startMs = monotonicMs();
            if (count > 0) {
                lock.unlock();
                n = d->backend->read(chunk, count, TransferWaitMs);
                lock.lock();
            }
            if (gen != d->generation || !d->running || d->queue.empty() || d->queue.front() != h)
                continue;  // reset or stopped meanwhile: the samples are discarded
            if (count > 0 && n <= 0) {
                afterTransfer(d, lock, n, startMs, suspendedSince);
                continue;
            }
            std::memcpy(h->lpData + h->dwBytesRecorded, chunk, static_cast<size_t>(n) * 2);
            h->dwBytesRecorded += static_cast<DWORD>(n * 2);
            if (fill - std::min(fill, h->dwBytesRecorded) < 2) {
                ++d->filledCount;
                d->queue.pop_front();
                markDone(d, h);
            }
            continue;
        }
        d->wake.wait(lock);
    }
}

void openBackend(WaveDeviceHandle* d, int& error) {
    if (d->isVirtual) {
        d->backend = VirtualCard::open(d->capture, error);
    } else {
        d->backend = openAlsaStream(d->capture, error);
    }
    if (!d->backend && error == 0) error = -EIO;
}

// The worker: opens the backend, runs the device until it is closed, closes the backend.
void deviceWorker(DevicePtr d) {
    int error = 0;
    openBackend(d.get(), error);
    std::unique_lock<std::mutex> lock(d->mutex);
    d->opened = true;
    d->openError = error;
    d->changed.notify_all();
    if (!d->abandoned && d->backend) {
        if (d->capture) {
            inputLoop(d.get(), lock);
        } else {
            outputLoop(d.get(), lock);
        }
    }
    lock.unlock();
    d->backend.reset();  // may block in the sound system; nobody waits for it unboundedly
    lock.lock();
    d->exited = true;
    d->changed.notify_all();
}

// Runs probe() on a thread of its own and waits for it at most ProbeLimitMs; a probe that does
// not return in time (a stalled sound server) counts as `late`.
int boundedProbe(int (*probe)(bool), bool capture, int late) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        int result = 0;
    };
    auto shared = std::make_shared<Shared>();
    try {
        std::thread([shared, probe, capture] {
            const int r = probe(capture);
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->result = r;
            shared->finished = true;
            shared->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return probe(capture);
    }
    std::unique_lock<std::mutex> lock(shared->mutex);
    if (!shared->done.wait_for(lock, std::chrono::milliseconds(ProbeLimitMs),
                               [&] { return shared->finished; }))
        return late;
    return shared->result;
}

bool formatSupported(const WAVEFORMATEX* f) {
    return f && f->wFormatTag == WAVE_FORMAT_PCM && f->nChannels == 1 &&
           f->nSamplesPerSec == 8000 && f->wBitsPerSample == 16 && f->nBlockAlign == 2;
}

UINT deviceCount(bool capture) {
    switch (selectedBackend()) {
        case AudioBackendKind::None:
            return 0;
        case AudioBackendKind::Virtual: {
            const VirtualFaults f = VirtualCard::faults(capture);
            return f.noDevice || !deviceExistsAfter(f.openError) ? 0 : 1;
        }
        case AudioBackendKind::Alsa:
            // A device that does not answer in time is there but stalled: its open will tell.
            return deviceExistsAfter(boundedProbe(probeAlsaDevice, capture, -EBUSY)) ? 1 : 0;
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
    if (kind == AudioBackendKind::Virtual) {
        const VirtualFaults f = VirtualCard::faults(capture);
        if (f.noDevice) return MMSYSERR_NODRIVER;
        if (f.openResult) return f.openResult;
    }
    DevicePtr d;
    try {
        d = std::make_shared<WaveDeviceHandle>();
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
    d->capture = capture;
    d->isVirtual = kind == AudioBackendKind::Virtual;
    if ((flags & 0x00070000) == CALLBACK_EVENT) d->callback = reinterpret_cast<Event*>(callback);
    d->running = !capture;  // output plays at once; input waits for start
    d->held = !d->running;
    try {
        d->worker = std::thread(deviceWorker, d);
    } catch (const std::system_error&) {
        return MMSYSERR_NOMEM;
    }
    std::unique_lock<std::mutex> lock(d->mutex);
    if (!d->changed.wait_for(lock, std::chrono::milliseconds(OpenLimitMs),
                             [&] { return d->opened; })) {
        // The sound system does not answer: leave the worker to close what it may still open.
        d->abandoned = true;
        d->callback = nullptr;
        lock.unlock();
        d->worker.detach();
        return MMSYSERR_ERROR;
    }
    if (d->openError != 0) {
        const int error = d->openError;
        lock.unlock();
        d->worker.join();  // it has nothing to close
        return openResult(error);
    }
    {
        std::lock_guard<std::mutex> registered(registryMutex());
        registry()[d.get()] = d;
    }
    *handle = d.get();
    signal(d.get());
    return MMSYSERR_NOERROR;
}

MMRESULT prepare(bool capture, WaveDeviceHandle* handle, WAVEHDR* h, UINT size) {
    const DevicePtr d = lookup(handle, capture);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (!h || size < sizeof(WAVEHDR) || !h->lpData) return MMSYSERR_INVALPARAM;
    if (d->isVirtual) {
        const MMRESULT r = VirtualCard::faults(capture).prepareResult;
        if (r) return r;
    }
    std::lock_guard<std::mutex> lock(d->mutex);
    if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    if (h->dwFlags & WHDR_PREPARED) return MMSYSERR_NOERROR;  // prepared already
    if (h->dwFlags & ~(WHDR_BEGINLOOP | WHDR_ENDLOOP)) ++headerMisuse;
    // As the system's own does: preparing clears WHDR_DONE.
    h->dwFlags = (h->dwFlags | WHDR_PREPARED) & ~WHDR_DONE;
    d->preparedAs[h] = h->dwBufferLength;
    return MMSYSERR_NOERROR;
}

MMRESULT unprepare(bool capture, WaveDeviceHandle* handle, WAVEHDR* h, UINT size) {
    const DevicePtr d = lookup(handle, capture);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (!h || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    if (!(h->dwFlags & WHDR_PREPARED)) return MMSYSERR_NOERROR;
    const auto it = d->preparedAs.find(h);
    if (it == d->preparedAs.end() || it->second != h->dwBufferLength) {
        // A driver may keep state per prepared header and find it by the prepared length.
        ++headerMisuse;
        return MMSYSERR_INVALPARAM;
    }
    d->preparedAs.erase(it);
    h->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT enqueue(bool capture, WaveDeviceHandle* handle, WAVEHDR* h, UINT size) {
    const DevicePtr d = lookup(handle, capture);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (!h || size < sizeof(WAVEHDR) || !h->lpData) return MMSYSERR_INVALPARAM;
    if (!(h->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    if (d->isVirtual) {
        const VirtualFaults f = VirtualCard::faults(capture);
        if (f.addBufferResult && d->addCount >= f.addBufferAfter) return f.addBufferResult;
    }
    if (d->failure != MMSYSERR_NOERROR) return d->failure;
    ++d->addCount;
    h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    if (capture) h->dwBytesRecorded = 0;
    d->queue.push_back(h);
    d->wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT setRunning(bool capture, WaveDeviceHandle* handle, bool running, bool start) {
    const DevicePtr d = lookup(handle, capture);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (start && d->isVirtual) {
        const MMRESULT fault = VirtualCard::faults(true).startResult;
        if (fault) return fault;
    }
    std::lock_guard<std::mutex> lock(d->mutex);
    if (start && d->failure != MMSYSERR_NOERROR) return d->failure;
    d->running = running;
    if (capture && !running && !d->queue.empty()) {
        // Stopping input hands back the partly filled current buffer; empty ones stay queued.
        WAVEHDR* h = d->queue.front();
        if (h->dwBytesRecorded > 0) {
            d->queue.pop_front();
            markDone(d.get(), h);
        }
    }
    d->wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT resetDevice(bool capture, WaveDeviceHandle* handle) {
    const DevicePtr d = lookup(handle, capture);
    if (!d) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->isVirtual && VirtualCard::faults(capture).resetKeepsBuffers) return MMSYSERR_ERROR;
    if (capture) d->running = false;
    returnAll(d.get());
    d->dropRequested = true;
    d->wake.notify_all();
    // An injected reset fault is reported after the reset, so the buffers are safe to free.
    return d->isVirtual ? VirtualCard::faults(capture).resetResult : MMSYSERR_NOERROR;
}

MMRESULT closeDevice(bool capture, WaveDeviceHandle* handle) {
    const DevicePtr d = lookup(handle, capture);
    if (!d) return MMSYSERR_INVALHANDLE;
    Event* callback = nullptr;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (!d->queue.empty() || !d->pending.empty()) return WAVERR_STILLPLAYING;
        if (!d->preparedAs.empty()) ++headerMisuse;  // the system closes anyway; drivers leak
        d->closing = true;
        callback = d->callback;
        d->callback = nullptr;  // the worker never signals the caller's event after this
        d->wake.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        if (registry().erase(handle) == 0) return MMSYSERR_INVALHANDLE;  // closed by another call
    }
    bool exited;
    {
        std::unique_lock<std::mutex> lock(d->mutex);
        exited = d->changed.wait_for(lock, std::chrono::milliseconds(CloseLimitMs),
                                     [&] { return d->exited; });
    }
    if (exited) {
        d->worker.join();
    } else {
        d->worker.detach();  // stuck in the sound system: it frees the device when it returns
    }
    const MMRESULT result = d->isVirtual ? VirtualCard::faults(capture).closeResult : 0;
    if (callback) callback->set();
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
    return deviceCount(false);
}

MMRESULT waveOutGetDevCapsA(UINT device, WAVEOUTCAPSA* caps, UINT size) {
    if (!caps || size < sizeof(WAVEOUTCAPSA)) return MMSYSERR_INVALPARAM;
    *caps = WAVEOUTCAPSA{};
    return getCaps(false, device, caps->szPname, caps->wChannels, caps->dwFormats);
}

MMRESULT waveOutOpen(HWAVEOUT* handle, UINT device, const WAVEFORMATEX* format, DWORD_PTR callback,
                     DWORD_PTR, DWORD flags) {
    return openDevice(false, handle, device, format, callback, flags);
}

MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, UINT size) {
    return prepare(false, handle, header, size);
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, UINT size) {
    return unprepare(false, handle, header, size);
}

MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, UINT size) {
    return enqueue(false, handle, header, size);
}

MMRESULT waveOutPause(HWAVEOUT handle) {
    return setRunning(false, handle, false, false);
}

MMRESULT waveOutRestart(HWAVEOUT handle) {
    return setRunning(false, handle, true, false);
}

MMRESULT waveOutReset(HWAVEOUT handle) {
    return resetDevice(false, handle);
}

MMRESULT waveOutClose(HWAVEOUT handle) {
    return closeDevice(false, handle);
}

MMRESULT waveOutGetErrorTextA(MMRESULT code, char* text, UINT size) {
    return getErrorText(code, text, size);
}

UINT waveInGetNumDevs() {
    return deviceCount(true);
}

MMRESULT waveInGetDevCapsA(UINT device, WAVEINCAPSA* caps, UINT size) {
    if (!caps || size < sizeof(WAVEINCAPSA)) return MMSYSERR_INVALPARAM;
    *caps = WAVEINCAPSA{};
    return getCaps(true, device, caps->szPname, caps->wChannels, caps->dwFormats);
}

MMRESULT waveInOpen(HWAVEIN* handle, UINT device, const WAVEFORMATEX* format, DWORD_PTR callback,
                    DWORD_PTR, DWORD flags) {
    return openDevice(true, handle, device, format, callback, flags);
}

MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, UINT size) {
    return prepare(true, handle, header, size);
}

MMRESULT waveInUnprepareHeader(HWAVEIN handle, WAVEHDR* header, UINT size) {
    return unprepare(true, handle, header, size);
}

MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, UINT size) {
    return enqueue(true, handle, header, size);
}

MMRESULT waveInStart(HWAVEIN handle) {
    return setRunning(true, handle, true, true);
}

MMRESULT waveInStop(HWAVEIN handle) {
    return setRunning(true, handle, false, false);
}

MMRESULT waveInReset(HWAVEIN handle) {
    return resetDevice(true, handle);
}

MMRESULT waveInClose(HWAVEIN handle) {
    return closeDevice(true, handle);
}

MMRESULT waveInGetErrorTextA(MMRESULT code, char* text, UINT size) {
    return getErrorText(code, text, size);
}

int waveHeaderMisuse() {
    return headerMisuse.load();
}

int waveCloseLeftDevices() {
    std::vector<DevicePtr> left;
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        for (auto& entry : registry()) left.push_back(entry.second);
    }
    for (const DevicePtr& d : left) {
        {
            std::lock_guard<std::mutex> lock(d->mutex);
            returnAll(d.get());
            d->dropRequested = true;
        }
        closeDevice(d->capture, d.get());
    }
    return static_cast<int>(left.size());
}

}  // namespace brimvox
