// Java strings as the engine's paths: the UTF-16 characters of a java.lang.String as real UTF-8.
// (JNI's GetStringUTFChars gives modified UTF-8, which writes a character outside the Basic
// Multilingual Plane as two three-byte halves: no such file name exists on a UTF-8 system.)
#pragma once

#include <cstddef>
#include <string>

namespace brimvox {

// UTF-8 of `count` UTF-16 code units. A surrogate pair becomes one four-byte character; a
// surrogate without its partner, which no file name can hold, becomes U+FFFD.
std::string utf8FromUtf16(const char16_t* text, size_t count);

}  // namespace brimvox
