#include "text_buffer.h"

#include <cstring>

#include "allocation.h"

namespace brimvox::retrieve {

namespace {
constexpr uint32_t kStep = 4096;
constexpr size_t kMaxCapacity = 0x7FFFF000u;
}  // namespace

TextBuffer::~TextBuffer() {
    clear();
}

const char* TextBuffer::text() const {
    return storage != nullptr ? storage : "";
}

bool TextBuffer::append(const char* text) {
    if (text == nullptr || *text == '\0') return true;
    return append(text, std::strlen(text));
}

bool TextBuffer::append(const char* text, size_t count) {
    if (text == nullptr || count == 0) return true;
    size_t needed = static_cast<size_t>(textLength) + count + 1;
    if (needed < count || needed > kMaxCapacity) return false;
    if (needed > pageCapacity && !reserve(needed)) return false;
    std::memcpy(storage + textLength, text, count);
    textLength += static_cast<uint32_t>(count);
    storage[textLength] = '\0';
    return true;
}

bool TextBuffer::reserve(size_t bytes) {
    if (bytes > kMaxCapacity) return false;
    auto rounded = static_cast<uint32_t>((bytes + kStep - 1) / kStep * kStep);
    if (rounded <= pageCapacity) return true;
    if (rounded > allocatedBytes) {
        size_t target = static_cast<size_t>(allocatedBytes) * 2;
        if (target < rounded) target = rounded;
        if (target > kMaxCapacity) target = kMaxCapacity;
        auto* fresh = static_cast<char*>(allocateBytes(target));
        if (fresh == nullptr && target > rounded) {
            target = rounded;
            fresh = static_cast<char*>(allocateBytes(target));
        }
        if (fresh == nullptr) return false;
        if (storage != nullptr) {
            std::memcpy(fresh, storage, static_cast<size_t>(textLength) + 1);
        } else {
            fresh[0] = '\0';
            textLength = 0;
        }
        freeBytes(storage);
        storage = fresh;
        allocatedBytes = static_cast<uint32_t>(target);
    }
    pageCapacity = rounded;
    return true;
}

void TextBuffer::makeEmpty() {
    if (storage != nullptr) storage[0] = '\0';
    textLength = 0;
}

void TextBuffer::clear() {
    freeBytes(storage);
    storage = nullptr;
    pageCapacity = 0;
    allocatedBytes = 0;
    textLength = 0;
}

}  // namespace brimvox::retrieve
