#include "wave_out_device.h"

#include <new>

#include "audio_engine.h"
#include "boundary.h"
#include "wave_memory.h"

namespace brimvox {

namespace {
constexpr const char* NoDriverText = " Sound driver is not installed.";
constexpr unsigned MemoryErrorCode = 7;
}  // namespace

const uint64_t WaveOutDevice::FirstBufferLimitMs = 3000;
const uint64_t WaveOutDevice::StallLimitMs = 1300;

bool headerDone(const WAVEHDR* header) {
    const DWORD flags = __atomic_load_n(&header->dwFlags, __ATOMIC_ACQUIRE);
    return (flags & WHDR_DONE) && !(flags & WHDR_INQUEUE);
}

void playbackThread(void* arg) {
    auto* engine = static_cast<AudioEngine*>(arg);
    auto* device = new (std::nothrow) WaveOutDevice;
    engine->queueFullEvent.reset();
    if (!device) {
        engine->playbackQueue->setError(MemoryErrorText);
    } else {
        engine->publishWaveOut(device);
        guarded(
            0,
            [engine, device] {
                waitUnless(engine->playReadyEvent, 500, [engine] {
                    return engine->errorRaised.load() || engine->playStopEvent.poll();
                });
                if (!engine->errorRaised.load() && !engine->playStopEvent.poll())
                    device->run(engine);
                return 0;
            },
            [engine, device](const char* text) {
                device->requestStop();
                device->finish(engine);
                engine->playbackQueue->setError(text);
                engine->errorRaised.store(true);
            });
    }
    if (engine->runKind.load() == RunKind::PlayFile) {
        engine->requestFileStop();
        engine->fileDoneEvent.wait(2000);
    }
    engine->playbackQueue->finish();
    engine->playDoneEvent.set();
    engine->publishWaveOut(nullptr);
    // A device that kept buffers may still read them and signal the event: left to it.
    if (device && device->held()) {
        device->leaveBuffers();
    } else {
        delete device;
    }
    engine->threadEnded();
}

WaveOutDevice::WaveOutDevice() {
    format = WAVEFORMATEX{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    caps = WAVEOUTCAPSA{};
    for (int i = 0; i < OutputBuffers; ++i) {
        headers[i] = nullptr;
        data[i] = nullptr;
        prepared[i] = queued[i] = false;
    }
}

WaveOutDevice::~WaveOutDevice() {
    // finish() has run on every path that opened the device; this only frees what is left.
    freeBuffers();
}

bool WaveOutDevice::isFree(int i) {
    if (!queued[i]) return true;
    if (!headerDone(headers[i])) return false;
    queued[i] = false;
    return true;
}

MMRESULT WaveOutDevice::closeDevice() {
    HWAVEOUT h = handle.exchange(nullptr);
    if (!h) return MMSYSERR_NOERROR;
    MMRESULT error = waveOutReset(h);
    bool back = true;
    for (int i = 0; i < OutputBuffers; ++i)
        if (headers[i] && !isFree(i)) back = false;
    for (int i = 0; back && i < OutputBuffers; ++i) {
        if (!prepared[i]) continue;
        headers[i]->dwBufferLength = OutputBufferBytes;  // as it was prepared
        const MMRESULT r = waveOutUnprepareHeader(h, headers[i], sizeof(WAVEHDR));
        if (r == MMSYSERR_NOERROR) {
            prepared[i] = false;
        } else if (error == MMSYSERR_NOERROR) {
            error = r;
        }
    }
    for (int i = 0; i < OutputBuffers; ++i)
        if (queued[i] || prepared[i]) heldByDevice = true;
    const MMRESULT r = waveOutClose(h);
    if (error == MMSYSERR_NOERROR) error = r;
    // Buffers kept by a device that claims success are still the device's failure.
    if (heldByDevice && error == MMSYSERR_NOERROR) error = WAVERR_STILLPLAYING;
    return error;
}

unsigned WaveOutDevice::allocateBuffers() {
    for (int i = 0; i < OutputBuffers; ++i) {
        if (!headers[i]) headers[i] = static_cast<WAVEHDR*>(allocateWaveMemory(sizeof(WAVEHDR)));
        if (!data[i]) data[i] = static_cast<int16_t*>(allocateWaveMemory(OutputBufferBytes));
        if (!headers[i] || !data[i]) return MemoryErrorCode;
        headers[i]->lpData = reinterpret_cast<char*>(data[i]);
    }
    return 0;
}

void WaveOutDevice::leaveBuffers() {
    for (int i = 0; i < OutputBuffers; ++i) {
        leaveToDevice(headers[i]);
        leaveToDevice(data[i]);
    }
    leaveToDevice(this);
}

void WaveOutDevice::freeBuffers() {
    if (heldByDevice) return;
    for (int i = 0; i < OutputBuffers; ++i) {
        freeWaveMemory(headers[i]);
        freeWaveMemory(data[i]);
        headers[i] = nullptr;
        data[i] = nullptr;
        prepared[i] = queued[i] = false;
    }
}

unsigned WaveOutDevice::open(AudioEngine* engine) {
    PlaybackQueue* queue = engine->playbackQueue;
    if (!doneEvent.valid()) {
        // Without its event the loop could not learn of played buffers.
        queue->setWaveOutError(MMSYSERR_NOMEM);
        return MMSYSERR_NOMEM;
    }
    if (waveOutGetNumDevs() == 0) {
        queue->setError(NoDriverText);
        return MMSYSERR_NODRIVER;
    }
    MMRESULT r = waveOutGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps);
    if (r != MMSYSERR_NOERROR) {
        queue->setWaveOutError(r);
        return r;
    }
    HWAVEOUT h = nullptr;
    r = waveOutOpen(&h, WAVE_MAPPER, &format,
                    reinterpret_cast<DWORD_PTR>(doneEvent.callbackHandle()),
                    reinterpret_cast<DWORD_PTR>(this), CALLBACK_EVENT);
    if (r != MMSYSERR_NOERROR) {
        queue->setWaveOutError(r);
        return r;
    }
    handle.store(h);
    // A pause that came after the run was marked playing but before the device existed.
    if (paused.load()) waveOutPause(h);
    if (allocateBuffers() != 0) {
        queue->setError(MemoryErrorText);
        return MemoryErrorCode;
    }
    for (int i = 0; i < OutputBuffers; ++i) {
        // Zero-filled: flags 0 before the prepare, as the API asks. Free to fill until written.
        headers[i]->dwBufferLength = OutputBufferBytes;
        headers[i]->dwBytesRecorded = 0;
        r = waveOutPrepareHeader(h, headers[i], sizeof(WAVEHDR));
        if (r != MMSYSERR_NOERROR) {
            queue->setWaveOutError(r);
            return r;
        }
        prepared[i] = true;
    }
    endReached = drained = false;
    blocksWritten = 0;
    // A pause made while the device was opening holds it from the start.
    appliedPause = false;
    applyPause();
    doneEvent.set();
    return 0;
}

bool WaveOutDevice::stopping(AudioEngine* engine) {
    return stopRequested.load() || engine->playStopEvent.poll();
}

bool WaveOutDevice::waitHeaderDone(int i, AudioEngine* engine) {
    // The device is given the buffer's own time and a second more (more for its first buffers,
    // while a sound server starts the stream); time spent paused does not count.
    const uint64_t limit = blocksWritten <= OutputBuffers ? FirstBufferLimitMs : StallLimitMs;
    uint64_t start = monotonicMs();
    while (!isFree(i)) {
        if (stopping(engine)) return false;
        applyPause();
        if (paused.load()) start = monotonicMs();
        if (monotonicMs() - start > limit) {
            // Buffers are written but none completes: the device has stalled.
            engine->playbackQueue->setWaveOutError(MMSYSERR_ERROR);
            engine->errorRaised.store(true);
            return false;
        }
        doneEvent.wait(50);
        doneEvent.reset();
    }
    return true;
}

void WaveOutDevice::run(AudioEngine* engine) {
    stopRequested.store(false);
    engine->markPlaying();
    PlaybackQueue* queue = engine->playbackQueue;
    if (open(engine) != 0) {
        closeDevice();  // its own error is not the cause: the open's text stays
        freeBuffers();
        engine->errorRaised.store(true);
        return;
    }
    HWAVEOUT h = handle.load();
    int index = 0;
    while (!engine->playStopEvent.poll()) {
        applyPause();
        if (engine->errorRaised.load()) {
            requestStop();
            engine->playStopEvent.set();
        }
        if (stopRequested.load()) {
            endReached = drained = true;
            break;
        }
        int count = 0;
        bool last = false;
        if (queue->getPcm(data[index], count, last)) {
            // Ran dry: wait until the producer has filled the ring (its refused offer sets
            // queueFullEvent), the stream's last block has arrived, or the run is stopped.
            queue->setBuffering(true);
            waitUnless(engine->queueFullEvent, WaitForever, [this, engine, queue] {
                return stopping(engine) || engine->errorRaised.load() ||
                       queue->endOfStreamPending();
            });
            if (queue->getPcm(data[index], count, last)) continue;
        }
        endReached = last;
        if (count != 0) {
            headers[index]->dwBufferLength = static_cast<DWORD>(2 * count);
            MMRESULT r = waveOutWrite(h, headers[index], sizeof(WAVEHDR));
            if (r == MMSYSERR_NOERROR) queued[index] = true;
            if (r != MMSYSERR_NOERROR) {
                closeDevice();
                freeBuffers();
                queue->setWaveOutError(r);
                engine->errorRaised.store(true);
                return;
            }
            ++blocksWritten;
            lastIndex = index;
            if (blocksWritten > 2) queue->setElapsed(blocksWritten - 2);
            if (endReached) break;
        } else if (endReached) {
            drained = true;
            break;
        }
        index = 1 - index;
        // Never refill a buffer the device still holds.
        waitHeaderDone(index, engine);
    }
    finish(engine);
}

void WaveOutDevice::finish(AudioEngine* engine) {
    PlaybackQueue* queue = engine->playbackQueue;
    if (endReached) {
        if (!stopRequested.load() && !engine->errorRaised.load()) {
            // The two end waits: for the buffer before the last, then (once the time has moved
            // to all blocks but the last) for the last one. Each lasts until the device has
            // played its buffer, bounded by the stall limit: a fixed 200 ms can be shorter than
            // a 0.3 s buffer and would cut its end off.
            waitHeaderDone(1 - lastIndex, engine);
            if (!drained) queue->setElapsed(blocksWritten - 1);
            waitHeaderDone(lastIndex, engine);
        }
        queue->setElapsed(blocksWritten);
    }
    const MMRESULT r = closeDevice();
    if (r != MMSYSERR_NOERROR) {
        queue->setWaveOutError(r);
        engine->errorRaised.store(true);
    }
    freeBuffers();
}

// The caller's thread only records what it wants and wakes the loop: the device itself is paused
// and restarted by the playback thread (applyPause), so a driver that blocks in those calls (a
// stalled sound server) holds that thread, never the caller.
void WaveOutDevice::pause() {
    paused.store(true);
    doneEvent.set();
}

void WaveOutDevice::resume() {
    paused.store(false);
    doneEvent.set();
}

void WaveOutDevice::requestStop() {
    stopRequested.store(true);
    doneEvent.set();
}

void WaveOutDevice::applyPause() {
    const bool want = paused.load();
    HWAVEOUT h = handle.load();
    // A stopping device is reset as it is: no restart for the moment before the reset.
    if (want == appliedPause || !h || stopRequested.load()) return;
    appliedPause = want;
    if (want) {
        waveOutPause(h);
    } else {
        waveOutRestart(h);
    }
}

}  // namespace brimvox
