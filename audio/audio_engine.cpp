#include "audio_engine.h"

#include <chrono>

#include "file_thread.h"
#include "sound_thread.h"

namespace brimvox {

AudioEngine::AudioEngine()
    : capture(std::make_unique<CaptureQueue>(this)),
      playback(std::make_unique<PlaybackQueue>(this)) {}

// Threads not joined (one that destroys a retired engine as it ends, or one that outlived every
// wait) are released with their handles and free their own resources when they exit.
AudioEngine::~AudioEngine() = default;

// The one place where a thread, not the owner, may end the engine's life (with threadEnded): a
// thread that is still in a run (stuck in the system, for instance in a sound server that does
// not answer or a file open on a hung mount) keeps the engine alive, so its signals, queues and
// paths stay valid for it, and it destroys the engine when it ends. Nobody else holds the engine
// after this, so nothing waits for it.
void AudioEngine::retire() {
    stop();
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

bool AudioEngine::idle() const {
    return !runOpen.load() && !recording.load() && !playing.load();
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
    std::unique_ptr<ThreadHandle, ThreadRelease> taken[ThreadSlots];
    {
        std::lock_guard<std::mutex> lock(threadMutex);
        for (int i = 0; i < ThreadSlots; ++i) taken[i] = std::move(threadHandles[i]);
    }
    const uint64_t start = monotonicMs();
    bool all = true;
    for (auto& t : taken) {
        if (!t) continue;
        uint32_t left = 0;
        if (timeoutMs == WaitForever) {
            left = WaitForever;
        } else {
            const uint64_t spent = monotonicMs() - start;
            left = spent < timeoutMs ? static_cast<uint32_t>(timeoutMs - spent) : 0;
        }
        if (joinThread(t.get(), left)) {
            t.release();  // joined: the handle is gone
        } else {
            all = false;
        }
    }
    if (!all) {
        // Kept for a later wait.
        std::lock_guard<std::mutex> lock(threadMutex);
        for (auto& t : taken) {
            if (!t) continue;
            for (auto& slot : threadHandles) {
                if (!slot) {
                    slot = std::move(t);
                    break;
                }
            }
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
    std::unique_ptr<ThreadHandle, ThreadRelease> thread(startJoinableThread(entry, this));
    if (!thread) {
        threadEnded();
        return false;
    }
    std::lock_guard<std::mutex> lock(threadMutex);
    for (auto& slot : threadHandles) {
        if (!slot) {
            slot = std::move(thread);
            return true;
        }
    }
    return true;  // more threads than a run has: released, not waited for by handle
}

bool AudioEngine::beginRun(RunKind kind) {
    startRefused = true;
    if (runOpen.load() || recording.load() || playing.load()) return false;
    // The last run has ended; let its threads finish winding down before reusing its queue.
    if (!waitThreadsGone(1500)) return false;
    // Blocks of the last recording that were never fetched go now; each run's codec is fresh.
    capture->release();
    startRefused = false;
    {
        std::lock_guard<std::mutex> lock(deviceMutex);
        runPaused.store(false);
    }
    runOpen.store(true);
    runKind.store(kind);
    error.store(false);
    return true;
}

bool AudioEngine::startRecordFile(const char* path) {
    if (!beginRun(RunKind::RecordFile)) return false;
    recordTo = path ? path : "";
    signal.fileStop.reset();
    signal.fileDone.reset();
    signal.captureReady.reset();
    signal.captureStop.reset();
    signal.captureDone.reset();
    // Prepared before any thread starts, so the writer never finds the queue half made.
    capture->prepare(CaptureBlockSamples);
    if (!launch(fileWriterThread)) {
        capture->release();
        runOpen.store(false);
        return false;
    }
    if (!launch(captureThread)) {
        signal.captureStop.set();
        signal.fileStop.set();
        capture->setError("Memory allocation error.");
        runOpen.store(false);
        return false;
    }
    return true;
}

bool AudioEngine::startRecordBuffer() {
    if (!beginRun(RunKind::RecordBuffer)) return false;
    signal.captureStop.reset();
    signal.captureDone.reset();
    signal.captureReady.set();
    capture->prepare(CaptureBlockSamples);
    if (!launch(captureThread)) {
        capture->release();
        runOpen.store(false);
        return false;
    }
    return true;
}

bool AudioEngine::startPlayFile(const char* path) {
    if (!beginRun(RunKind::PlayFile)) return false;
    playFrom = path ? path : "";
    signal.fileStop.reset();
    signal.fileDone.reset();
    signal.playReady.reset();
    signal.playStop.reset();
    signal.playDone.reset();
    signal.queueSpace.set();
    // Prepared before the reader starts: an offer that found no codec would be refused and
    // leave the reader and the playback thread each waiting for the other.
    playback->prepare(PlaybackSlotSamples);
    if (!launch(fileReaderThread)) {
        playback->release();
        runOpen.store(false);
        return false;
    }
    if (!launch(playbackThread)) {
        signal.playStop.set();
        requestFileStop();
        playback->setError("Memory allocation error.");
        runOpen.store(false);
        return false;
    }
    return true;
}

bool AudioEngine::startPlayBuffer() {
    if (!beginRun(RunKind::PlayBuffer)) return false;
    signal.playStop.reset();
    signal.playDone.reset();
    signal.playReady.set();
    playback->prepare(PlaybackSlotSamples);
    if (!launch(playbackThread)) {
        playback->release();
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
            signal.captureStop.set();
            if (captureLoop) captureLoop->requestStop();
        } else if (kind == RunKind::PlayFile || kind == RunKind::PlayBuffer) {
            if (playbackLoop) playbackLoop->requestStop();
            if (fileThread) fileThread->stopRequested.store(true);
        }
    }
    if (kind == RunKind::PlayFile || kind == RunKind::PlayBuffer) {
        signal.fileStop.set();
        signal.queueSpace.set();
        signal.playStop.set();
    }
    // A recording's writer is stopped by the capture thread after its last block, so that the
    // writer's final drain keeps every captured block.
    if (waitThreadsGone(1400)) {
        // Blocks captured before the stop stay for GetBuffer until they are taken.
        capture->releaseWhenDrained();
        playback->release();
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
    SoundThread* thread = capturing ? captureLoop : playbackLoop;
    if (thread) thread->setPaused(paused);
    return paused;
}

bool AudioEngine::soundStopRequested(Direction d) {
    return (d == Direction::Capture ? signal.captureStop : signal.playStop).poll();
}

void AudioEngine::stopSound(Direction d) {
    (d == Direction::Capture ? signal.captureStop : signal.playStop).set();
}

void AudioEngine::soundEnded(Direction d) {
    (d == Direction::Capture ? signal.captureDone : signal.playDone).set();
}

bool AudioEngine::waitSoundGo(Direction d, uint32_t timeoutMs) {
    Event& ready = d == Direction::Capture ? signal.captureReady : signal.playReady;
    waitUnless(ready, timeoutMs, [this, d] { return errorRaised() || soundStopRequested(d); });
    return !errorRaised() && !soundStopRequested(d);
}

void AudioEngine::fileReady(Direction d) {
    (d == Direction::Capture ? signal.captureReady : signal.playReady).set();
}

void AudioEngine::markRingFull(bool full) {
    if (full) {
        signal.queueFull.set();
    } else {
        signal.queueFull.reset();
    }
}

void AudioEngine::markRingSpace(bool space) {
    if (space) {
        signal.queueSpace.set();
    } else {
        signal.queueSpace.reset();
    }
}

void AudioEngine::endRun(bool capturing) {
    if (capturing) {
        recording.store(false);
    } else {
        playing.store(false);
    }
    runOpen.store(false);
}

void AudioEngine::markPlaying() {
    playing.store(true);
    playback->clearStopped();
}

void AudioEngine::requestFileStop() {
    {
        std::lock_guard<std::mutex> lock(deviceMutex);
        if (fileThread) fileThread->stopRequested.store(true);
    }
    signal.fileStop.set();
    signal.queueSpace.set();
}

void AudioEngine::publishCapture(SoundThread* thread) {
    std::lock_guard<std::mutex> lock(deviceMutex);
    captureLoop = thread;
    if (thread) thread->setPaused(runPaused.load());
}

void AudioEngine::publishPlayback(SoundThread* thread) {
    std::lock_guard<std::mutex> lock(deviceMutex);
    playbackLoop = thread;
    if (thread) thread->setPaused(runPaused.load());
}

void AudioEngine::publishFileThread(FileThread* thread) {
    std::lock_guard<std::mutex> lock(deviceMutex);
    fileThread = thread;
}

}  // namespace brimvox
