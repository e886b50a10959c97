#include "wave_in_device.h"

#include <new>

#include "audio_engine.h"
#include "boundary.h"
#include "wave_memory.h"

namespace brimvox {

bool headerDone(const WAVEHDR* header);

namespace {
constexpr const char* NoDriverText = " Sound driver is not installed.";
constexpr unsigned MemoryErrorCode = 7;
// Longest time without a completed buffer before the device counts as stalled: for the first
// buffer of a start (a sound server may take over a second to deliver it), and afterwards (a
// second beyond the 90 ms a buffer takes).
constexpr uint64_t FirstBufferLimitMs = 3000;
constexpr uint64_t StallLimitMs = 1100;
}  // namespace

void captureThread(void* arg) {
    auto* engine = static_cast<AudioEngine*>(arg);
    auto* device = new (std::nothrow) WaveInDevice;
    if (!device) {
        engine->captureQueue->setError(MemoryErrorText);
    } else {
        engine->publishWaveIn(device);
        guarded(
            0,
            [engine, device] {
                waitUnless(engine->captureReadyEvent, 500, [engine] {
                    return engine->errorRaised.load() || engine->captureStopEvent.poll();
                });
                if (!engine->errorRaised.load() && !engine->captureStopEvent.poll())
                    device->run(engine);
                return 0;
            },
            [engine, device](const char* text) {
                device->close(engine);
                engine->captureQueue->setError(text);
                engine->errorRaised.store(true);
                engine->captureStopEvent.set();
            });
    }
    if (engine->runKind.load() == RunKind::RecordFile) {
        // The writer drains what is left in the ring before it closes the file.
        engine->fileStopEvent.set();
        engine->fileDoneEvent.wait(2000);
    }
    engine->captureQueue->finish();
    engine->publishWaveIn(nullptr);
    // A device that kept buffers may still write into them and signal the event: left to it.
    if (device && device->held()) {
        device->leaveBuffers();
    } else {
        delete device;
    }
    engine->captureDoneEvent.set();
    engine->threadEnded();
}

WaveInDevice::WaveInDevice() {
    format = WAVEFORMATEX{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    caps = WAVEINCAPSA{};
    for (int i = 0; i < InputBuffers; ++i) {
        headers[i] = nullptr;
        data[i] = nullptr;
        prepared[i] = queued[i] = false;
    }
}

WaveInDevice::~WaveInDevice() {
    // close() has run on every path that opened the device; this only frees what is left.
    if (!heldByDevice) freeBuffers();
}

void WaveInDevice::leaveBuffers() {
    for (int i = 0; i < InputBuffers; ++i) {
        leaveToDevice(headers[i]);
        leaveToDevice(data[i]);
    }
    leaveToDevice(this);
}

void WaveInDevice::freeBuffers() {
    if (heldByDevice) return;
    for (int i = 0; i < InputBuffers; ++i) {
        freeWaveMemory(headers[i]);
        freeWaveMemory(data[i]);
        headers[i] = nullptr;
        data[i] = nullptr;
        prepared[i] = queued[i] = false;
    }
}

unsigned WaveInDevice::open(AudioEngine* engine) {
    handle.store(nullptr);
    CaptureQueue* queue = engine->captureQueue;
    if (!bufferEvent.valid() || !wakeEvent.valid()) {
        // Without its events the loop could neither wait for buffers nor be woken.
        queue->setWaveInError(MMSYSERR_NOMEM);
        return MMSYSERR_NOMEM;
    }
    if (waveInGetNumDevs() == 0) {
        queue->setError(NoDriverText);
        return 1;
    }
    MMRESULT r = waveInGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps);
    if (r != MMSYSERR_NOERROR) {
        queue->setWaveInError(r);
        return r;
    }
    for (int i = 0; i < InputBuffers; ++i) {
        // Zero-filled: flags 0 before the first prepare, as the API asks.
        if (!headers[i]) headers[i] = static_cast<WAVEHDR*>(allocateWaveMemory(sizeof(WAVEHDR)));
        if (!data[i]) data[i] = static_cast<int16_t*>(allocateWaveMemory(InputBufferBytes));
        if (!headers[i] || !data[i]) {
            queue->setError(MemoryErrorText);
            return MemoryErrorCode;
        }
        headers[i]->lpData = reinterpret_cast<char*>(data[i]);
        headers[i]->dwBufferLength = InputBufferBytes;
        headers[i]->dwBytesRecorded = 0;
    }
    HWAVEIN h = nullptr;
    r = waveInOpen(&h, WAVE_MAPPER, &format,
                   reinterpret_cast<DWORD_PTR>(bufferEvent.callbackHandle()),
                   reinterpret_cast<DWORD_PTR>(this), CALLBACK_EVENT);
    if (r != MMSYSERR_NOERROR) {
        queue->setWaveInError(r);
        return r;
    }
    handle.store(h);
    return 0;
}

bool WaveInDevice::reclaim() {
    bool all = true;
    for (int i = 0; i < InputBuffers; ++i) {
        if (!queued[i]) continue;
        if (headerDone(headers[i])) {
            queued[i] = false;
        } else {
            all = false;
        }
    }
    return all;
}

void WaveInDevice::close(AudioEngine* engine) {
    CaptureQueue* queue = engine->captureQueue;
    HWAVEIN h = handle.exchange(nullptr);
    MMRESULT error = MMSYSERR_NOERROR;
    if (h) {
        error = waveInReset(h);
        const bool back = reclaim();
        for (int i = 0; back && i < InputBuffers; ++i) {
            if (!prepared[i]) continue;
            headers[i]->dwBufferLength = InputBufferBytes;  // as it was prepared
            const MMRESULT r = waveInUnprepareHeader(h, headers[i], sizeof(WAVEHDR));
            if (r == MMSYSERR_NOERROR) {
                prepared[i] = false;
            } else if (error == MMSYSERR_NOERROR) {
                error = r;
            }
        }
        for (int i = 0; i < InputBuffers; ++i)
            if (queued[i] || prepared[i]) heldByDevice = true;
        const MMRESULT r = waveInClose(h);
        if (error == MMSYSERR_NOERROR) error = r;
        // Buffers kept by a device that claims success are still the device's failure.
        if (heldByDevice && error == MMSYSERR_NOERROR) error = WAVERR_STILLPLAYING;
    }
    if (error != MMSYSERR_NOERROR) {
        queue->setWaveInError(error);
        engine->errorRaised.store(true);
    }
    freeBuffers();
}

MMRESULT WaveInDevice::requeue() {
    HWAVEIN h = handle.load();
    int kept = 0;
    MMRESULT failure = MMSYSERR_NOERROR;
    for (int k = 0; k < requeueCount; ++k) {
        const int i = requeueList[k];
        if (kept == 0 && failure == MMSYSERR_NOERROR) {
            headers[i]->dwBytesRecorded = 0;
            const MMRESULT r = waveInAddBuffer(h, headers[i], sizeof(WAVEHDR));
            if (r == MMSYSERR_NOERROR) {
                queued[i] = true;
                continue;
            }
            if (r != MMSYSERR_NOMEM) failure = r;
        }
        requeueList[kept++] = i;
    }
    requeueCount = kept;
    return failure;
}

void WaveInDevice::fail(AudioEngine* engine, MMRESULT code) {
    // Every block captured before is in the ring already; the run ends with the text.
    close(engine);
    engine->captureQueue->setWaveInError(code);
    engine->errorRaised.store(true);
    engine->captureStopEvent.set();
}

unsigned WaveInDevice::run(AudioEngine* engine) {
    engine->recording.store(true);
    CaptureQueue* queue = engine->captureQueue;
    int blocks = 0;
    if (open(engine) != 0) {
        close(engine);
        engine->errorRaised.store(true);
        engine->captureStopEvent.set();
    }
    while (!engine->captureStopEvent.poll()) {
        if (paused.load()) {
            // Paused (also by a pause made while the device was opening): the device stays
            // stopped until a resume or a stop.
            wakeEvent.wait(100);
            continue;
        }
        HWAVEIN h = handle.load();
        wakeEvent.reset();
        requeueCount = 0;
        nextIndex = 0;
        bufferEvent.reset();
        MMRESULT r = waveInStart(h);
        for (int i = 0; r == MMSYSERR_NOERROR && i < InputBuffers; ++i) {
            headers[i]->dwBytesRecorded = 0;
            if (!prepared[i]) {
                r = waveInPrepareHeader(h, headers[i], sizeof(WAVEHDR));
                if (r != MMSYSERR_NOERROR) break;
                prepared[i] = true;
            }
            r = waveInAddBuffer(h, headers[i], sizeof(WAVEHDR));
            if (r == MMSYSERR_NOERROR) queued[i] = true;
        }
        if (r != MMSYSERR_NOERROR) {
            fail(engine, r);
            break;
        }
        // The first buffer may take a while on a sound server that starts its stream; after
        // that each should complete within its 90 ms.
        uint64_t lastBuffer = monotonicMs();
        uint64_t limit = FirstBufferLimitMs;
        MMRESULT failure = MMSYSERR_NOERROR;
        // The pause and stop states are looked at too: a wake that came between the check at
        // the top and the reset above is gone.
        while (!wakeEvent.poll() && !paused.load() && !engine->captureStopEvent.poll()) {
            // Bounded, so that a pause or stop reaches the loop even when no buffer completes
            // (for example when the device has refused every buffer handed back to it).
            const bool signalled = bufferEvent.wait(100);
            if (engine->errorRaised.load()) {
                engine->captureStopEvent.set();
                break;
            }
            for (int n = 0; signalled && n < InputBuffers; ++n) {
                const int i = nextIndex;
                WAVEHDR* hdr = headers[i];
                if (!queued[i] || !headerDone(hdr)) break;
                queued[i] = false;  // back from the device: free to fill
                if (hdr->dwBytesRecorded >= InputBufferBytes) {
                    queue->putPcm(data[i]);
                    ++blocks;
                    queue->setElapsed(blocks);
                    lastBuffer = monotonicMs();
                    limit = StallLimitMs;
                }
                // A buffer handed back short while running (a driver's odd return, or a device
                // that fails: then the re-queue below tells how) is dropped whole: a block is
                // 90 ms of sound, and padding it would put a gap of silence into the speech.
                requeueList[requeueCount++] = i;
                nextIndex = static_cast<int16_t>((i + 1) % InputBuffers);
            }
            // Buffers refused for want of memory are offered again after each wake.
            failure = requeue();
            if (failure != MMSYSERR_NOERROR) break;
            if (monotonicMs() - lastBuffer > limit) {
                // No full buffer for too long (none queued, or queued ones never complete):
                // the device has stalled.
                failure = MMSYSERR_ERROR;
                break;
            }
        }
        if (failure != MMSYSERR_NOERROR) {
            fail(engine, failure);
            break;
        }
        if (engine->errorRaised.load()) break;
        r = waveInReset(h);
        if (!reclaim() || r != MMSYSERR_NOERROR) {
            // Buffers the device will not give back are never refilled or freed.
            fail(engine, r != MMSYSERR_NOERROR ? r : MMSYSERR_ERROR);
            return r;
        }
    }
    close(engine);
    return 0;
}

void WaveInDevice::requestStop(AudioEngine* engine) {
    engine->captureStopEvent.set();
    paused.store(false);
    wakeEvent.set();
}

void WaveInDevice::pause() {
    paused.store(true);
    wakeEvent.set();
}

void WaveInDevice::resume() {
    paused.store(false);
    wakeEvent.set();
}

}  // namespace brimvox
