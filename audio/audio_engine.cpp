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
    delete captureQueue;
    delete playbackQueue;
}

void AudioEngine::retire() {
    stop();
    // A thread that is still in a run (stuck in the system, for instance in a file open on a hung
    // mount) keeps the engine alive: events, queues and paths stay valid for it, and it deletes
    // the engine when it ends. Nobody else holds the engine after this, so nothing waits for it.
    {
        std::lock_guard<std::mutex> lock(threadMutex);
        if (liveThreads > 0) {
            retired = true;
            return;
        }
    }
    delete this;
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
    bool last;
    {
        std::lock_guard<std::mutex> lock(threadMutex);
        --liveThreads;
        // Notified under the lock: once it is released this thread touches the engine no more.
        threadsChanged.notify_all();
        last = retired && liveThreads == 0;
    }
    if (last) delete this;
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
    {
        std::lock_guard<std::mutex> lock(deviceMutex);
        runPaused.store(false);
    }
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
    const RunKind kind = runKind.load();
    const bool capture = kind == RunKind::RecordFile || kind == RunKind::RecordBuffer;
    // A run counts from its start until its end, so a pause while the device still opens (which
    // takes hundreds of ms on a sound server) is kept and applied once it is open.
    if (!runOpen.load() && !(capture ? recording.load() : playing.load())) return false;
    const bool paused = !runPaused.load();
    runPaused.store(paused);
    if (capture && waveIn) {
        if (paused) {
            waveIn->pause();
        } else {
            waveIn->resume();
        }
    } else if (!capture && waveOut) {
        if (paused) {
            waveOut->pause();
        } else {
            waveOut->resume();
        }
    }
    return paused;
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
    if (device) device->paused.store(runPaused.load());
}

void AudioEngine::publishWaveOut(WaveOutDevice* device) {
    std::lock_guard<std::mutex> lock(deviceMutex);
    waveOut = device;
    if (device) device->paused.store(runPaused.load());
}

void AudioEngine::publishFileThread(FileThread* thread) {
    std::lock_guard<std::mutex> lock(deviceMutex);
    fileThread = thread;
}

}  // namespace brimvox
