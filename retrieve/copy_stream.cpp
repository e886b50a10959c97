#include "copy_stream.h"

namespace brimvox::retrieve {

namespace {
// CopyTo chunks grow from the first to the largest size, doubling each step.
constexpr ULONG kFirstChunk = 4096;
constexpr ULONG kLargestChunk = 65536;
// Bytes moved per Read and Write when the source offers no CopyTo.
constexpr ULONG kFallbackChunk = 4096;
}  // namespace

bool CopyStream(IStream* destination, IStream* source) {
    if (destination == nullptr || source == nullptr) return false;

    // Prefer the source's own CopyTo, in chunks growing from 4 KiB to 64 KiB.
    IStream* stream = nullptr;
    if (SUCCEEDED(source->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream))) &&
        stream != nullptr) {
        ULONG chunk = kFirstChunk;
        for (;;) {
            ULARGE_INTEGER count = ulargeInteger(chunk);
            ULARGE_INTEGER read = ulargeInteger(0);
            ULARGE_INTEGER written = ulargeInteger(0);
            HRESULT hr = stream->CopyTo(destination, count, &read, &written);
            if (chunk < kLargestChunk) chunk *= 2;
            if (FAILED(hr)) break;
            if (read.QuadPart == 0) {
                stream->Release();
                return true;
            }
        }
        stream->Release();
    }

    // Fallback: plain reads and writes.
    BYTE buffer[kFallbackChunk];
    for (;;) {
        ULONG read = 0;
        HRESULT hr = source->Read(buffer, sizeof buffer, &read);
        if (FAILED(hr) || read == 0) break;
        ULONG written = 0;
        // A destination that cannot take the bytes would silently truncate the copy.
        if (FAILED(destination->Write(buffer, read, &written))) return false;
    }
    return true;
}

}  // namespace brimvox::retrieve
