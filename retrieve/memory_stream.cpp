#include "memory_stream.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "allocation.h"
#include "com_guard.h"

namespace brimvox::retrieve {

namespace {
// Largest store we attempt: one page beyond the largest size.
constexpr ULONGLONG kMaxCapacity = MemoryStream::kMaxSize + MemoryStream::kPage;
static_assert(kMaxCapacity % MemoryStream::kPage == 0, "the limit is a whole number of pages");
static_assert(kMaxCapacity <= SIZE_MAX, "the limit fits in a size_t");

std::atomic<ULONGLONG> sizeLimitInForce{MemoryStream::kMaxSize};
}  // namespace

MemoryStream::MemoryStream() : maxSize(sizeLimitInForce.load(std::memory_order_relaxed)) {}

void MemoryStream::setSizeLimit(ULONGLONG limit) {
    sizeLimitInForce.store(limit < kMaxSize ? limit : kMaxSize, std::memory_order_relaxed);
}

MemoryStream::~MemoryStream() {
    freeBytes(storage);
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
    // Checked first: the last page may have room beyond the limit, and near 2^64 the page count
    // would wrap to a small number.
    if (n > maxSize) return false;
    if (n <= pageCapacity) return true;
    ULONGLONG pages = (n & ~(kPage - 1)) + kPage;
    if (pages > allocatedBytes) {
        ULONGLONG target = allocatedBytes + allocatedBytes / 2;
        target = (target + kPage - 1) & ~(kPage - 1);
        if (target < pages) target = pages;
        // Never beyond one page past the limit (at most kMaxCapacity).
        if (target > maxSize + kPage) target = maxSize + kPage;
        auto* fresh = static_cast<BYTE*>(allocateBytes(static_cast<size_t>(target)));
        if (fresh == nullptr && target > pages) {
            target = pages;
            fresh = static_cast<BYTE*>(allocateBytes(static_cast<size_t>(target)));
        }
        if (fresh == nullptr) return false;
        if (contentSize > 0) std::memcpy(fresh, storage, static_cast<size_t>(contentSize));
        freeBytes(storage);
        storage = fresh;
        allocatedBytes = target;
    }
    pageCapacity = pages;
    return true;
}

HRESULT STDMETHODCALLTYPE MemoryStream::Read(void* buffer, ULONG count, ULONG* done) {
    return comGuard([&] { return read(buffer, count, done); });
}

HRESULT MemoryStream::read(void* buffer, ULONG count, ULONG* done) {
    if (done != nullptr) *done = 0;
    ULONGLONG available = contentSize - cursor;
    ULONG n = available < count ? static_cast<ULONG>(available) : count;
    if (n > 0) {
        if (buffer == nullptr) return E_INVALIDARG;
        std::memcpy(buffer, storage + cursor, n);
        cursor += n;
    }
    if (done != nullptr) *done = n;
    return S_OK;
}

bool MemoryStream::assign(const BYTE* bytes, ULONGLONG count) {
    if (count > maxSize) return false;
    if (count > 0) {
        if (!reserve(count)) return false;
        std::memcpy(storage, bytes, static_cast<size_t>(count));
    }
    contentSize = count;
    cursor = 0;
    return true;
}

HRESULT STDMETHODCALLTYPE MemoryStream::Write(const void* buffer, ULONG count, ULONG* done) {
    return comGuard([&] { return write(buffer, count, done); });
}

HRESULT MemoryStream::write(const void* buffer, ULONG count, ULONG* done) {
    if (done != nullptr) *done = 0;
    if (count == 0) return S_OK;
    if (buffer == nullptr) return E_INVALIDARG;
    // cursor never exceeds maxSize, so the sum cannot wrap; reserve refuses it when too big.
    ULONGLONG end = cursor + count;
    if (!reserve(end)) return E_OUTOFMEMORY;
    std::memcpy(storage + cursor, buffer, count);
    cursor = end;
    if (end > contentSize) contentSize = end;
    if (done != nullptr) *done = count;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MemoryStream::Seek(LARGE_INTEGER move, DWORD origin,
                                             ULARGE_INTEGER* newPosition) {
    return comGuard([&] { return seek(move, origin, newPosition); });
}

HRESULT MemoryStream::seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) {
    LONGLONG base;
    switch (origin) {
        case STREAM_SEEK_SET:
            base = 0;
            break;
        case STREAM_SEEK_CUR:
            base = static_cast<LONGLONG>(cursor);
            break;
        case STREAM_SEEK_END:
            base = static_cast<LONGLONG>(contentSize);
            break;
        default:
            return S_OK;  // unknown origin: accepted, nothing changes
    }
    // base lies in [0, maxSize], so base + move cannot wrap once the move is known to lie
    // within the limit on either side.
    LONGLONG move64 = move.QuadPart;
    auto limit = static_cast<LONGLONG>(maxSize);
    if (move64 > limit) return E_OUTOFMEMORY;
    if (move64 < -limit) return STG_E_INVALIDFUNCTION;
    LONGLONG target = base + move64;
    if (target < 0) return STG_E_INVALIDFUNCTION;  // before the start: refused, nothing moves
    if (target > limit) return E_OUTOFMEMORY;
    auto position = static_cast<ULONGLONG>(target);
    if (position > contentSize) {
        ULARGE_INTEGER grown = ulargeInteger(position);
        HRESULT hr = setSize(grown);
        if (FAILED(hr)) return hr;
    }
    cursor = position;
    if (newPosition != nullptr) newPosition->QuadPart = cursor;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MemoryStream::SetSize(ULARGE_INTEGER newSize) {
    return comGuard([&] { return setSize(newSize); });
}

HRESULT MemoryStream::setSize(ULARGE_INTEGER newSize) {
    ULONGLONG n = newSize.QuadPart;
    if (!reserve(n)) return E_OUTOFMEMORY;
    if (n > contentSize) {
        // Bytes between the old and the new size read as zeros.
        std::memset(storage + contentSize, 0, static_cast<size_t>(n - contentSize));
        contentSize = n;
    }
    if (cursor > contentSize) cursor = contentSize;
    return S_OK;
}

}  // namespace brimvox::retrieve
