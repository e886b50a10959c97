// The waveform-API calls the Windows sound device makes, reached through one table so that a
// test can stand in for the system's driver. Production code never changes the table; it holds
// the system's own functions. Not part of the engine's interface (sound_device.h).
#pragma once
#ifdef _WIN32

#include <windows.h>
// mmsystem.h needs the types of windows.h
#include <mmsystem.h>

namespace brimvox {

struct WaveCalls {
    UINT(WINAPI* inGetNumDevs)();
    MMRESULT(WINAPI* inGetDevCaps)(UINT_PTR, LPWAVEINCAPSA, UINT);
    MMRESULT(WINAPI* inOpen)(LPHWAVEIN, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD);
    MMRESULT(WINAPI* inPrepareHeader)(HWAVEIN, LPWAVEHDR, UINT);
    MMRESULT(WINAPI* inUnprepareHeader)(HWAVEIN, LPWAVEHDR, UINT);
    MMRESULT(WINAPI* inAddBuffer)(HWAVEIN, LPWAVEHDR, UINT);
    MMRESULT(WINAPI* inStart)(HWAVEIN);
    MMRESULT(WINAPI* inReset)(HWAVEIN);
    MMRESULT(WINAPI* inClose)(HWAVEIN);
    UINT(WINAPI* outGetNumDevs)();
    MMRESULT(WINAPI* outGetDevCaps)(UINT_PTR, LPWAVEOUTCAPSA, UINT);
    MMRESULT(WINAPI* outOpen)(LPHWAVEOUT, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD);
    MMRESULT(WINAPI* outPrepareHeader)(HWAVEOUT, LPWAVEHDR, UINT);
    MMRESULT(WINAPI* outUnprepareHeader)(HWAVEOUT, LPWAVEHDR, UINT);
    MMRESULT(WINAPI* outWrite)(HWAVEOUT, LPWAVEHDR, UINT);
    MMRESULT(WINAPI* outPause)(HWAVEOUT);
    MMRESULT(WINAPI* outRestart)(HWAVEOUT);
    MMRESULT(WINAPI* outReset)(HWAVEOUT);
    MMRESULT(WINAPI* outClose)(HWAVEOUT);
    // Gives back a block of the headers' or samples' memory (headers and samples are allocated
    // one block each). Here so that a test can tell which blocks were freed.
    void (*freeMemory)(void* block);
};

// The table the sound device calls through: the system's functions unless a test replaced them.
// Set it only while no wave device is open.
extern WaveCalls waveCalls;
// The system's own table, for restoring it.
const WaveCalls& systemWaveCalls();

}  // namespace brimvox

#endif
