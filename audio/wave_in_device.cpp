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
        HWAVEIN h = handle.load();
        wakeEvent.reset();
        requeueCount = 0;
        nextIndex = 0;
        bufferEvent.reset();
        bool failed = false;
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
            failed = true;
        }
        // The pause flag too: a pause that came while the device was opening had its wake-up
        // cleared above, and would otherwise go unnoticed while the engine reports it paused.
        while (!failed && !wakeEvent.poll() && !paused.load()) {
            // Bounded, so that a pause or stop reaches the loop even when no buffer completes
            // (for example when the device has refused every buffer handed back to it).
            if (!bufferEvent.wait(100)) continue;
            if (engine->errorRaised.load()) {
                engine->captureStopEvent.set();
                break;
            }
            for (int n = 0; n < InputBuffers; ++n) {
                WAVEHDR* hdr = headers[nextIndex];
                if (!headerDone(hdr) || hdr->dwBytesRecorded < InputBufferBytes) break;
                queue->putPcm(data[nextIndex]);
                ++blocks;
                queue->setElapsed(blocks);
                hdr->dwBytesRecorded = 0;
                requeueList[requeueCount++] = nextIndex;
                requeue();
                nextIndex = static_cast<int16_t>((nextIndex + 1) % InputBuffers);
            }
        }
        if (failed) break;
        r = waveInReset(h);
        if (r != MMSYSERR_NOERROR) {
            handle.store(nullptr);
            waveInClose(h);
            queue->setWaveInError(r);
            engine->errorRaised.store(true);
            return r;
        }
        while (paused.load() && !engine->captureStopEvent.poll()) wakeEvent.wait(100);
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
