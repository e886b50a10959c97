// One open sound stream of a backend (ALSA or the virtual card), in 16-bit mono at 8000 Hz.
// Only the device's worker thread calls into a backend, so backends need no locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace brimvox {

class PcmBackend {
  public:
    virtual ~PcmBackend() = default;
    // Plays count samples, blocking at the device's pace; false on a device failure.
    virtual bool write(const int16_t* samples, size_t count) = 0;
    // Captures count samples, blocking at the device's pace; false on a device failure.
    virtual bool read(int16_t* samples, size_t count) = 0;
    // Samples written but not yet heard.
    virtual size_t delay() = 0;
    // Throws away what is buffered (reset) and makes the stream ready again.
    virtual void drop() = 0;
    // Holds or releases the stream (output pause, input stop).
    virtual void hold(bool on) = 0;
};

enum class AudioBackendKind { Alsa, Virtual, None };

// The backend BRIMVOX_AUDIO selects: "alsa" (default, also for unknown values), "virtual", "none".
AudioBackendKind selectedBackend();
// Makes selectedBackend() return `kind` from now on, whatever BRIMVOX_AUDIO says (the settings a
// Java program gives when it creates the engine).
void overrideSelectedBackend(AudioBackendKind kind);

// Opens the default stream of the ALSA backend; null if it cannot be opened.
std::unique_ptr<PcmBackend> openAlsaStream(bool capture);
// Whether ALSA's default device can be opened in that direction.
bool alsaDeviceAvailable(bool capture);

}  // namespace brimvox
