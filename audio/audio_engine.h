// The audio engine behind the Java class NativeAudio: one run at a time (record to a file,
// record to the Java side, play a file, play from the Java side), run by background threads that
// meet through the engine's events, flags and the two codec queues.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "codec_queue.h"
#include "sync.h"

namespace brimvox {

class SoundThread;
class FileThread;

enum class RunKind { None, RecordFile, RecordBuffer, PlayFile, PlayBuffer };

class AudioEngine {
  public:
    AudioEngine();
    // Only through retire(), or with no thread left.
    virtual ~AudioEngine();
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    // Start operations: false if a run is active or starting, or its threads cannot start.
    // Failures inside the run are reported through the queue's error text.
    bool startRecordFile(const char* path);
    bool startRecordBuffer();
    bool startPlayFile(const char* path);
    bool startPlayBuffer();
    // Ends the current run and waits (bounded) for its threads to be gone. Always true.
    bool stop();
    // Toggles the pause of the running recording or playback: true if it paused. A pause made
    // while the run is still starting (its device opening) takes effect once the device is open.
    bool pause();
    // Stops the run (bounded) and gives the engine up: it is destroyed at once if no thread of a
    // run is left, else by the last such thread as it ends. The caller must not use it again.
    void retire();
    // A run is active or starting, or the threads of the last run have not ended yet.
    bool busy() const;

    // Called by the playback loop as it begins.
    void markPlaying();
    // Ends the file thread of a playback run: stopRequested, fileStopEvent, queueSpaceEvent.
    void requestFileStop();
    // Every run thread calls this as its very last access to the engine.
    void threadEnded();
    // Publishing of the device and file-thread objects, guarded against the caller's thread.
    void publishCapture(SoundThread* thread);
    void publishPlayback(SoundThread* thread);
    void publishFileThread(FileThread* thread);

    std::atomic<bool> recording{false};
    std::atomic<bool> playing{false};
    std::atomic<bool> fileThreadRunning{false};
    std::atomic<bool> errorRaised{false};
    CaptureQueue* captureQueue = nullptr;
    PlaybackQueue* playbackQueue = nullptr;
    SoundThread* capture = nullptr;    // guarded by deviceMutex
    SoundThread* playback = nullptr;   // guarded by deviceMutex
    FileThread* fileThread = nullptr;  // guarded by deviceMutex
    std::string recordPath;
    std::string playPath;

    Event captureStopEvent{true};
    Event captureDoneEvent{true};
    Event captureReadyEvent{true};
    Event playStopEvent{true};
    Event playDoneEvent{true};
    Event playReadyEvent{true};
    Event queueFullEvent{true};
    Event fileStopEvent{true};
    Event fileDoneEvent{true};
    Event queueSpaceEvent{true};

    std::atomic<RunKind> runKind{RunKind::None};
    // The pause state the caller has asked for in the current run (guarded by deviceMutex for
    // writing); a device takes it over when it is published.
    std::atomic<bool> runPaused{false};
    // Set by a start operation, cleared when the run's queue is finished or by stop.
    std::atomic<bool> runOpen{false};
    // The last start operation was refused (a run active, or the last run's threads lingering).
    bool startRefused = false;

  private:
    bool beginRun(RunKind kind);
    bool launch(void (*entry)(void*));
    // Waits until the run's threads have ended their work and then fully exited (their handles
    // signalled); false if that took longer than timeoutMs.
    bool waitThreadsGone(uint32_t timeoutMs);
    // Waits up to timeoutMs for every thread whose handle is kept to exit; false if one did not.
    bool joinThreads(uint32_t timeoutMs);

    std::mutex deviceMutex;
    mutable std::mutex threadMutex;
    std::condition_variable threadsChanged;
    int liveThreads = 0;
    bool retired = false;  // guarded by threadMutex
    static constexpr int ThreadSlots = 4;
    // Started and not yet joined; guarded by threadMutex.
    ThreadHandle* threadHandles[ThreadSlots] = {};
};

// Waits until `event` is set, abort() turns true, or timeoutMs passes (WaitForever: no limit);
// true if `event` was set. Looks at abort() every 10 ms.
template <class Abort>
bool waitUnless(Event& event, uint32_t timeoutMs, Abort abort) {
    const uint64_t start = monotonicMs();
    for (;;) {
        if (abort()) return event.poll();
        uint32_t slice = 10;
        if (timeoutMs != WaitForever) {
            const uint64_t spent = monotonicMs() - start;
            if (spent >= timeoutMs) return event.poll();
            if (timeoutMs - spent < slice) slice = static_cast<uint32_t>(timeoutMs - spent);
        }
        if (event.wait(slice)) return true;
    }
}

}  // namespace brimvox
