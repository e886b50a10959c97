// The one interface between the audio engine and a sound system: a device of one direction in
// 16-bit mono at 8000 Hz, driven by the engine's capture or playback thread alone.
//
// Capture hands out whole blocks; playback takes whole blocks and keeps at most depth() of them
// in flight. Transfers return within the wait they are given. A sound system may still hang in
// a call: ALSA and the virtual card open and close on a helper thread waited for a bounded time;
// the waveform API is called directly, so a hung driver holds the engine's sound thread. Either
// way the engine's caller is never held (a stuck sound thread keeps its retired engine alive). Backends live in this folder: the waveform API on Windows (wave_device),
// ALSA and the virtual card elsewhere (pcm_device over pcm_backend.h), and skeleton_device as the
// template for another one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace brimvox {

enum class Direction { Capture, Playback };

// A device's result. The values below 0x100 are the waveform API's result codes, so that each
// failure is worded as the system words it (deviceErrorText); the others are the engine's own.
enum class DeviceResult : uint32_t {
    Ok = 0,
    Failed = 1,
    BadDeviceId = 2,
    NotEnabled = 3,
    InUse = 4,
    InvalidHandle = 5,
    NoDriver = 6,
    NoMemory = 7,
    NotSupported = 8,
    BadErrorNumber = 9,
    InvalidFlag = 10,
    InvalidParameter = 11,
    BadFormat = 32,
    StillPlaying = 33,
    Unprepared = 34,
    Sync = 35,
    // No device of this direction at all.
    NoDevice = 0x10000,
    // The memory for the device's buffers could not be allocated.
    NoBufferMemory = 0x10001,
};

struct SoundFormat {
    uint32_t sampleRate = 8000;
    uint16_t channels = 1;
    uint16_t bitsPerSample = 16;
};

class SoundDevice {
  public:
    virtual ~SoundDevice() = default;

    // Opens the default device in `format`. Capture stays stopped until start(); playback plays
    // what it is given at once (unless paused).
    virtual DeviceResult open(const SoundFormat& format) = 0;
    // Capture: starts filling blocks (again after a reset).
    virtual DeviceResult start() = 0;
    // Capture: waits up to waitMs for the next block of `count` samples. `got` is count for a
    // whole block, less for a block the device handed back short (whose samples are not to be
    // used), 0 if none came in time.
    virtual DeviceResult read(int16_t* block, size_t count, uint32_t waitMs, size_t& got) = 0;
    // Playback: copies a block of `count` samples into the device if fewer than depth() are in
    // flight, waiting up to waitMs for one to be played; `queued` tells whether it was taken.
    virtual DeviceResult write(const int16_t* block, size_t count, uint32_t waitMs,
                               bool& queued) = 0;
    // Playback: waits up to waitMs until at most `target` blocks are in flight (written and not
    // yet played); `inFlight` is their number then. Keeps the device fed meanwhile.
    virtual DeviceResult waitPlayed(size_t target, uint32_t waitMs, size_t& inFlight) = 0;
    // Playback: holds or releases the output (what is queued stays).
    virtual DeviceResult pause(bool on) = 0;
    // Throws away what is in flight; capture stops until the next start().
    virtual DeviceResult reset() = 0;
    // Resets and closes the device. Buffers the device does not give back are left to it, never
    // freed, and reported as its failure.
    virtual DeviceResult close() = 0;
    // Blocks the device keeps in flight (playback 2 of 0.3 s, capture 4 of 90 ms).
    virtual size_t depth() const = 0;
};

// A device of the sound system this build and its settings select (see audio_settings.h); null
// only if memory ran out.
std::unique_ptr<SoundDevice> createSoundDevice(Direction direction);

// The system's text for a device result, as UTF-8 (cut at a character boundary to fit size > 0).
// NoDevice and NoBufferMemory have no system text: the engine words those itself.
void deviceErrorText(Direction direction, DeviceResult result, char* text, size_t size);

}  // namespace brimvox
