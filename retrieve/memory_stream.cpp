#include "memory_stream.h"

#include <cstdint>
#include <cstring>

#include "allocation.h"

namespace {
// Largest store we attempt; anything beyond is refused as out of memory.
constexpr ULONGLONG kMaxCapacity =
    sizeof(void*) >= 8 ? (ULONGLONG{1} << 36) : ULONGLONG{0x7FFFF000};
}  // namespace

MemoryStream::~MemoryStream() {
    freeBytes(storage_);
}

HRESULT STDMETHODCALLTYPE MemoryStream::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStream)) {
        *object = static_cast<IStream*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

bool MemoryStream::reserve(ULONGLONG n) {
    if (n <= capacity_) return true;
    ULONGLONG pages = (n & ~(kPage - 1)) + kPage;
    if (pages > kMaxCapacity) return false;
    if (pages > allocated_) {
        ULONGLONG target = allocated_ + allocated_ / 2;
        target = (target + kPage - 1) & ~(kPage - 1);
        if (target < pages) target = pages;
        if (target > kMaxCapacity) target = kMaxCapacity;
        auto* fresh = static_cast<BYTE*>(allocateBytes(static_cast<size_t>(target)));
        if (fresh == nullptr && target > pages) {
            target = pages;
            fresh = static_cast<BYTE*>(allocateBytes(static_cast<size_t>(target)));
        }
        if (fresh == nullptr) return false;
        if (size_ > 0) std::memcpy(fresh, storage_, static_cast<size_t>(size_));
        freeBytes(storage_);
        storage_ = fresh;
        allocated_ = target;
    }
    capacity_ = pages;
    return true;
}

HRESULT STDMETHODCALLTYPE MemoryStream::Read(void* buffer, ULONG count, ULONG* done) {
    if (done != nullptr) *done = 0;
    ULONGLONG available = size_ - position_;
    ULONG n = available < count ? static_cast<ULONG>(available) : count;
    if (n > 0) {
        if (buffer == nullptr) return E_INVALIDARG;
        std::memcpy(buffer, storage_ + position_, n);
        position_ += n;
    }
    if (done != nullptr) *done = n;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MemoryStream::Write(const void* buffer, ULONG count, ULONG* done) {
    if (done != nullptr) *done = 0;
    if (count == 0) return S_OK;
    if (buffer == nullptr) return E_INVALIDARG;
    ULONGLONG end = position_ + count;
    if (!reserve(end)) return E_OUTOFMEMORY;
    std::memcpy(storage_ + position_, buffer, count);
    position_ = end;
    if (end > size_) size_ = end;
    if (done != nullptr) *done = count;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MemoryStream::Seek(LARGE_INTEGER move, DWORD origin,
                                             ULARGE_INTEGER* newPosition) {
    LONGLONG base;
    switch (origin) {
        case STREAM_SEEK_SET:
            base = 0;
            break;
        case STREAM_SEEK_CUR:
            base = static_cast<LONGLONG>(position_);
            break;
        case STREAM_SEEK_END:
            base = static_cast<LONGLONG>(size_);
            break;
        default:
            return S_OK;  // unknown origin: accepted, nothing changes
    }
    // base never exceeds kMaxCapacity, so only a very large forward move can overflow.
    if (move.QuadPart > 0 && base > INT64_MAX - move.QuadPart) return E_OUTOFMEMORY;
    LONGLONG target = base + move.QuadPart;
    if (target < 0) return STG_E_INVALIDFUNCTION;  // before the start: refused, nothing moves
    auto position = static_cast<ULONGLONG>(target);
    if (position > size_) {
        ULARGE_INTEGER grown = ulargeInteger(position);
        HRESULT hr = SetSize(grown);
        if (FAILED(hr)) return hr;
    }
    position_ = position;
    if (newPosition != nullptr) newPosition->QuadPart = position_;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MemoryStream::SetSize(ULARGE_INTEGER newSize) {
    ULONGLONG n = newSize.QuadPart;
    if (!reserve(n)) return E_OUTOFMEMORY;
    if (n > size_) {
        // Bytes between the old and the new size read as zeros.
        std::memset(storage_ + size_, 0, static_cast<size_t>(n - size_));
        size_ = n;
    }
    if (position_ > size_) position_ = size_;
    return S_OK;
}
