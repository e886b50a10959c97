// The template for a new sound-system backend, and the device of a build or setting without one
// ("none"): it compiles everywhere and reports that there is no device.
//
// Adding a backend (PipeWire, CoreAudio, ...), step by step:
//  1. Copy skeleton_device.h/.cpp to <system>_device.h/.cpp in this folder and rename the class.
//  2. open(): look for the default device of the direction first and return NoDevice if there is
//     none; then open it in the format (8000 Hz, mono, 16-bit; BadFormat if the system refuses)
//     and map the system's failures onto DeviceResult (busy: InUse, gone: NoDriver, anything
//     else: Failed), so that the user reads the same texts on every system. An open that can
//     hang in a sound server runs on a helper thread waited for a bounded time (see
//     pcm_device.cpp, boundedCall).
//  3. Capture: start() starts the stream; read() collects samples into a block of `count` and
//     returns it whole, waiting at most waitMs (got = 0 when it is not full yet). A block the
//     system hands back short is returned with got < count. Never spin: a call that got nothing
//     at once sleeps a little.
//  4. Playback: write() copies the block and keeps at most depth() blocks in flight;
//     waitPlayed() feeds the system and counts a block as played once the system's position
//     (its delay) has passed its end. pause() holds the stream, or only stops feeding it where
//     the system cannot pause.
//  5. reset() throws away what is in flight; close() resets and closes, bounded like the open.
//     Memory the system may still write into is never freed.
//  6. A system that pulls samples through a callback (PipeWire, CoreAudio) needs a lock-free
//     ring between its callback and read()/write(); the waits then wait on the ring.
//  7. Select it in createSoundDevice (pcm_device.cpp, or a file of its own for the platform),
//     add the sources and the library to platform/CMakeLists.txt, the package to
//     scripts/packages.txt, and run the engine suites (tests/audio) against it.
#pragma once

#include "sound_device.h"

namespace brimvox {

class SkeletonSoundDevice : public SoundDevice {
  public:
    DeviceResult open(const SoundFormat& format) override;
    DeviceResult start() override;
    DeviceResult read(int16_t* block, size_t count, uint32_t waitMs, size_t& got) override;
    DeviceResult write(const int16_t* block, size_t count, uint32_t waitMs, bool& queued) override;
    DeviceResult waitPlayed(size_t target, uint32_t waitMs, size_t& inFlight) override;
    DeviceResult pause(bool on) override;
    DeviceResult reset() override;
    DeviceResult close() override;
    size_t depth() const override { return 2; }
};

}  // namespace brimvox
