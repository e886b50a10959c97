// Events, threads and sleeping: the synchronisation the audio engine is built on.
#pragma once

#include <cstdint>

namespace brimvox {

constexpr uint32_t WaitForever = 0xFFFFFFFFu;

// A manual-reset or auto-reset event. A manual-reset event stays signalled until reset; an
// auto-reset event is cleared by the wait that finds it signalled.
class Event {
  public:
    explicit Event(bool manualReset);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // False if the system could not create the event (out of handles or memory): such an event
    // never signals, so its owner must treat the failure as its error instead of waiting on it.
    bool valid() const;
    void set();
    void reset();
    // True if the event was signalled within timeoutMs (WaitForever: no limit).
    bool wait(uint32_t timeoutMs);
    // A wait of 0 ms.
    bool poll() { return wait(0); }
    // The value the waveform-audio API takes as an event callback.
    void* callbackHandle();

  private:
    struct State;
    State* state;
};

// Starts a detached thread running entry(argument); false if it could not be started.
bool startThread(void (*entry)(void*), void* argument);

// A started thread that can be waited for until it has fully exited (not merely returned from
// its work: a library may be unloaded only once its threads run none of its code).
struct ThreadHandle;
// Starts a thread running entry(argument); null if it could not be started.
ThreadHandle* startJoinableThread(void (*entry)(void*), void* argument);
// Waits up to timeoutMs for the thread to have exited; true if it has, and the handle is then
// gone. On false the handle stays valid.
bool joinThread(ThreadHandle* thread, uint32_t timeoutMs);
// Gives the handle up without waiting; the thread's resources go when it exits.
void releaseThread(ThreadHandle* thread);
// For std::unique_ptr<ThreadHandle, ThreadRelease>: a handle dropped unjoined is released.
struct ThreadRelease {
    void operator()(ThreadHandle* thread) const { releaseThread(thread); }
};

void sleepMs(uint32_t ms);

// Milliseconds of a monotonic clock.
uint64_t monotonicMs();

}  // namespace brimvox
