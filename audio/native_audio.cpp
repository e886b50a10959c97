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

std::mutex callMutex;
AudioEngine* globalEngine = nullptr;
std::string refusal;  // guarded by callMutex

// A start is refused while a run is active or starting; a start that found the last run's
// threads still winding down for too long is refused too.
bool idle(AudioEngine* e) {
    return !e->runOpen.load() && !e->recording.load() && !e->playing.load();
}

using TakeTime = bool (CodecQueue::*)(double&);

bool takeTime(CodecQueue* (*queueOf)(AudioEngine*), TakeTime take, double* time, size_t capacity) {
    std::lock_guard<std::mutex> lock(callMutex);
    if (!globalEngine || !time || capacity < 1) return false;
    double t = 0.0;
    if (!(queueOf(globalEngine)->*take)(t)) return false;
    time[0] = t;
    return true;
}

CodecQueue* captureOf(AudioEngine* e) {
    return e->captureQueue;
}
CodecQueue* playbackOf(AudioEngine* e) {
    return e->playbackQueue;
}

}  // namespace

int getVersion() {
    return Version;
}

bool newEngine() {
    std::lock_guard<std::mutex> lock(callMutex);
    refusal.clear();
    if (globalEngine) globalEngine->retire();
    globalEngine = new (std::nothrow) AudioEngine;
    return globalEngine != nullptr;
}

void refuseEngine(const char* text) {
    std::lock_guard<std::mutex> lock(callMutex);
    refusal = text ? text : "";
    if (refusal.size() >= ErrorBufferBytes) refusal.resize(ErrorBufferBytes - 1);
}

bool deleteEngine() {
    std::lock_guard<std::mutex> lock(callMutex);
    // Bounded: a run's thread that does not end in time keeps the old engine alive by itself.
    if (globalEngine) globalEngine->retire();
    globalEngine = nullptr;
    return true;
}

bool recordFile(const char* path) {
    std::lock_guard<std::mutex> lock(callMutex);
    if (!globalEngine || !path || !idle(globalEngine)) return false;
    globalEngine->startRecordFile(path);
    return !globalEngine->startRefused;
}

bool recordBuffer() {
    std::lock_guard<std::mutex> lock(callMutex);
    if (!globalEngine || !idle(globalEngine)) return false;
    globalEngine->startRecordBuffer();
    return !globalEngine->startRefused;
}

bool playFile(const char* path) {
    std::lock_guard<std::mutex> lock(callMutex);
    if (!globalEngine || !path || !idle(globalEngine)) return false;
    globalEngine->startPlayFile(path);
    return !globalEngine->startRefused;
}

bool playBuffer() {
    std::lock_guard<std::mutex> lock(callMutex);
    if (!globalEngine || !idle(globalEngine)) return false;
    return globalEngine->startPlayBuffer();
}

bool stop() {
    std::lock_guard<std::mutex> lock(callMutex);
    if (globalEngine) globalEngine->stop();
    return true;
}

bool pause() {
    std::lock_guard<std::mutex> lock(callMutex);
    return globalEngine && globalEngine->pause();
}

bool getBuffer(uint8_t* block, size_t capacity) {
    std::lock_guard<std::mutex> lock(callMutex);
    if (!globalEngine || !block || capacity < static_cast<size_t>(CaptureBlockBytes)) return false;
    // Also after the run has ended (stop, end, device error): the blocks captured before it are
    // handed out until the ring is empty. The ring is empty and unprepared before a run begins.
    if (globalEngine->runKind.load() != RunKind::RecordBuffer) return false;
    return globalEngine->captureQueue->takeFrames(block);
}

bool setBuffer(const uint8_t* data, size_t capacity, int length, bool endOfStream) {
    std::lock_guard<std::mutex> lock(callMutex);
    if (!globalEngine || length < 0 || length > PlaybackBlockMaxBytes) return false;
    if (static_cast<size_t>(length) > capacity || (length > 0 && !data)) return false;
    if (!globalEngine->playing.load() || globalEngine->runKind.load() != RunKind::PlayBuffer)
        return false;
    return globalEngine->playbackQueue->putFrames(data, length, endOfStream);
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
    std::lock_guard<std::mutex> lock(callMutex);
    if (!text || capacity < 1) return false;
    char message[ErrorBufferBytes];
    if (!refusal.empty()) {
        std::memcpy(message, refusal.c_str(), refusal.size() + 1);
        refusal.clear();
    } else if (!globalEngine) {
        return false;
    } else if (!globalEngine->captureQueue->takeError(message) &&
               !globalEngine->playbackQueue->takeError(message))
        return false;
    const size_t n = std::min(std::strlen(message), capacity - 1);
    std::memcpy(text, message, n);
    text[n] = 0;
    return true;
}

int getMaxSample() {
    std::lock_guard<std::mutex> lock(callMutex);
    return globalEngine ? globalEngine->captureQueue->takePeak() : 0;
}

bool getIsBuffering() {
    std::lock_guard<std::mutex> lock(callMutex);
    return globalEngine && globalEngine->playbackQueue->isBuffering();
}

AudioEngine* currentEngine() {
    std::lock_guard<std::mutex> lock(callMutex);
    return globalEngine;
}

}  // namespace native
}  // namespace brimvox
