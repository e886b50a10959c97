// Texts of the system as UTF-8: copying them cut at a character boundary, and (sound_device.h's
// deviceErrorText) the wave device texts, which on Windows the system words in UTF-16 (the ANSI
// forms would give the code page's bytes, which are not UTF-8 outside ASCII).
#pragma once

#include <cstddef>

#include "sound_device.h"

namespace brimvox {

// Copies the UTF-8 text src (srcBytes long) into out (capacity size > 0, terminated), cut at a
// character boundary when it does not fit.
void copyUtf8(const char* src, size_t srcBytes, char* out, size_t size);

}  // namespace brimvox
