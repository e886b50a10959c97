#include "audio_engine.h"

#include <chrono>

#include "file_thread.h"
#include "sound_thread.h"

namespace brimvox {

AudioEngine::AudioEngine() {
    captureQueue = new CaptureQueue(this);
    playbackQueue = new PlaybackQueue(this);
}

AudioEngine::~AudioEngine() {
    // Threads not joined (one that deletes a retired engine as it ends, or one that outlived
    // every wait) free their own resources when they exit.
    for (ThreadHandle*& t : threadHandles) {
        if (t) releaseThread(t);
        t = nullptr;
    }
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
    // Every thread has ended its work; wait (briefly: they are past their last call) until they
    // have exited, so none runs library code once the caller goes on and may unload it.
    joinThreads(500);
    delete this;
}

bool AudioEngine::busy() const {
    std::lock_guard<std::mutex> lock(threadMutex);
    return runOpen.load() || recording.load() || playing.load() || liveThreads > 0;
}

bool AudioEngine::waitThreadsGone(uint32_t timeoutMs) {
    const uint64_t start = monotonicMs();
    {
        std::unique_lock<std::mutex> lock(threadMutex);
        auto gone = [this] { return liveThreads == 0; };
        if (timeoutMs == WaitForever) {
            threadsChanged.wait(lock, gone);
        } else if (!threadsChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), gone)) {
            return false;
        }
    }
    if (timeoutMs == WaitForever) return joinThreads(WaitForever);
    const uint64_t spent = monotonicMs() - start;
    // At least a moment for the exit itself, which follows the end of the work at once.
    const uint64_t left = spent < timeoutMs ? timeoutMs - spent : 0;
    return joinThreads(static_cast<uint32_t>(left < 50 ? 50 : left));
}

bool AudioEngine::joinThreads(uint32_t timeoutMs) {
    ThreadHandle* taken[ThreadSlots];
    {
        std::lock_guard<std::mutex> lock(threadMutex);
        for (int i = 0; i < ThreadSlots; ++i) {
            taken[i] = threadHandles[i];
            threadHandles[i] = nullptr;
        }
    }
    const uint64_t start = monotonicMs();
    bool all = true;
    for (ThreadHandle*& t : taken) {
        if (!t) continue;
        uint32_t left = 0;
        if (timeoutMs == WaitForever) {
            left = WaitForever;
        } else {
            const uint64_t spent = monotonicMs() - start;
            left = spent < timeoutMs ? static_cast<uint32_t>(timeoutMs - spent) : 0;
        }
        if (joinThread(t, left)) {
            t = nullptr;
        } else {
            all = false;
        }
    }
    if (!all) {
        // Kept for a later wait.
        std::lock_guard<std::mutex> lock(threadMutex);
        for (ThreadHandle* t : taken) {
            if (!t) continue;
            bool kept = false;
            for (ThreadHandle*& slot : threadHandles) {
                if (!slot) {
                    slot = t;
                    kept = true;
                    break;
                }
            }
            if (!kept) releaseThread(t);
        }
    }
    return all;
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
    ThreadHandle* thread = startJoinableThread(entry, this);
    if (!thread) {
        threadEnded();
        return false;
    }
    std::lock_guard<std::mutex> lock(threadMutex);
    for (ThreadHandle*& slot : threadHandles) {
        if (!slot) {
            slot = thread;
            return true;
        }
    }
    releaseThread(thread);  // more threads than a run has: not waited for by handle
    return true;
}

bool AudioEngine::beginRun(RunKind kind) {
    startRefused = true;
    if (runOpen.load() || recording.load() || playing.load()) return false;
    // The last run has ended; let its threads finish winding down before reusing its queue.
    if (!waitThreadsGone(1500)) return false;
    // Blocks of the last recording that were never fetched go now; each run's codec is fresh.
    captureQueue->release();
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
            captureStopEvent.set();
            if (capture) capture->requestStop();
        } else if (kind == RunKind::PlayFile || kind == RunKind::PlayBuffer) {
            if (playback) playback->requestStop();
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
        // Blocks captured before the stop stay for GetBuffer until they are taken.
        captureQueue->releaseWhenDrained();
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
    const bool capturing = kind == RunKind::RecordFile || kind == RunKind::RecordBuffer;
    // A run counts from its start until its end, so a pause while the device still opens (which
    // takes hundreds of ms on a sound server) is kept and applied once it is open.
    if (!runOpen.load() && !(capturing ? recording.load() : playing.load())) return false;
    const bool paused = !runPaused.load();
    runPaused.store(paused);
    SoundThread* thread = capturing ? capture : playback;
    if (thread) thread->setPaused(paused);
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

void AudioEngine::publishCapture(SoundThread* thread) {
    std::lock_guard<std::mutex> lock(deviceMutex);
    capture = thread;
    if (thread) thread->setPaused(runPaused.load());
}

void AudioEngine::publishPlayback(SoundThread* thread) {
    std::lock_guard<std::mutex> lock(deviceMutex);
    playback = thread;
    if (thread) thread->setPaused(runPaused.load());
}

void AudioEngine::publishFileThread(FileThread* thread) {
    std::lock_guard<std::mutex> lock(deviceMutex);
    fileThread = thread;
}

}  // namespace brimvox
