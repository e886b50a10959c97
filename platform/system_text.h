// The system's texts for wave device errors, always as UTF-8: on Windows the system words them
// in UTF-16 (the ANSI forms would give the code page's bytes, which are not UTF-8 outside ASCII).
#pragma once

#include <cstddef>

#include "wave_api.h"

namespace brimvox {

// Writes the text for code into text (capacity size > 0, terminated), cut at a character
// boundary when it does not fit.
void waveInErrorText(MMRESULT code, char* text, size_t size);
void waveOutErrorText(MMRESULT code, char* text, size_t size);

// Copies the UTF-8 text src (srcBytes long) into out (capacity size > 0, terminated), cut at a
// character boundary when it does not fit.
void copyUtf8(const char* src, size_t srcBytes, char* out, size_t size);

}  // namespace brimvox
