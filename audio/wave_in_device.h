// Wave input: the capture thread and its device, which keeps four 90 ms buffers queued.
#pragma once

#include <atomic>
#include <cstdint>

#include "sync.h"
#include "wave_api.h"

namespace brimvox {

class AudioEngine;

constexpr int InputBuffers = 4;
constexpr int InputBufferBytes = 1440;

class WaveInDevice {
  public:
    WaveInDevice();
    ~WaveInDevice();
    WaveInDevice(const WaveInDevice&) = delete;
    WaveInDevice& operator=(const WaveInDevice&) = delete;

    unsigned run(AudioEngine* engine);
    // Checks for a device, opens it and allocates the buffers; 0 on success, else a failure code.
    unsigned open(AudioEngine* engine);
    // Resets the device, takes every buffer back, unprepares them, closes the device and frees
    // the buffers. A buffer the device does not give back is never freed: it, its event and this
    // object are left to the device (held() is then true), and the device's error is reported.
    void close(AudioEngine* engine);
    void freeBuffers();
    // Buffers were left with the device: this object must outlive the process.
    bool held() const { return heldByDevice; }
    // Leaves this object and its buffers to the device for good (they are never freed).
    void leaveBuffers();

    // Called from the Java caller's thread; they never call into the device.
    void requestStop(AudioEngine* engine);
    void pause();
    void resume();
    bool isPaused() const { return paused.load(); }

    Event wakeEvent{false};
    WAVEFORMATEX format;
    WAVEINCAPSA caps;
    WAVEHDR* headers[InputBuffers];
    // The device handle; used by the capture thread only, so every call on it is ordered with
    // its close.
    std::atomic<HWAVEIN> handle{nullptr};
    int16_t nextIndex = 0;
    Event bufferEvent{false};
    std::atomic<bool> paused{false};

  private:
    // Hands the listed buffers back to the device, oldest first, up to the first refusal. A
    // refusal for want of memory is tried again later; any other is the device's failure,
    // returned.
    MMRESULT requeue();
    // Marks every buffer the device has handed back as free to fill; true if all are back.
    bool reclaim();
    // Ends the run with the device's error text and the stop notice.
    void fail(AudioEngine* engine, MMRESULT code);
    int16_t* data[InputBuffers];
    bool prepared[InputBuffers];
    bool queued[InputBuffers];  // with the device: not free to fill
    int requeueList[InputBuffers];
    int requeueCount = 0;
    bool heldByDevice = false;
};

void captureThread(void* engine);

}  // namespace brimvox
