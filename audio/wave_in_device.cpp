#include "wave_in_device.h"

#include <new>

#include "audio_engine.h"
#include "wave_memory.h"

namespace brimvox {

bool headerDone(const WAVEHDR* header);

namespace {
constexpr const char* NoDriverText = " Sound driver is not installed.";
constexpr const char* MemoryErrorText = "Memory allocation error.";
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
        waitUnless(engine->captureReadyEvent, 500, [engine] {
            return engine->errorRaised.load() || engine->captureStopEvent.poll();
        });
        if (!engine->errorRaised.load() && !engine->captureStopEvent.poll()) device->run(engine);
    }
    if (engine->runKind.load() == RunKind::RecordFile) {
        // The writer drains what is left in the ring before it closes the file.
        engine->fileStopEvent.set();
        engine->fileDoneEvent.wait(2000);
    }
    engine->captureQueue->finish();
    engine->publishWaveIn(nullptr);
    delete device;
    engine->captureDoneEvent.set();
    engine->threadEnded();
}

WaveInDevice::WaveInDevice() {
    format = WAVEFORMATEX{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    caps = WAVEINCAPSA{};
    for (int i = 0; i < InputBuffers; ++i) {
        headers[i] = nullptr;
        data[i] = nullptr;
    }
}

WaveInDevice::~WaveInDevice() {
    HWAVEIN h = handle.exchange(nullptr);
    if (h) {
        waveInReset(h);
        waveInClose(h);
    }
    freeBuffers();
}

void WaveInDevice::freeBuffers() {
    for (int i = 0; i < InputBuffers; ++i) {
        freeWaveMemory(headers[i]);
        freeWaveMemory(data[i]);
        headers[i] = nullptr;
        data[i] = nullptr;
    }
}

unsigned WaveInDevice::open(AudioEngine* engine) {
    handle.store(nullptr);
    CaptureQueue* queue = engine->captureQueue;
    if (waveInGetNumDevs() == 0) {
        queue->setError(NoDriverText);
        return 1;
    }
    MMRESULT r = waveInGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps);
    if (r != MMSYSERR_NOERROR) {
        queue->setWaveInError(r);
        return r;
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
    for (int i = 0; i < InputBuffers; ++i) {
        if (!headers[i]) headers[i] = static_cast<WAVEHDR*>(allocateWaveMemory(sizeof(WAVEHDR)));
        if (!data[i]) data[i] = static_cast<int16_t*>(allocateWaveMemory(InputBufferBytes));
        if (!headers[i] || !data[i]) {
            queue->setError(MemoryErrorText);
            return MemoryErrorCode;
        }
        headers[i]->lpData = reinterpret_cast<char*>(data[i]);
        headers[i]->dwBufferLength = InputBufferBytes;
        headers[i]->dwBytesRecorded = 0;
        headers[i]->dwFlags = WHDR_DONE;
    }
    return 0;
}

void WaveInDevice::close(AudioEngine* engine) {
    CaptureQueue* queue = engine->captureQueue;
    HWAVEIN h = handle.load();
    if (h) {
        MMRESULT r = waveInReset(h);
        if (r != MMSYSERR_NOERROR) {
            handle.store(nullptr);
            waveInClose(h);
            queue->setWaveInError(r);
            engine->errorRaised.store(true);
            h = nullptr;
        }
    }
    if (h) {
        handle.store(nullptr);
        MMRESULT r = waveInClose(h);
        if (r != MMSYSERR_NOERROR) {
            queue->setWaveInError(r);
            engine->errorRaised.store(true);
        }
    }
    freeBuffers();
}

void WaveInDevice::requeue() {
    HWAVEIN h = handle.load();
    int kept = 0;
    bool refused = false;
    for (int k = 0; k < requeueCount; ++k) {
        const int i = requeueList[k];
        if (!refused && waveInAddBuffer(h, headers[i], sizeof(WAVEHDR)) == MMSYSERR_NOERROR)
            continue;
        refused = true;
        requeueList[kept++] = i;
    }
    requeueCount = kept;
}

unsigned WaveInDevice::run(AudioEngine* engine) {
    engine->recording.store(true);
    CaptureQueue* queue = engine->captureQueue;
    int blocks = 0;
    if (open(engine) != 0) {
        HWAVEIN h = handle.exchange(nullptr);
        if (h) waveInClose(h);
        freeBuffers();
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
            r = waveInPrepareHeader(h, headers[i], sizeof(WAVEHDR));
            if (r == MMSYSERR_NOERROR) r = waveInAddBuffer(h, headers[i], sizeof(WAVEHDR));
        }
        if (r != MMSYSERR_NOERROR) {
            close(engine);
            queue->setWaveInError(r);
            engine->errorRaised.store(true);
            engine->captureStopEvent.set();
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
            if (!bufferEvent.wait(100)) {
                if (requeueCount < InputBuffers && monotonicMs() - lastBuffer > limit) {
                    // Buffers are queued but none completes: the device has stalled.
                    failure = MMSYSERR_ERROR;
                    break;
                }
                continue;
            }
            if (engine->errorRaised.load()) {
                engine->captureStopEvent.set();
                break;
            }
            for (int n = 0; n < InputBuffers; ++n) {
                WAVEHDR* hdr = headers[nextIndex];
                if (!headerDone(hdr)) break;
                if (hdr->dwBytesRecorded < InputBufferBytes) {
                    // Handed back unfilled while running: the device has failed (unplugged, its
                    // server gone). Offering the buffer again tells how; one that is taken back
                    // is a driver's odd return and just counts as lost.
                    const MMRESULT again = waveInAddBuffer(h, hdr, sizeof(WAVEHDR));
                    if (again != MMSYSERR_NOERROR && again != MMSYSERR_NOMEM) failure = again;
                    break;
                }
                queue->putPcm(data[nextIndex]);
                ++blocks;
                queue->setElapsed(blocks);
                lastBuffer = monotonicMs();
                limit = StallLimitMs;
                hdr->dwBytesRecorded = 0;
                requeueList[requeueCount++] = nextIndex;
                requeue();
                nextIndex = static_cast<int16_t>((nextIndex + 1) % InputBuffers);
            }
            if (failure != MMSYSERR_NOERROR) break;
        }
        if (failure != MMSYSERR_NOERROR) {
            // Every block captured before is in the ring already; the run ends with the text.
            close(engine);
            queue->setWaveInError(failure);
            engine->errorRaised.store(true);
            engine->captureStopEvent.set();
            break;
        }
        r = waveInReset(h);
        if (r != MMSYSERR_NOERROR) {
            handle.store(nullptr);
            waveInClose(h);
            queue->setWaveInError(r);
            engine->errorRaised.store(true);
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
