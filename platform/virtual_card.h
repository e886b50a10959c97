// The virtual sound card: a sound device for headless machines, demos and tests.
//
// Its microphone plays BRIMVOX_AUDIO_IN (a WAV file in any format libsndfile reads, converted to
// 8 kHz mono, or raw signed 16-bit little-endian 8 kHz mono; silence after its end, silence if
// unset); its speaker writes BRIMVOX_AUDIO_OUT (a WAV file, 8 kHz mono 16-bit, created anew by
// each output open); its clock runs BRIMVOX_AUDIO_SPEED times faster than real time (default 1).
// Tests may override all three in-process and inject device faults.
#pragma once

#ifndef _WIN32

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pcm_backend.h"
#include "sound_device.h"

namespace brimvox {

// Faults of one direction of the card. A result other than Ok is returned by the named call.
struct VirtualFaults {
    bool noDevice = false;                        // no device of this direction
    DeviceResult openResult = DeviceResult::Ok;   // open() fails with this
    DeviceResult startResult = DeviceResult::Ok;  // capture: start()
    // read() / write() fail with this once transferAfter blocks have gone through; NoMemory
    // refuses blocks silently instead (capture: no more block comes, no failure).
    DeviceResult transferResult = DeviceResult::Ok;
    int transferAfter = 0;
    DeviceResult resetResult = DeviceResult::Ok;  // reset() (the device is reset anyway)
    DeviceResult closeResult = DeviceResult::Ok;  // close() (the device is closed anyway)
    uint32_t holdDelayMs = 0;  // a slow driver: pausing or resuming the stream takes this long

    // Faults of the stream itself, as a sound system shows them. Positions count the samples
    // moved since the stream was opened.
    int openError = 0;               // the stream cannot be opened: a negative errno (-EBUSY: busy)
    uint32_t openDelayMs = 0;        // opening the stream takes this long (a sound server)
    size_t stallAfter = SIZE_MAX;    // from here on transfers make no progress (a stalled device)
    size_t goneAfter = SIZE_MAX;     // from here on transfers fail with -ENODEV (unplugged)
    size_t suspendAfter = SIZE_MAX;  // from here on the device is suspended and never resumes
    size_t shortTransfer = 0;        // a transfer moves at most this many samples (0: no limit)
    int shortBufferEvery = 0;        // input: every n-th buffer is handed back half filled
    bool zeroReturn = false;         // transfers return 0 at once (a prepared or paused stream)
    uint32_t stuckMs = 0;  // dropping or closing the stream blocks this long in the system
    bool noPause = false;  // the output has no hardware pause
};

// In-process settings of the card; each field overrides its environment variable when set.
class VirtualCard {
  public:
    static void setInput(std::vector<int16_t> samples);  // microphone signal
    static void setInputFile(const std::string& path);
    static void setOutputFile(const std::string& path);
    static void setSpeed(double speed);
    static void setFaults(bool capture, const VirtualFaults& faults);
    // Forgets every override and fault.
    static void resetAll();
    // Samples played by the speaker since the last output open.
    static std::vector<int16_t> output();
    // Samples the microphone has delivered since the last input open.
    static size_t inputPosition();
    // Transfers (reads and writes) asked of the card's streams since the last resetAll.
    static size_t transferCalls();
    // Streams of the card that are open (created and not yet destroyed).
    static int openStreams();

    static VirtualFaults faults(bool capture);
    // Opens a stream of the card; null with error set (a negative errno) if it cannot be opened.
    // The output plays through a 200 ms buffer that starts once full, as ALSA's devices do; its
    // samples count as played (output()) when the card's clock has consumed them.
    static std::unique_ptr<PcmBackend> open(bool capture, int& error);
    // A device of the card with its faults applied (all of them live here).
    static std::unique_ptr<SoundDevice> createDevice(Direction direction);
};

// Reads a speech file for the microphone: WAV (any libsndfile format, converted to 8 kHz mono)
// or raw 16-bit little-endian 8 kHz mono. False with a message if it cannot be read.
bool loadSpeechFile(const std::string& path, std::vector<int16_t>& samples, std::string& message);

}  // namespace brimvox

#endif
