#include "native_audio.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "audio_engine.h"

namespace brimvox {
namespace native {

namespace {

// What the eighteen methods share: the one engine of the process, the refusal text of a failed
// creation, and the lock that serialises the calls. Never destroyed: a Java VM may call in while
// the process exits.
struct NativeState {
    std::mutex calls;
    // Given up through retire(), which leaves it to a run's thread still stuck in the system.
    std::unique_ptr<AudioEngine, void (*)(AudioEngine*)> engine{
        nullptr, [](AudioEngine* e) { e->retire(); }};
    std::string refusal;  // guarded by calls
};

NativeState& state() {
    static NativeState* s = new NativeState;
    return *s;
}

// A start is refused while a run is active or starting; a start that found the last run's
// threads still winding down for too long is refused too.
bool idle(AudioEngine* e) {
    return e->idle();
}

using TakeTime = bool (CodecQueue::*)(double&);

bool takeTime(CodecQueue* (*queueOf)(AudioEngine*), TakeTime take, double* time, size_t capacity) {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    AudioEngine* engine = owner.engine.get();
    if (!engine || !time || capacity < 1) return false;
    double t = 0.0;
    if (!(queueOf(engine)->*take)(t)) return false;
    time[0] = t;
    return true;
}

CodecQueue* captureOf(AudioEngine* e) {
    return e->captureQueue();
}
CodecQueue* playbackOf(AudioEngine* e) {
    return e->playbackQueue();
}

}  // namespace

int getVersion() {
    return Version;
}

bool newEngine() {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    owner.refusal.clear();
    owner.engine.reset();
    owner.engine.reset(new (std::nothrow) AudioEngine);
    return owner.engine != nullptr;
}

void refuseEngine(const char* text) {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    owner.refusal = text ? text : "";
    if (owner.refusal.size() >= ErrorBufferBytes) owner.refusal.resize(ErrorBufferBytes - 1);
}

bool deleteEngine() {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    // Bounded: a run's thread that does not end in time keeps the old engine alive by itself.
    owner.engine.reset();
    return true;
}

bool recordFile(const char* path) {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    AudioEngine* engine = owner.engine.get();
    if (!engine || !path || !idle(engine)) return false;
    engine->startRecordFile(path);
    return !engine->lastStartRefused();
}

bool recordBuffer() {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    AudioEngine* engine = owner.engine.get();
    if (!engine || !idle(engine)) return false;
    engine->startRecordBuffer();
    return !engine->lastStartRefused();
}

bool playFile(const char* path) {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    AudioEngine* engine = owner.engine.get();
    if (!engine || !path || !idle(engine)) return false;
    engine->startPlayFile(path);
    return !engine->lastStartRefused();
}

bool playBuffer() {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    AudioEngine* engine = owner.engine.get();
    if (!engine || !idle(engine)) return false;
    return engine->startPlayBuffer();
}

bool stop() {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    AudioEngine* engine = owner.engine.get();
    if (engine) engine->stop();
    return true;
}

bool pause() {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    AudioEngine* engine = owner.engine.get();
    return engine && engine->pause();
}

bool getBuffer(uint8_t* block, size_t capacity) {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    AudioEngine* engine = owner.engine.get();
    if (!engine || !block || capacity < static_cast<size_t>(CaptureBlockBytes)) return false;
    // Also after the run has ended (stop, end, device error): the blocks captured before it are
    // handed out until the ring is empty. The ring is empty and unprepared before a run begins.
    if (engine->kind() != RunKind::RecordBuffer) return false;
    return engine->captureQueue()->takeFrames(block);
}

bool setBuffer(const uint8_t* data, size_t capacity, int length, bool endOfStream) {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    AudioEngine* engine = owner.engine.get();
    if (!engine || length < 0 || length > PlaybackBlockMaxBytes) return false;
    if (static_cast<size_t>(length) > capacity || (length > 0 && !data)) return false;
    if (!engine->isPlaying() || engine->kind() != RunKind::PlayBuffer) return false;
    return engine->playbackQueue()->putFrames(data, length, endOfStream);
}

bool isStopPlaying(double* time, size_t capacity) {
    return takeTime(playbackOf, &CodecQueue::takeStopped, time, capacity);
}
bool getTimePlaying(double* time, size_t capacity) {
    return takeTime(playbackOf, &CodecQueue::takeElapsed, time, capacity);
}
bool isStopRecording(double* time, size_t capacity) {
    return takeTime(captureOf, &CodecQueue::takeStopped, time, capacity);
}
bool getTimeRecording(double* time, size_t capacity) {
    return takeTime(captureOf, &CodecQueue::takeElapsed, time, capacity);
}

bool getError(char* text, size_t capacity) {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    AudioEngine* engine = owner.engine.get();
    if (!text || capacity < 1) return false;
    char message[ErrorBufferBytes];
    if (!owner.refusal.empty()) {
        std::memcpy(message, owner.refusal.c_str(), owner.refusal.size() + 1);
        owner.refusal.clear();
    } else if (!engine) {
        return false;
    } else if (!engine->captureQueue()->takeError(message) &&
               !engine->playbackQueue()->takeError(message))
        return false;
    const size_t n = std::min(std::strlen(message), capacity - 1);
    std::memcpy(text, message, n);
    text[n] = 0;
    return true;
}

int getMaxSample() {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    AudioEngine* engine = owner.engine.get();
    return engine ? engine->captureQueue()->takePeak() : 0;
}

bool getIsBuffering() {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    AudioEngine* engine = owner.engine.get();
    return engine && engine->playbackQueue()->isBuffering();
}

AudioEngine* currentEngine() {
    NativeState& owner = state();
    std::lock_guard<std::mutex> lock(owner.calls);
    AudioEngine* engine = owner.engine.get();
    return engine;
}

}  // namespace native
}  // namespace brimvox
