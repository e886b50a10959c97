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
    void finish(AudioEngine* engine);
    unsigned allocateBuffers();
    void freeBuffers();

    // Called from the Java caller's thread; they never call into the device.
    void pause();
    void resume();
    bool isPaused() const { return paused.load(); }
    void requestStop();

    WAVEFORMATEX format;
    WAVEOUTCAPSA caps;
    WAVEHDR* headers[OutputBuffers];
    std::atomic<HWAVEOUT> handle{nullptr};
    std::atomic<bool> paused{false};
    Event doneEvent{true};
    bool endReached = false;
    bool drained = false;
    int32_t blocksWritten = 0;
    std::atomic<bool> stopRequested{false};

  private:
    void closeDevice();
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
};

void playbackThread(void* engine);

// Whether the device has handed the header back (read with acquire ordering).
bool headerDone(const WAVEHDR* header);

}  // namespace brimvox
