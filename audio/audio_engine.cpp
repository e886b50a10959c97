#include "audio_engine.h"

#include <chrono>

#include "file_thread.h"
#include "wave_in_device.h"
#include "wave_out_device.h"

namespace brimvox {

AudioEngine::AudioEngine() {
    captureQueue = new CaptureQueue(this);
    playbackQueue = new PlaybackQueue(this);
}

AudioEngine::~AudioEngine() {
    stop();
    // No thread may outlive the engine: wait for the last one however long it takes. Every wait
    // inside a run ends on a stop, so this returns as soon as the threads have wound down.
    waitThreadsGone(WaitForever);
    delete captureQueue;
    delete playbackQueue;
}

bool AudioEngine::busy() const {
    std::lock_guard<std::mutex> lock(threadMutex);
    return runOpen.load() || recording.load() || playing.load() || liveThreads > 0;
}

bool AudioEngine::waitThreadsGone(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(threadMutex);
    auto gone = [this] { return liveThreads == 0; };
    if (timeoutMs == WaitForever) {
        threadsChanged.wait(lock, gone);
        return true;
    }
    return threadsChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), gone);
}

void AudioEngine::threadEnded() {
    std::lock_guard<std::mutex> lock(threadMutex);
    --liveThreads;
    // Notified under the lock: once it is released this thread touches the engine no more.
    threadsChanged.notify_all();
}

bool AudioEngine::launch(void (*entry)(void*)) {
    {
        std::lock_guard<std::mutex> lock(threadMutex);
        ++liveThreads;
    }
    if (startThread(entry, this)) return true;
    threadEnded();
    return false;
}

bool AudioEngine::beginRun(RunKind kind) {
    startRefused = true;
    if (runOpen.load() || recording.load() || playing.load()) return false;
    // The last run has ended; let its threads finish winding down before reusing its queue.
    if (!waitThreadsGone(1500)) return false;
    startRefused = false;
    runOpen.store(true);
    runKind.store(kind);
    errorRaised.store(false);
    return true;
}

bool AudioEngine::startRecordFile(const char* path) {
    if (!beginRun(RunKind::RecordFile)) return false;
    recordPath = path ? path : "";
    fileStopEvent.reset();
    fileDoneEvent.reset();
    captureReadyEvent.reset();
    captureStopEvent.reset();
    captureDoneEvent.reset();
    // Prepared before any thread starts, so the writer never finds the queue half made.
    captureQueue->prepare(CaptureBlockSamples);
    if (!launch(fileWriterThread)) {
        captureQueue->release();
        runOpen.store(false);
        return false;
    }
    if (!launch(captureThread)) {
        captureStopEvent.set();
        fileStopEvent.set();
        captureQueue->setError("Memory allocation error.");
        runOpen.store(false);
        return false;
    }
    return true;
}

bool AudioEngine::startRecordBuffer() {
    if (!beginRun(RunKind::RecordBuffer)) return false;
    captureStopEvent.reset();
    captureDoneEvent.reset();
    captureReadyEvent.set();
    captureQueue->prepare(CaptureBlockSamples);
    if (!launch(captureThread)) {
        captureQueue->release();
        runOpen.store(false);
        return false;
    }
    return true;
}

bool AudioEngine::startPlayFile(const char* path) {
    if (!beginRun(RunKind::PlayFile)) return false;
    playPath = path ? path : "";
    fileStopEvent.reset();
    fileDoneEvent.reset();
    playReadyEvent.reset();
    playStopEvent.reset();
    playDoneEvent.reset();
    queueSpaceEvent.set();
    // Prepared before the reader starts: an offer that found no codec would be refused and
    // leave the reader and the playback thread each waiting for the other.
    playbackQueue->prepare(PlaybackSlotSamples);
    playbackQueue->setBuffering(true);
    if (!launch(fileReaderThread)) {
        playbackQueue->release();
        runOpen.store(false);
        return false;
    }
    if (!launch(playbackThread)) {
        playStopEvent.set();
        requestFileStop();
        playbackQueue->setError("Memory allocation error.");
        runOpen.store(false);
        return false;
    }
    return true;
}

bool AudioEngine::startPlayBuffer() {
    if (!beginRun(RunKind::PlayBuffer)) return false;
    playStopEvent.reset();
    playDoneEvent.reset();
    playReadyEvent.set();
    playbackQueue->prepare(PlaybackSlotSamples);
    playbackQueue->setBuffering(true);
    if (!launch(playbackThread)) {
        playbackQueue->release();
        runOpen.store(false);
        return false;
    }
    return true;
}

bool AudioEngine::stop() {
    const RunKind kind = runKind.load();
    bool threads;
    {
        std::lock_guard<std::mutex> lock(threadMutex);
        threads = liveThreads > 0;
    }
    if (!threads && !runOpen.load() && !recording.load() && !playing.load()) return true;
    {
        std::lock_guard<std::mutex> lock(deviceMutex);
        if (kind == RunKind::RecordFile || kind == RunKind::RecordBuffer) {
            if (waveIn) {
                waveIn->requestStop(this);
            } else {
                captureStopEvent.set();
            }
        } else if (kind == RunKind::PlayFile || kind == RunKind::PlayBuffer) {
            if (waveOut) {
                waveOut->requestStop();
                if (waveOut->isPaused()) waveOut->resume();
            }
            if (fileThread) fileThread->stopRequested.store(true);
        }
    }
    if (kind == RunKind::PlayFile || kind == RunKind::PlayBuffer) {
        fileStopEvent.set();
        queueSpaceEvent.set();
        playStopEvent.set();
    }
    // A recording's writer is stopped by the capture thread after its last block, so that the
    // writer's final drain keeps every captured block.
    if (waitThreadsGone(1400)) {
        captureQueue->release();
        playbackQueue->release();
    }
    // Otherwise the threads finish their queue themselves as they end; a new start waits for them.
    recording.store(false);
    playing.store(false);
    runOpen.store(false);
    return true;
}

bool AudioEngine::pause() {
    std::lock_guard<std::mutex> lock(deviceMutex);
    if (recording.load()) {
        if (!waveIn) return false;
        if (waveIn->isPaused()) {
            waveIn->resume();
            return false;
        }
        waveIn->pause();
        return true;
    }
    if (playing.load()) {
        if (!waveOut) return false;
        if (waveOut->isPaused()) {
            waveOut->resume();
            return false;
        }
        waveOut->pause();
        return true;
    }
    return false;
}

void AudioEngine::markPlaying() {
    playing.store(true);
    playbackQueue->clearStopped();
}

void AudioEngine::requestFileStop() {
    {
        std::lock_guard<std::mutex> lock(deviceMutex);
        if (fileThread) fileThread->stopRequested.store(true);
    }
    fileStopEvent.set();
    queueSpaceEvent.set();
}

void AudioEngine::publishWaveIn(WaveInDevice* device) {
    std::lock_guard<std::mutex> lock(deviceMutex);
    waveIn = device;
}

void AudioEngine::publishWaveOut(WaveOutDevice* device) {
    std::lock_guard<std::mutex> lock(deviceMutex);
    waveOut = device;
}

void AudioEngine::publishFileThread(FileThread* thread) {
    std::lock_guard<std::mutex> lock(deviceMutex);
    fileThread = thread;
}

}  // namespace brimvox
