#include "codec_queue.h"

#include <cmath>
#include <cstring>
#include <new>

#include "audio_engine.h"
#include "boundary.h"
#include "celp_codec.h"
#include "system_text.h"

namespace brimvox {

void copyErrorText(char* out, const char* text) {
    copyUtf8(text, std::strlen(text), out, ErrorTextChars + 1);
}

CodecQueue::CodecQueue(AudioEngine* owner) : engine(owner) {
    for (int i = 0; i < QueueSlots; ++i) {
        slotCount[i] = 0;
        slotFilled[i].store(false);
    }
    errorText[0] = 0;
}

CodecQueue::~CodecQueue() {
    release();
}

bool CodecQueue::prepare(int samples) {
    bool ok = true;
    {
        std::lock_guard<std::mutex> lock(bufferMutex);
        slotSamples = samples;
        for (int i = 0; i < QueueSlots; ++i) {
            if (slots[i] == nullptr) {
                slots[i].reset(new (std::nothrow) int16_t[static_cast<size_t>(samples)]);
                if (!slots[i]) ok = false;
            }
            slotCount[i] = 0;
            slotFilled[i].store(false, std::memory_order_relaxed);
        }
        if (codec == nullptr) {
            codec.reset(new (std::nothrow) CelpCodec());
            if (!codec) ok = false;
        }
        writeIndex.store(0);
        readIndex.store(0);
        releaseOnDrain = false;
        onPrepare();
    }
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        stopped = false;
        errorPending = false;
        elapsedUpdated = true;
        elapsed = stopElapsed = 0.0;
    }
    if (!ok) {
        release();
        setError(MemoryErrorText);
    }
    return ok;
}

void CodecQueue::release() {
    std::lock_guard<std::mutex> lock(bufferMutex);
    freeBuffers();
}

void CodecQueue::releaseWhenDrained() {
    std::lock_guard<std::mutex> lock(bufferMutex);
    if (codec != nullptr && !ringEmpty()) {
        releaseOnDrain = true;
    } else {
        freeBuffers();
    }
}

void CodecQueue::freeBuffers() {
    releaseOnDrain = false;
    for (int i = 0; i < QueueSlots; ++i) {
        slots[i].reset();
        slotFilled[i].store(false);
    }
    codec.reset();
}

bool CodecQueue::isPrepared() {
    std::lock_guard<std::mutex> lock(bufferMutex);
    return codec != nullptr;
}

void CodecQueue::finish() {
    if (drainsAfterEnd()) {
        releaseWhenDrained();
    } else {
        release();
    }
    clearRunFlag();
    // The stop notice comes last: a caller that has seen it finds the run ended and may start
    // the next one at once.
    std::lock_guard<std::mutex> lock(statusMutex);
    stopped = true;
}

void CodecQueue::setElapsed(int blocks) {
    const double t = std::floor(blocks * slotSamples * 100 * 0.000125) * 0.01;
    std::lock_guard<std::mutex> lock(statusMutex);
    elapsed = stopElapsed = t;
    elapsedUpdated = true;
}

bool CodecQueue::takeElapsed(double& out) {
    std::lock_guard<std::mutex> lock(statusMutex);
    if (!elapsedUpdated) return false;
    out = elapsed;
    elapsedUpdated = false;
    return true;
}

bool CodecQueue::takeStopped(double& out) {
    std::lock_guard<std::mutex> lock(statusMutex);
    if (!stopped) return false;
    out = stopElapsed;
    stopped = false;
    return true;
}

void CodecQueue::clearStopped() {
    std::lock_guard<std::mutex> lock(statusMutex);
    stopped = false;
}

void CodecQueue::setError(const char* text) {
    engine->raiseError();
    std::lock_guard<std::mutex> lock(statusMutex);
    copyErrorText(errorText, text ? text : "");
    errorPending = true;
}

bool CodecQueue::takeError(char* out) {
    std::lock_guard<std::mutex> lock(statusMutex);
    if (!errorPending) return false;
    std::memcpy(out, errorText, std::strlen(errorText) + 1);
    errorPending = false;
    return true;
}

bool CodecQueue::ringFull() const {
    return slotFilled[writeIndex.load(std::memory_order_relaxed)].load(std::memory_order_acquire);
}

bool CodecQueue::ringEmpty() const {
    return !slotFilled[readIndex.load(std::memory_order_relaxed)].load(std::memory_order_acquire);
}

