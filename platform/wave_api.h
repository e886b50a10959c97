// The waveform-audio API the wave devices use. On Windows it is the system's own; elsewhere it is
// this library's implementation of the same calls and semantics over ALSA or the virtual sound
// card (see virtual_card.h). The backend is chosen by the environment variable BRIMVOX_AUDIO:
// "alsa" (default), "virtual" or "none" (no devices).
#pragma once

#ifdef _WIN32
#include <windows.h>
// mmsystem.h needs the types of windows.h
#include <mmsystem.h>
#else

#include <cstdint>

namespace brimvox {

using UINT = unsigned int;
using WORD = uint16_t;
using DWORD = uint32_t;
using DWORD_PTR = uintptr_t;
using MMRESULT = UINT;
using LPSTR = char*;

struct WaveDeviceHandle;
using HWAVEIN = WaveDeviceHandle*;
using HWAVEOUT = WaveDeviceHandle*;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;
constexpr MMRESULT WAVERR_SYNC = 35;

constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1);
constexpr DWORD CALLBACK_NULL = 0x00000000;
constexpr DWORD CALLBACK_EVENT = 0x00050000;
constexpr WORD WAVE_FORMAT_PCM = 1;
constexpr UINT MAXPNAMELEN = 32;

constexpr DWORD WHDR_DONE = 0x01;
constexpr DWORD WHDR_PREPARED = 0x02;
constexpr DWORD WHDR_BEGINLOOP = 0x04;
constexpr DWORD WHDR_ENDLOOP = 0x08;
constexpr DWORD WHDR_INQUEUE = 0x10;

struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};

struct WAVEHDR {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;
    DWORD_PTR reserved;
};

struct WAVEOUTCAPSA {
    WORD wMid;
    WORD wPid;
    UINT vDriverVersion;
    char szPname[MAXPNAMELEN];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
    DWORD dwSupport;
};

struct WAVEINCAPSA {
    WORD wMid;
    WORD wPid;
    UINT vDriverVersion;
    char szPname[MAXPNAMELEN];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
};

// Output. With CALLBACK_EVENT, `callback` is an Event's callbackHandle(); the event is set
// whenever a buffer completes (and at open and close).
UINT waveOutGetNumDevs();
MMRESULT waveOutGetDevCapsA(UINT device, WAVEOUTCAPSA* caps, UINT size);
MMRESULT waveOutOpen(HWAVEOUT* handle, UINT device, const WAVEFORMATEX* format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD flags);
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, UINT size);
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, UINT size);
MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, UINT size);
MMRESULT waveOutPause(HWAVEOUT handle);
MMRESULT waveOutRestart(HWAVEOUT handle);
MMRESULT waveOutReset(HWAVEOUT handle);
MMRESULT waveOutClose(HWAVEOUT handle);
MMRESULT waveOutGetErrorTextA(MMRESULT code, char* text, UINT size);

// Input.
UINT waveInGetNumDevs();
MMRESULT waveInGetDevCapsA(UINT device, WAVEINCAPSA* caps, UINT size);
MMRESULT waveInOpen(HWAVEIN* handle, UINT device, const WAVEFORMATEX* format, DWORD_PTR callback,
                    DWORD_PTR instance, DWORD flags);
MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, UINT size);
MMRESULT waveInUnprepareHeader(HWAVEIN handle, WAVEHDR* header, UINT size);
MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, UINT size);
MMRESULT waveInStart(HWAVEIN handle);
MMRESULT waveInStop(HWAVEIN handle);
MMRESULT waveInReset(HWAVEIN handle);
MMRESULT waveInClose(HWAVEIN handle);
MMRESULT waveInGetErrorTextA(MMRESULT code, char* text, UINT size);

// Uses of wave headers against the API's contract since the process started, which the system's
// own API may accept silently but its drivers need not: a header prepared with stray flags (they
// must be 0 before the first prepare), a header unprepared with another length than it was
// prepared with, a device closed with headers still prepared. Tests read it to keep the wave
// devices honest.
int waveHeaderMisuse();
// Tests only: hands back the buffers of every device still open (one its user gave up on) and
// closes it; the number of such devices.
int waveCloseLeftDevices();

}  // namespace brimvox

#endif
