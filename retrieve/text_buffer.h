// NUL-terminated ANSI text whose capacity grows in 4096-byte steps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brimvox::retrieve {

class TextBuffer {
  public:
    TextBuffer() = default;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    virtual ~TextBuffer();

    // The text; an empty text when there is no storage. Never null.
    const char* text() const;
    size_t length() const { return textLength; }
    // 0 or a multiple of 4096, always more than the text's length.
    uint32_t capacity() const { return pageCapacity; }

    // Appends a NUL-terminated text; null or empty changes nothing. False when the storage
    // could not be grown (the text is then unchanged).
    bool append(const char* text);
    bool append(const char* text, size_t count);
    // Capacity becomes `bytes` rounded up to 4096 when that is more; false when it cannot grow.
    bool reserve(size_t bytes);
    // Empties the text, keeping the storage.
    void makeEmpty();
    // Frees the storage.
    void clear();

  private:
    char* storage = nullptr;
    uint32_t pageCapacity = 0;
    uint32_t textLength = 0;
    // Bytes really allocated; grows geometrically so that long lines stay linear to build.
    uint32_t allocatedBytes = 0;
};

}  // namespace brimvox::retrieve
