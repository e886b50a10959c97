// Conversions between the interface's UTF-16 BSTRs and the ANSI text (the process's code page)
// that the component stores and parses.
#pragma once

#include <cstddef>

#include "com_types.h"

namespace brimvox::retrieve {

// An owned ANSI text, NUL-terminated.
class AnsiText {
  public:
    AnsiText() = default;
    AnsiText(const AnsiText&) = delete;
    AnsiText& operator=(const AnsiText&) = delete;
    ~AnsiText();

    const char* text() const { return storage != nullptr ? storage : ""; }
    size_t length() const { return textLength; }

    // Converts `length` UTF-16 units. E_OUTOFMEMORY when storage fails, the system's error as
    // an HRESULT when the conversion is refused.
    HRESULT assign(const OLECHAR* text, size_t length);

  private:
    char* storage = nullptr;
    size_t textLength = 0;
};

// Number of characters before the first NUL; 0 for a null string.
size_t wideLength(const OLECHAR* text);

// A new BSTR holding `length` ANSI bytes converted to UTF-16; the caller owns it.
HRESULT ansiToBstr(const char* text, size_t length, BSTR* result);

}  // namespace brimvox::retrieve
