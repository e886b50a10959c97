#include "sync.h"

#ifdef _WIN32
#include <windows.h>

#include <new>
#else
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#endif

namespace brimvox {

#ifdef _WIN32

struct Event::State {
    HANDLE handle;
};

Event::Event(bool manualReset) : state(new (std::nothrow) State{nullptr}) {
    if (state) state->handle = CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
}
Event::~Event() {
    if (state && state->handle) CloseHandle(state->handle);
    delete state;
}
bool Event::valid() const {
    return state && state->handle;
}
void Event::set() {
    if (valid()) SetEvent(state->handle);
}
void Event::reset() {
    if (valid()) ResetEvent(state->handle);
}
bool Event::wait(uint32_t timeoutMs) {
    if (!valid()) {
        // Nothing can signal it: the wait lasts its time rather than returning at once.
        if (timeoutMs != 0) Sleep(timeoutMs == WaitForever ? 100 : timeoutMs);
        return false;
    }
    return WaitForSingleObject(state->handle, timeoutMs == WaitForever ? INFINITE : timeoutMs) ==
           WAIT_OBJECT_0;
}
void* Event::callbackHandle() {
    return state ? state->handle : nullptr;
}

namespace {
struct ThreadStart {
    void (*entry)(void*);
    void* argument;
};
DWORD WINAPI threadMain(LPVOID p) {
    ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    start.entry(start.argument);
    return 0;
}
}  // namespace

bool startThread(void (*entry)(void*), void* argument) {
    auto* start = new (std::nothrow) ThreadStart{entry, argument};
    if (!start) return false;
    HANDLE h = CreateThread(nullptr, 0, threadMain, start, 0, nullptr);
    if (!h) {
        delete start;
        return false;
    }
    CloseHandle(h);
    return true;
}

struct ThreadHandle {
    HANDLE handle;
};

ThreadHandle* startJoinableThread(void (*entry)(void*), void* argument) {
    auto* thread = new (std::nothrow) ThreadHandle{nullptr};
    auto* start = new (std::nothrow) ThreadStart{entry, argument};
    if (thread && start) thread->handle = CreateThread(nullptr, 0, threadMain, start, 0, nullptr);
    if (!thread || !start || !thread->handle) {
        delete start;
        delete thread;
        return nullptr;
    }
    return thread;
}

bool joinThread(ThreadHandle* thread, uint32_t timeoutMs) {
    // A thread's handle is signalled only once the thread has exited.
    if (WaitForSingleObject(thread->handle, timeoutMs == WaitForever ? INFINITE : timeoutMs) !=
        WAIT_OBJECT_0)
        return false;
    CloseHandle(thread->handle);
    delete thread;
    return true;
}

void releaseThread(ThreadHandle* thread) {
    CloseHandle(thread->handle);
    delete thread;
}

void sleepMs(uint32_t ms) {
    Sleep(ms);
}
uint64_t monotonicMs() {
    return GetTickCount64();
}

#else

struct Event::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
    bool manualReset = true;
};

Event::Event(bool manualReset) : state(new (std::nothrow) State) {
    if (state) state->manualReset = manualReset;
}
Event::~Event() {
    delete state;
}

bool Event::valid() const {
    return state != nullptr;
}

void Event::set() {
    if (!state) return;
    // Notified under the lock: a waiter that then destroys the event cannot do so while the
    // notification is still in progress.
    std::lock_guard<std::mutex> lock(state->mutex);
    state->signalled = true;
    state->changed.notify_all();
}

void Event::reset() {
    if (!state) return;
    std::lock_guard<std::mutex> lock(state->mutex);
    state->signalled = false;
}

bool Event::wait(uint32_t timeoutMs) {
    if (!state) {
        // Nothing can signal it: the wait lasts its time rather than returning at once.
        if (timeoutMs != 0) sleepMs(timeoutMs == WaitForever ? 100 : timeoutMs);
        return false;
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    auto isSet = [this] { return state->signalled; };
    bool got;
    if (timeoutMs == WaitForever) {
        state->changed.wait(lock, isSet);
        got = true;
    } else {
        got = state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), isSet);
    }
    if (got && !state->manualReset) state->signalled = false;
    return got;
}

void* Event::callbackHandle() {
    return this;
}

bool startThread(void (*entry)(void*), void* argument) {
    try {
        std::thread(entry, argument).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

struct ThreadHandle {
    pthread_t thread;
};

namespace {
struct ThreadStart {
    void (*entry)(void*);
    void* argument;
};
void* threadMain(void* p) {
    ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    start.entry(start.argument);
    return nullptr;
}
}  // namespace

ThreadHandle* startJoinableThread(void (*entry)(void*), void* argument) {
    auto* thread = new (std::nothrow) ThreadHandle;
    auto* start = new (std::nothrow) ThreadStart{entry, argument};
    if (!thread || !start || pthread_create(&thread->thread, nullptr, threadMain, start) != 0) {
        delete start;
        delete thread;
        return nullptr;
    }
    return thread;
}

bool joinThread(ThreadHandle* thread, uint32_t timeoutMs) {
    if (timeoutMs == WaitForever) {
        pthread_join(thread->thread, nullptr);
    } else {
        // pthread_timedjoin_np's limit is a time of the realtime clock.
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += static_cast<time_t>(timeoutMs / 1000);
        until.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        if (pthread_timedjoin_np(thread->thread, nullptr, &until) != 0) return false;
    }
    delete thread;
    return true;
}

void releaseThread(ThreadHandle* thread) {
    pthread_detach(thread->thread);
    delete thread;
}

void sleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint64_t monotonicMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

#endif

}  // namespace brimvox
