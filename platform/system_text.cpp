#include "system_text.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
// mmsystem.h needs the types of windows.h
#include <mmsystem.h>
#endif

namespace brimvox {

void copyUtf8(const char* src, size_t srcBytes, char* out, size_t size) {
    size_t n = srcBytes;
    if (n > size - 1) {
        n = size - 1;
        // Back off over continuation bytes so no character is cut in half.
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) --n;
    }
    std::memcpy(out, src, n);
    out[n] = 0;
}

#ifdef _WIN32

namespace {

// MAXERRORLENGTH UTF-16 units become at most three bytes each.
constexpr int WideChars = MAXERRORLENGTH;

void fromWide(const wchar_t* wide, char* text, size_t size) {
    char utf8[3 * WideChars + 1];
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, nullptr, nullptr);
    if (n <= 0) {
        copyUtf8("", 0, text, size);
        return;
    }
    copyUtf8(utf8, std::strlen(utf8), text, size);
}

}  // namespace

void deviceErrorText(Direction direction, DeviceResult result, char* text, size_t size) {
    wchar_t wide[WideChars + 1] = {0};
    const auto code = static_cast<MMRESULT>(result);
    if (direction == Direction::Capture) {
        waveInGetErrorTextW(code, wide, WideChars);
    } else {
        waveOutGetErrorTextW(code, wide, WideChars);
    }
    fromWide(wide, text, size);
}

#else

namespace {

// The texts the waveform API words for its result codes, so that a user reads the same text on
// every system.
const char* waveText(DeviceResult result) {
    switch (result) {
        case DeviceResult::Ok:
            return "The specified command was carried out.";
        case DeviceResult::Failed:
            return "Undefined external error.";
        case DeviceResult::BadDeviceId:
            return "A device ID has been used that is out of range for your system.";
        case DeviceResult::NotEnabled:
            return "The driver was not enabled.";
        case DeviceResult::InUse:
            return "The specified device is already in use. Wait until it is free, and then try "
                   "again.";
        case DeviceResult::InvalidHandle:
            return "The specified device handle is invalid.";
        case DeviceResult::NoDriver:
            return "There is no driver installed on your system.";
        case DeviceResult::NoMemory:
            return "There is not enough memory available for this task. Quit one or more "
                   "applications to increase available memory, and then try again.";
        case DeviceResult::NotSupported:
            return "This function is not supported. Use the Capabilities function to determine "
                   "which functions and messages the driver supports.";
        case DeviceResult::BadErrorNumber:
            return "An error number was specified that is not defined in the system.";
        case DeviceResult::InvalidFlag:
            return "An invalid flag was passed to a system function.";
        case DeviceResult::InvalidParameter:
            return "An invalid parameter was passed to a system function.";
        case DeviceResult::BadFormat:
            return "The specified format is not supported or cannot be translated. Use the "
                   "Capabilities function to determine the supported formats.";
        case DeviceResult::StillPlaying:
            return "Cannot perform this operation while media data is still playing. Reset the "
                   "device, or wait until the data is finished playing.";
        case DeviceResult::Unprepared:
            return "The wave header was not prepared. Use the Prepare function to prepare the "
                   "header, and then try again.";
        case DeviceResult::Sync:
            return "Cannot open the device without using the WAVE_ALLOWSYNC flag. Use the flag, "
                   "and then try again.";
        default:
            return "";
    }
}

}  // namespace

void deviceErrorText(Direction, DeviceResult result, char* text, size_t size) {
    const char* t = waveText(result);
    copyUtf8(t, std::strlen(t), text, size);
}

#endif

}  // namespace brimvox
