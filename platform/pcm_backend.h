// One open sound stream of a backend (ALSA or the virtual card), in 16-bit mono at 8000 Hz.
// Only the device's worker thread calls into a backend, so backends need no locking. Any call may
// block inside the sound system (a stalled sound server), so the worker is the only thread that
// ever waits on one; transfers themselves wait at most the time they are given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace brimvox {

class PcmBackend {
  public:
    virtual ~PcmBackend() = default;
    // Plays up to count samples, waiting at most waitMs for room. Returns the samples taken (0 if
    // the device took none in time), -ESTRPIPE while the device is suspended, or another negative
    // errno value on a failure (-ENODEV: the device is gone).
    virtual long write(const int16_t* samples, size_t count, int waitMs) = 0;
    // Captures up to count samples, waiting at most waitMs for them; results as for write.
    virtual long read(int16_t* samples, size_t count, int waitMs) = 0;
    // Samples written but not yet heard. A stream still waiting for its start threshold is
    // started first, so that what is queued plays and is counted.
    virtual size_t delay() = 0;
    // Throws away what is buffered (reset) and makes the stream ready again.
    virtual void drop() = 0;
    // Holds or releases the stream (output pause, input stop). False if the device cannot pause:
    // the caller then just stops feeding it, and what is queued plays out.
    virtual bool hold(bool on) = 0;
    // Tries to bring a suspended stream back; true once it runs again.
    virtual bool resume() = 0;
};

enum class AudioBackendKind { Alsa, Virtual, None };

// The backend BRIMVOX_AUDIO selects: "alsa" (default, also for unknown values), "virtual", "none".
AudioBackendKind selectedBackend();
// Makes selectedBackend() return `kind` from now on, whatever BRIMVOX_AUDIO says (the settings a
// Java program gives when it creates the engine).
void overrideSelectedBackend(AudioBackendKind kind);

// Opens the default stream of the ALSA backend; null with error set to a negative errno value if
// it cannot be opened.
std::unique_ptr<PcmBackend> openAlsaStream(bool capture, int& error);
// Whether ALSA's default device exists in that direction: 0 if it can be opened, else the
// negative errno value of the failed open (-EBUSY: it exists but another program holds it).
int probeAlsaDevice(bool capture);

// Whether a device whose open failed with this negative errno value exists (busy, or failing
// for another reason than being absent).
bool deviceExistsAfter(int error);

}  // namespace brimvox