void CodecQueue::advance(std::atomic<int16_t>& index) {
    index.store(static_cast<int16_t>((index.load(std::memory_order_relaxed) + 1) % QueueSlots),
                std::memory_order_relaxed);
}

CaptureQueue::CaptureQueue(AudioEngine* owner) : CodecQueue(owner) {}

void CaptureQueue::clearRunFlag() {
    engine->endRun(true);
}

void CaptureQueue::putPcm(const int16_t* samples) {
    // Only the capture thread produces, and it also finishes the run: the slots stay put here.
    const int w = writeIndex.load(std::memory_order_relaxed);
    if (slots[w] == nullptr || ringFull()) return;
    int16_t* slot = slots[w].get();
    int most = 0;
    for (int i = 0; i < CaptureBlockSamples; ++i) {
        slot[i] = samples[i];
        const int a = samples[i] < 0 ? -static_cast<int>(samples[i]) : samples[i];
        if (a > most) most = a;
    }
    if (most > 32767) most = 32767;
    int16_t current = peak.load();
    while (most > current && !peak.compare_exchange_weak(current, static_cast<int16_t>(most))) {
    }
    slotCount[w] = CaptureBlockSamples;
    slotFilled[w].store(true, std::memory_order_release);
    advance(writeIndex);
}

bool CaptureQueue::takeFrames(uint8_t* out) {
    std::lock_guard<std::mutex> lock(bufferMutex);
    if (codec == nullptr || ringEmpty()) return false;
    const int r = readIndex.load(std::memory_order_relaxed);
    for (int k = 0; k < 3; ++k)
        codec->encodeFrame(slots[r].get() + FrameSamples * k, out + FrameBytes * k, 50);
    slotCount[r] = 0;
    slotFilled[r].store(false, std::memory_order_release);
    advance(readIndex);
    // The run has ended and this was its last block: the ring is no longer needed.
    if (releaseOnDrain && ringEmpty()) freeBuffers();
    return true;
}

int16_t CaptureQueue::takePeak() {
    return peak.exchange(0);
}

PlaybackQueue::PlaybackQueue(AudioEngine* owner) : CodecQueue(owner) {
    for (bool& e : endOfStream) e = false;
}

void PlaybackQueue::clearRunFlag() {
    engine->endRun(false);
}

bool PlaybackQueue::putFrames(const uint8_t* data, int length, bool last) {
    if (length < 0 || length > PlaybackBlockMaxBytes) return false;
    std::lock_guard<std::mutex> lock(bufferMutex);
    const int n = length / FrameBytes;
    if (n == 0 && !last && codec != nullptr) return true;  // nothing to play, nothing to carry
    // Cleared before the ring is looked at again: a slot the playback thread frees after this
    // point sets the event anew, so the refused producer cannot miss it.
    if (codec == nullptr || ringFull()) engine->markRingSpace(false);
    if (codec == nullptr || ringFull()) {
        buffering.store(false);
        engine->markRingFull(true);
        return false;
    }
    const int w = writeIndex.load(std::memory_order_relaxed);
    for (int k = 0; k < n; ++k)
        codec->decodeFrame(data + FrameBytes * k, slots[w].get() + FrameSamples * k, 0);
    slotCount[w] = static_cast<int16_t>(FrameSamples * n);
    endOfStream[w] = last;
    slotFilled[w].store(true, std::memory_order_release);
    advance(writeIndex);
    if (last) endPending.store(true);
    return true;
}

bool PlaybackQueue::getPcm(int16_t* dst, int& count, bool& last) {
    // Only the playback thread consumes, and it also finishes the run: the slots stay put here.
    // Cleared before the ring is looked at again, so a refused offer made after this point (the
    // producer's sign of a full ring) sets it anew and the buffering wait sees it.
    if (ringEmpty()) engine->markRingFull(false);
    if (ringEmpty()) {
        count = 0;
        return true;
    }
    const int r = readIndex.load(std::memory_order_relaxed);
    count = slotCount[r];
    std::memcpy(dst, slots[r].get(), static_cast<size_t>(count) * sizeof(int16_t));
    last = endOfStream[r];
    if (last) endPending.store(false);
    slotCount[r] = 0;
    slotFilled[r].store(false, std::memory_order_release);
    advance(readIndex);
    engine->markRingSpace(true);
    return false;
}

}  // namespace brimvox
