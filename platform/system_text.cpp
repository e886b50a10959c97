#include "system_text.h"

#include <cstring>

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

void waveInErrorText(MMRESULT code, char* text, size_t size) {
    wchar_t wide[WideChars + 1] = {0};
    waveInGetErrorTextW(code, wide, WideChars);
    fromWide(wide, text, size);
}

void waveOutErrorText(MMRESULT code, char* text, size_t size) {
    wchar_t wide[WideChars + 1] = {0};
    waveOutGetErrorTextW(code, wide, WideChars);
    fromWide(wide, text, size);
}

#else

// Our own waveform API words its texts in ASCII.
void waveInErrorText(MMRESULT code, char* text, size_t size) {
    char ascii[257] = {0};
    waveInGetErrorTextA(code, ascii, sizeof ascii);
    copyUtf8(ascii, std::strlen(ascii), text, size);
}

void waveOutErrorText(MMRESULT code, char* text, size_t size) {
    char ascii[257] = {0};
    waveOutGetErrorTextA(code, ascii, sizeof ascii);
    copyUtf8(ascii, std::strlen(ascii), text, size);
}

#endif

}  // namespace brimvox
