// The engine's side of a sound device: the loop of the capture or the playback thread over one
// SoundDevice, and the requests (pause, resume, stop) the caller's thread leaves for it. Only the
// loop calls into the device, so a device that blocks in the system holds that thread alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "sound_device.h"
#include "sync.h"

namespace brimvox {

class AudioEngine;
class CodecQueue;

class SoundThread {
  public:
    explicit SoundThread(Direction direction);
    SoundThread(const SoundThread&) = delete;
    SoundThread& operator=(const SoundThread&) = delete;

    // Records the caller's wish and wakes the loop; they never call into the device.
    void requestStop();
    void setPaused(bool on);
    bool isPaused() const { return paused.load(); }

    void runCapture(AudioEngine* engine);
    void runPlayback(AudioEngine* engine);
    // Closes the device after an exception ended the loop; its failure is not reported.
    void abandon();

  private:
    CodecQueue* queue() const;
    // Opens the device; on a failure reports it and returns false.
    bool open();
    // Reports a device result as the run's error text.
    void report(DeviceResult result);
    // Closes the device; its failure (buffers it kept, a failed reset or close) is reported.
    void close();
    // Capture: ends the run with the device's failure and the stop notice.
    void fail(DeviceResult result);
    // Playback: waits until at most `target` blocks are in flight, or a stop or failure; true if
    // they are. A device that plays nothing for too long has stalled: that ends the run.
    bool waitInFlight(size_t target);
    // Playback: passes the pause the caller asked for on to the device.
    void applyPause();
    bool stopping() const;

    const Direction direction;
    AudioEngine* engine = nullptr;
    std::unique_ptr<SoundDevice> device;
    std::atomic<bool> paused{false};
    std::atomic<bool> stopRequested{false};
    Event wake{false};
    bool appliedPause = false;
    int32_t blocksWritten = 0;
};

void captureThread(void* engine);
void playbackThread(void* engine);

}  // namespace brimvox
