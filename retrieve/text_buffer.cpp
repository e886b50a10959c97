#include "text_buffer.h"

#include <cstring>

#include "allocation.h"

namespace {
constexpr uint32_t kStep = 4096;
constexpr size_t kMaxCapacity = 0x7FFFF000u;
}  // namespace

TextBuffer::~TextBuffer() {
    clear();
}

const char* TextBuffer::text() const {
    return storage_ != nullptr ? storage_ : "";
}

bool TextBuffer::append(const char* text) {
    if (text == nullptr || *text == '\0') return true;
    return append(text, std::strlen(text));
}

bool TextBuffer::append(const char* text, size_t count) {
    if (text == nullptr || count == 0) return true;
    size_t needed = static_cast<size_t>(length_) + count + 1;
    if (needed < count || needed > kMaxCapacity) return false;
    if (needed > capacity_ && !reserve(needed)) return false;
    std::memcpy(storage_ + length_, text, count);
    length_ += static_cast<uint32_t>(count);
    storage_[length_] = '\0';
    return true;
}

bool TextBuffer::reserve(size_t bytes) {
    if (bytes > kMaxCapacity) return false;
    auto rounded = static_cast<uint32_t>((bytes + kStep - 1) / kStep * kStep);
    if (rounded <= capacity_) return true;
    if (rounded > allocated_) {
        size_t target = static_cast<size_t>(allocated_) * 2;
        if (target < rounded) target = rounded;
        if (target > kMaxCapacity) target = kMaxCapacity;
        auto* fresh = static_cast<char*>(allocateBytes(target));
        if (fresh == nullptr && target > rounded) {
            target = rounded;
            fresh = static_cast<char*>(allocateBytes(target));
        }
        if (fresh == nullptr) return false;
        if (storage_ != nullptr) {
            std::memcpy(fresh, storage_, static_cast<size_t>(length_) + 1);
        } else {
            fresh[0] = '\0';
            length_ = 0;
        }
        freeBytes(storage_);
        storage_ = fresh;
        allocated_ = static_cast<uint32_t>(target);
    }
    capacity_ = rounded;
    return true;
}

void TextBuffer::makeEmpty() {
    if (storage_ != nullptr) storage_[0] = '\0';
    length_ = 0;
}

void TextBuffer::clear() {
    freeBytes(storage_);
    storage_ = nullptr;
    capacity_ = 0;
    allocated_ = 0;
    length_ = 0;
}
