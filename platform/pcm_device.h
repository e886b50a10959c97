// A SoundDevice over a PcmBackend stream (ALSA, the virtual card), driven by the engine's thread
// alone: each call moves samples in 10 ms chunks with short bounded waits. Opening and closing a
// stream may hang in a stalled sound server, so they run on a helper thread the device waits for
// a bounded time only; a helper left behind owns the stream and closes it when it returns.
#pragma once

#ifndef _WIN32

#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "pcm_backend.h"
#include "sound_device.h"

namespace brimvox {

class PcmSoundDevice : public SoundDevice {
  public:
    using Opener = std::function<std::unique_ptr<PcmBackend>(bool capture, int& error)>;
    // `present` tells whether a device of the direction exists (called by open()).
    PcmSoundDevice(Direction direction, Opener opener, std::function<bool(bool capture)> present);
    ~PcmSoundDevice() override;

    DeviceResult open(const SoundFormat& format) override;
    DeviceResult start() override;
    DeviceResult read(int16_t* block, size_t count, uint32_t waitMs, size_t& got) override;
    DeviceResult write(const int16_t* block, size_t count, uint32_t waitMs, bool& queued) override;
    DeviceResult waitPlayed(size_t target, uint32_t waitMs, size_t& inFlight) override;
    DeviceResult pause(bool on) override;
    DeviceResult reset() override;
    DeviceResult close() override;
    size_t depth() const override { return capture ? 4 : 2; }

    // The result for a stream that failed, or could not be opened, with a negative errno value.
    static DeviceResult failureResult(long error);
    static DeviceResult openResult(int error);

  private:
    // One transfer step of the output: marks played blocks, writes one chunk; waits at most
    // until `deadline` (monotonic ms).
    void pumpOutput(uint64_t deadline);
    // A transfer that failed (result < 0) or made no progress; suspension is waited out for a
    // bounded time, any other failure ends the device.
    void afterTransfer(long result, uint64_t startMs);
    void syncHold();
    size_t inFlight() const { return queue.size() + pending.size(); }

    const bool capture;
    Opener opener;
    std::function<bool(bool)> present;
    std::unique_ptr<PcmBackend> stream;
    DeviceResult failure = DeviceResult::Ok;
    bool running = false;     // output: not paused; input: started
    bool held = false;        // hold state last passed to the backend
    bool hardPaused = false;  // the backend paused the output itself (nothing plays out)
    uint64_t suspendedSince = 0;
    // Input: the block being filled.
    std::vector<int16_t> filling;
    size_t filled = 0;
    // Output: blocks waiting to be written (the first from `offset` on), and blocks written that
    // are heard once the stream's position passes theirs.
    std::deque<std::vector<int16_t>> queue;
    size_t offset = 0;
    std::deque<uint64_t> pending;
    uint64_t written = 0;
};

}  // namespace brimvox

#endif
