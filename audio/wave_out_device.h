// Wave output: the playback thread and its device, which keeps two 0.3 s buffers in flight.
#pragma once

#include <atomic>
#include <cstdint>

#include "sync.h"
#include "wave_api.h"

namespace brimvox {

class AudioEngine;

constexpr int OutputBuffers = 2;
constexpr int OutputBufferBytes = 4800;

class WaveOutDevice {
  public:
    WaveOutDevice();
    virtual ~WaveOutDevice();
    WaveOutDevice(const WaveOutDevice&) = delete;
    WaveOutDevice& operator=(const WaveOutDevice&) = delete;

    void run(AudioEngine* engine);
    // Checks for a device, opens it and prepares the buffers; 0 on success, else a failure code.
    unsigned open(AudioEngine* engine);
    // Waits for the end of the stream if it was reached, then resets the device, takes every
    // buffer back, unprepares them, closes the device and frees the buffers. A buffer the device
    // does not give back is never freed: it, its event and this object are left to the device
    // (held() is then true), and the device's error is reported.
    void finish(AudioEngine* engine);
    unsigned allocateBuffers();
    void freeBuffers();
    bool held() const { return heldByDevice; }
    // Leaves this object and its buffers to the device for good (they are never freed).
    void leaveBuffers();

    // Called from the Java caller's thread; they never call into the device.
    void pause();
    void resume();
    bool isPaused() const { return paused.load(); }
    void requestStop();

    WAVEFORMATEX format;
    WAVEOUTCAPSA caps;
    WAVEHDR* headers[OutputBuffers];
    // The device handle; used by the playback thread only, so every call on it is ordered with
    // its close.
    std::atomic<HWAVEOUT> handle{nullptr};
    std::atomic<bool> paused{false};
    Event doneEvent{true};
    bool endReached = false;
    bool drained = false;
    int32_t blocksWritten = 0;
    std::atomic<bool> stopRequested{false};

  private:
    // Resets, unprepares and closes the device; the device's error, if any (0 if none).
    MMRESULT closeDevice();
    // Whether header i is free to fill: never written, or handed back by the device.
    bool isFree(int i);
    bool stopping(AudioEngine* engine);
    // Waits until header i has been played or a stop is requested; true if it was played. A
    // device that plays nothing for too long has stalled: that ends the run with an error.
    bool waitHeaderDone(int i, AudioEngine* engine);
    static const uint64_t FirstBufferLimitMs;
    static const uint64_t StallLimitMs;
    int16_t* data[OutputBuffers];
    int lastIndex = 0;  // the buffer written last
    // Passes the pause state the caller asked for on to the device (playback thread only).
    void applyPause();
    bool appliedPause = false;
    bool prepared[OutputBuffers];
    bool queued[OutputBuffers];  // written and not yet handed back
    bool heldByDevice = false;
};

void playbackThread(void* engine);

// Whether the device has handed the header back: done and no longer queued (read with acquire
// ordering).
bool headerDone(const WAVEHDR* header);

}  // namespace brimvox
