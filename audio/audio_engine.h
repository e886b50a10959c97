// The audio engine behind the Java class NativeAudio: one run at a time (record to a file,
// record to the Java side, play a file, play from the Java side), run by background threads that
// meet through the engine's signals and the two codec queues.
//
// Lifetime: the engine is owned by whoever created it and given up with retire(). The one
// exception to plain ownership lives in retire() and threadEnded(): a run's thread stuck in the
// system (a hung sound server or mount) keeps a retired engine alive, and the last such thread
// to end destroys it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "codec_queue.h"
#include "sound_device.h"
#include "sync.h"

namespace brimvox {

class SoundThread;
class FileThread;

enum class RunKind { None, RecordFile, RecordBuffer, PlayFile, PlayBuffer };

class AudioEngine {
  public:
    AudioEngine();
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
    // No run is active or starting: a start may be tried.
    bool idle() const;
    // The last start operation was refused (a run active, or the last run's threads lingering).
    bool lastStartRefused() const { return startRefused; }

    CaptureQueue* captureQueue() { return capture.get(); }
    PlaybackQueue* playbackQueue() { return playback.get(); }
    RunKind kind() const { return runKind.load(); }
    const std::string& recordPath() const { return recordTo; }
    const std::string& playPath() const { return playFrom; }

    // The run's state as its threads set it.
    bool isRecording() const { return recording.load(); }
    bool isPlaying() const { return playing.load(); }
    void setRecording(bool on) { recording.store(on); }
    // Called by the playback loop as it begins.
    void markPlaying();
    // A queue has finished its run: recording or playing, and the run itself, are over.
    void endRun(bool capture);
    // A failure has ended (or is ending) the run; its text is in a queue.
    bool errorRaised() const { return error.load(); }
    void raiseError() { error.store(true); }

    // The run's signals, as its threads use them. The sound side (capture or playback thread):
    // whether it is to end, asking it to end, its end, and its go (a wait of up to timeoutMs
    // for the file thread to be ready, cut short by an error or a stop; true if the run may
    // begin).
    bool soundStopRequested(Direction d);
    void stopSound(Direction d);
    void soundEnded(Direction d);
    bool waitSoundGo(Direction d, uint32_t timeoutMs);
    // The file side: ready (the sound side may begin), to end (after its last drain), ended.
    void fileReady(Direction d);
    bool fileStopRequested() { return signal.fileStop.poll(); }
    void stopFile() { signal.fileStop.set(); }
    bool waitFileStop(uint32_t timeoutMs) { return signal.fileStop.wait(timeoutMs); }
    void fileEnded() { signal.fileDone.set(); }
    bool waitFileEnded(uint32_t timeoutMs) { return signal.fileDone.wait(timeoutMs); }
    // The playback ring's handshake: the producer found it full; it has room again.
    void markRingFull(bool full);
    bool waitRingFull(uint32_t timeoutMs) { return signal.queueFull.wait(timeoutMs); }
    void markRingSpace(bool space);
    bool ringSpaceMarked() { return signal.queueSpace.poll(); }
    // Waits until the ring has room or abort() turns true.
    template <class Abort>
    void waitRingSpace(Abort abort);
    // Ends the file thread of a playback run: its stop request, its end, the ring's room.
    void requestFileStop();
    // Every run thread calls this as its very last access to the engine.
    void threadEnded();
    // Publishing of the sound and file threads, guarded against the caller's thread.
    void publishCapture(SoundThread* thread);
    void publishPlayback(SoundThread* thread);
    void publishFileThread(FileThread* thread);

  private:
    // The events a run's threads meet through. Manual-reset; each start resets those of its run.
    struct RunSignals {
        Event captureStop{true};   // the capture thread is to end its run
        Event captureDone{true};   // the capture thread has ended
        Event captureReady{true};  // the capture may begin (the file writer is ready)
        Event playStop{true};      // the playback thread is to end its run
        Event playDone{true};      // the playback thread has ended
        Event playReady{true};     // the playback may begin (the file reader is ready)
        Event queueFull{true};     // the producer found the playback ring full
        Event fileStop{true};      // the file thread is to end (after its last drain)
        Event fileDone{true};      // the file thread has ended
        Event queueSpace{true};    // the playback ring has room again
    };

    // Only through retire() or threadEnded(), once no thread of a run is left.
    ~AudioEngine();
    bool beginRun(RunKind kind);
    bool launch(void (*entry)(void*));
    // Waits until the run's threads have ended their work and then fully exited (their handles
    // signalled); false if that took longer than timeoutMs.
    bool waitThreadsGone(uint32_t timeoutMs);
    // Waits up to timeoutMs for every thread whose handle is kept to exit; false if one did not.
    bool joinThreads(uint32_t timeoutMs);

    RunSignals signal;
    std::unique_ptr<CaptureQueue> capture;
    std::unique_ptr<PlaybackQueue> playback;
    std::atomic<bool> recording{false};
    std::atomic<bool> playing{false};
    std::atomic<bool> error{false};
    std::string recordTo;
    std::string playFrom;
    std::atomic<RunKind> runKind{RunKind::None};
    // The pause state the caller has asked for in the current run (guarded by deviceMutex for
    // writing); a sound thread takes it over when it is published.
    std::atomic<bool> runPaused{false};
    // Set by a start operation, cleared when the run's queue is finished or by stop.
    std::atomic<bool> runOpen{false};
    bool startRefused = false;

    std::mutex deviceMutex;
    SoundThread* captureLoop = nullptr;   // guarded by deviceMutex
    SoundThread* playbackLoop = nullptr;  // guarded by deviceMutex
    FileThread* fileThread = nullptr;     // guarded by deviceMutex

    mutable std::mutex threadMutex;
    std::condition_variable threadsChanged;
    int liveThreads = 0;
    bool retired = false;  // guarded by threadMutex
    static constexpr int ThreadSlots = 4;
    // Started and not yet joined; guarded by threadMutex.
    std::unique_ptr<ThreadHandle, ThreadRelease> threadHandles[ThreadSlots];
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

template <class Abort>
void AudioEngine::waitRingSpace(Abort abort) {
    waitUnless(signal.queueSpace, WaitForever, abort);
}

}  // namespace brimvox
