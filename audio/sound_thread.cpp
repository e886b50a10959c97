#include "sound_thread.h"

#include <cstring>
#include <new>

#include "audio_engine.h"
#include "boundary.h"

namespace brimvox {

namespace {

constexpr const char* NoDriverText = " Sound driver is not installed.";
// Longest time without a completed block before a device counts as stalled: for the first
// blocks of a start (a sound server may take over a second to deliver them), and afterwards (a
// second beyond a block's own time).
constexpr uint64_t FirstBlockLimitMs = 3000;
constexpr uint64_t CaptureStallLimitMs = 1100;
constexpr uint64_t PlaybackStallLimitMs = 1300;
// The longest a device call waits, so that requests reach the loop promptly.
constexpr uint32_t CaptureWaitMs = 100;
constexpr uint32_t PlaybackWaitMs = 50;

// Runs a sound thread: waits for the run's go, runs the loop, and turns an exception into the
// run's error text.
template <class Run, class Failed>
void runGuarded(AudioEngine* engine, SoundThread* self, Direction d, Run run, Failed failed) {
    guarded(
        0,
        [&] {
            if (engine->waitSoundGo(d, 500)) run();
            return 0;
        },
        [&](const char* text) {
            self->abandon();
            failed(text);
        });
}

}  // namespace

SoundThread::SoundThread(Direction d) : direction(d) {}

CodecQueue* SoundThread::queue() const {
    return direction == Direction::Capture ? static_cast<CodecQueue*>(engine->captureQueue())
                                           : static_cast<CodecQueue*>(engine->playbackQueue());
}

void SoundThread::requestStop() {
    stopRequested.store(true);
    paused.store(false);
    wake.set();
}

void SoundThread::setPaused(bool on) {
    paused.store(on);
    wake.set();
}

bool SoundThread::stopping() const {
    return stopRequested.load() || engine->soundStopRequested(direction);
}

void SoundThread::report(DeviceResult result) {
    if (result == DeviceResult::NoDevice) {
        queue()->setError(NoDriverText);
    } else if (result == DeviceResult::NoBufferMemory) {
        queue()->setError(MemoryErrorText);
    } else {
        char text[ErrorTextChars + 1] = {0};
        deviceErrorText(direction, result, text, sizeof text);
        queue()->setError(text);
    }
    engine->raiseError();
}

bool SoundThread::open() {
    device = createSoundDevice(direction);
    if (!device) {
        queue()->setError(MemoryErrorText);
        engine->raiseError();
        return false;
    }
    const DeviceResult r = device->open(SoundFormat{});
    if (r == DeviceResult::Ok) return true;
    report(r);
    device->close();  // its own failure is not the cause: the open's text stays
    device.reset();
    return false;
}

void SoundThread::close() {
    if (!device) return;
    const DeviceResult r = device->close();
    device.reset();
    if (r != DeviceResult::Ok) report(r);
}

void SoundThread::abandon() {
    if (device) device->close();
    device.reset();
}

void SoundThread::fail(DeviceResult result) {
    // Every block captured before is in the ring already; the run ends with the text.
    close();
    report(result);
    engine->stopSound(Direction::Capture);
}

void SoundThread::runCapture(AudioEngine* e) {
    engine = e;
    engine->setRecording(true);
    CaptureQueue* ring = engine->captureQueue();
    if (!open()) {
        engine->stopSound(Direction::Capture);
        return;
    }
    int16_t block[CaptureBlockSamples];
    int blocks = 0;
    while (!engine->soundStopRequested(Direction::Capture)) {
        if (paused.load()) {
            // Paused (also by a pause made while the device was opening): the device stays
            // stopped until a resume or a stop.
            wake.wait(100);
            continue;
        }
        wake.reset();
        DeviceResult r = device->start();
        if (r != DeviceResult::Ok) {
            fail(r);
            return;
        }
        // The first block may take a while on a sound server that starts its stream; after
        // that each should come within its 90 ms.
        uint64_t lastBlock = monotonicMs();
        uint64_t limit = FirstBlockLimitMs;
        DeviceResult failure = DeviceResult::Ok;
        // The pause and stop states are looked at too: a wake that came between the check at
        // the top and the reset above is gone.
        while (!wake.poll() && !paused.load() && !engine->soundStopRequested(Direction::Capture)) {
            size_t got = 0;
            r = device->read(block, CaptureBlockSamples, CaptureWaitMs, got);
            if (engine->errorRaised()) {
                engine->stopSound(Direction::Capture);
                break;
            }
            // A block handed back short is dropped whole: a block is 90 ms of sound, and
            // padding it would put a gap of silence into the speech.
            if (got == static_cast<size_t>(CaptureBlockSamples)) {
                ring->putPcm(block);
                ++blocks;
                ring->setElapsed(blocks);
                lastBlock = monotonicMs();
                limit = CaptureStallLimitMs;
            }
            if (r != DeviceResult::Ok) {
                failure = r;
                break;
            }
            if (monotonicMs() - lastBlock > limit) {
                // No whole block for too long: the device has stalled.
                failure = DeviceResult::Failed;
                break;
            }
        }
        if (failure != DeviceResult::Ok) {
            fail(failure);
            return;
        }
        // A stop goes straight to the close, which resets the device anyway.
        if (engine->errorRaised() || engine->soundStopRequested(Direction::Capture)) break;
        r = device->reset();
        if (r != DeviceResult::Ok) {
            fail(r);
            return;
        }
    }
    close();
}

void SoundThread::applyPause() {
    const bool want = paused.load();
    // A stopping device is closed as it is: no restart for the moment before the close.
    if (want == appliedPause || !device || stopRequested.load()) return;
    appliedPause = want;
    device->pause(want);
}

bool SoundThread::waitInFlight(size_t target) {
    // The device is given a block's own time and a second more (more for its first blocks,
    // while a sound server starts the stream); time spent paused does not count.
    const uint64_t limit = blocksWritten <= static_cast<int32_t>(device->depth())
                               ? FirstBlockLimitMs
                               : PlaybackStallLimitMs;
    uint64_t start = monotonicMs();
    for (;;) {
        size_t left = 0;
        const DeviceResult r = device->waitPlayed(target, PlaybackWaitMs, left);
        if (r != DeviceResult::Ok) {
            report(r);
            return false;
        }
        if (left <= target) return true;
        if (stopping()) return false;
        applyPause();
        if (paused.load()) start = monotonicMs();
        if (monotonicMs() - start > limit) {
            // Blocks are written but none is played: the device has stalled.
            report(DeviceResult::Failed);
            return false;
        }
    }
}

void SoundThread::runPlayback(AudioEngine* e) {
    engine = e;
    stopRequested.store(false);
    engine->markPlaying();
    PlaybackQueue* ring = engine->playbackQueue();
    if (!open()) return;
    // A pause made while the device was opening holds it from the start.
    appliedPause = false;
    applyPause();
    blocksWritten = 0;
    bool endReached = false;
    bool drained = false;
    int16_t pcm[PlaybackSlotSamples];
    while (!engine->soundStopRequested(Direction::Playback)) {
        applyPause();
        if (engine->errorRaised()) {
            stopRequested.store(true);
            engine->stopSound(Direction::Playback);
        }
        if (stopRequested.load()) {
            endReached = drained = true;
            break;
        }
        int count = 0;
        bool last = false;
        if (ring->getPcm(pcm, count, last)) {
            // Ran dry: wait until the producer has filled the ring (its refused offer sets
            // queueFullEvent), the stream's last block has arrived, or the run is stopped. The
            // device plays on what it holds meanwhile.
            ring->setBuffering(true);
            while (!engine->waitRingFull(0)) {
                if (stopping() || engine->errorRaised() || ring->endOfStreamPending()) break;
                size_t left = 0;
                device->waitPlayed(0, 10, left);
                if (left == 0) engine->waitRingFull(10);
            }
            if (ring->getPcm(pcm, count, last)) continue;
        }
        endReached = last;
        if (count != 0) {
            bool queued = false;
            while (!queued) {
                const DeviceResult r = device->write(pcm, static_cast<size_t>(count), 0, queued);
                if (r != DeviceResult::Ok) {
                    close();
                    report(r);
                    return;
                }
                if (!queued && !waitInFlight(device->depth() - 1)) break;
            }
            if (!queued) continue;  // stopped or failed: the loop's checks end the run
            ++blocksWritten;
            if (blocksWritten > 2) ring->setElapsed(blocksWritten - 2);
            if (endReached) break;
        } else if (endReached) {
            drained = true;
            break;
        }
        // Never refill a block the device still holds.
        waitInFlight(device->depth() - 1);
    }
    if (endReached) {
        if (!stopRequested.load() && !engine->errorRaised()) {
            // The two end waits: for the block before the last, then (once the time has moved
            // to all blocks but the last) for the last one. Each lasts until the device has
            // played its block, bounded by the stall limit: a fixed wait can be shorter than a
            // 0.3 s block and would cut its end off.
            waitInFlight(1);
            if (!drained) ring->setElapsed(blocksWritten - 1);
            waitInFlight(0);
        }
        ring->setElapsed(blocksWritten);
    }
    close();
}

void captureThread(void* arg) {
    auto* engine = static_cast<AudioEngine*>(arg);
    std::unique_ptr<SoundThread> self(new (std::nothrow) SoundThread(Direction::Capture));
    if (!self) {
        engine->captureQueue()->setError(MemoryErrorText);
    } else {
        engine->publishCapture(self.get());
        runGuarded(
            engine, self.get(), Direction::Capture, [&] { self->runCapture(engine); },
            [engine](const char* text) {
                engine->captureQueue()->setError(text);
                engine->raiseError();
                engine->stopSound(Direction::Capture);
            });
    }
    if (engine->kind() == RunKind::RecordFile) {
        // The writer drains what is left in the ring before it closes the file.
        engine->stopFile();
        engine->waitFileEnded(2000);
    }
    engine->captureQueue()->finish();
    engine->publishCapture(nullptr);
    self.reset();
    engine->soundEnded(Direction::Capture);
    engine->threadEnded();
}

void playbackThread(void* arg) {
    auto* engine = static_cast<AudioEngine*>(arg);
    std::unique_ptr<SoundThread> self(new (std::nothrow) SoundThread(Direction::Playback));
    engine->markRingFull(false);
    if (!self) {
        engine->playbackQueue()->setError(MemoryErrorText);
    } else {
        engine->publishPlayback(self.get());
        runGuarded(
            engine, self.get(), Direction::Playback, [&] { self->runPlayback(engine); },
            [engine](const char* text) {
                engine->playbackQueue()->setError(text);
                engine->raiseError();
            });
    }
    if (engine->kind() == RunKind::PlayFile) {
        engine->requestFileStop();
        engine->waitFileEnded(2000);
    }
    engine->playbackQueue()->finish();
    engine->soundEnded(Direction::Playback);
    engine->publishPlayback(nullptr);
    self.reset();
    engine->threadEnded();
}

}  // namespace brimvox
