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
    void close(AudioEngine* engine);
    void freeBuffers();

    // Called from the Java caller's thread.
    void requestStop(AudioEngine* engine);
    void pause();
    void resume();
    bool isPaused() const { return paused.load(); }

    Event wakeEvent{false};
    WAVEFORMATEX format;
    WAVEINCAPSA caps;
    WAVEHDR* headers[InputBuffers];
    std::atomic<HWAVEIN> handle{nullptr};
    int16_t nextIndex = 0;
    Event bufferEvent{false};
    std::atomic<bool> paused{false};

  private:
    // Hands the listed buffers back to the device, oldest first, up to the first refusal.
    void requeue();
    int16_t* data[InputBuffers];
    int requeueList[InputBuffers];
    int requeueCount = 0;
};

void captureThread(void* engine);

}  // namespace brimvox
