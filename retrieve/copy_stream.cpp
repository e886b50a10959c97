#include "copy_stream.h"

bool CopyStream(IStream* destination, IStream* source) {
    if (destination == nullptr || source == nullptr) return false;

    // Prefer the source's own CopyTo, in chunks growing from 4 KiB to 64 KiB.
    IStream* stream = nullptr;
    if (SUCCEEDED(source->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream))) &&
        stream != nullptr) {
        ULONG chunk = 4096;
        for (;;) {
            ULARGE_INTEGER count = ulargeInteger(chunk);
            ULARGE_INTEGER read = ulargeInteger(0);
            ULARGE_INTEGER written = ulargeInteger(0);
            HRESULT hr = stream->CopyTo(destination, count, &read, &written);
            if (chunk < 65536) chunk *= 2;
            if (FAILED(hr)) break;
            if (read.QuadPart == 0) {
                stream->Release();
                return true;
            }
        }
        stream->Release();
    }

    // Fallback: plain reads and writes of up to 4096 bytes.
    BYTE buffer[4096];
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
