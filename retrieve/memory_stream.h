// Growable in-memory byte store behind IStream. The request body and every DataToTheEnd result
// live in one.
#pragma once

#include "com_types.h"
#include "stream_base.h"

namespace brimvox::retrieve {

class MemoryStream : public StreamBase {
  public:
    static constexpr ULONGLONG kPage = 4096;
    // Largest size the store takes; larger sizes, positions and writes are refused with
    // E_OUTOFMEMORY and change nothing.
    static constexpr ULONGLONG kMaxSize =
        sizeof(void*) >= 8 ? (ULONGLONG{1} << 36) - kPage : ULONGLONG{0x7FFFE000};

    // Takes the size limit in force: kMaxSize unless lowered with setSizeLimit.
    MemoryStream();
    ~MemoryStream() override;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;

    // ISequentialStream
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* done) override;
    HRESULT STDMETHODCALLTYPE Write(const void* buffer, ULONG count, ULONG* done) override;

    // IStream
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                   ULARGE_INTEGER* newPosition) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER newSize) override;

    ULONGLONG position() const { return cursor; }
    ULONGLONG size() const { return contentSize; }
    // Whole pages, always more than the largest size asked for: 4096 bytes give 8192.
    ULONGLONG capacity() const { return pageCapacity; }
    const BYTE* data() const { return storage; }

    // Makes `count` bytes the whole content, position 0, in one allocation; false (nothing
    // changed) when the storage cannot be had. Meant for a new stream.
    bool assign(const BYTE* bytes, ULONGLONG count);
    // The largest size this stream takes.
    ULONGLONG sizeLimit() const { return maxSize; }
    // Streams created from now on take at most `limit` bytes (never more than kMaxSize). The
    // tests and the fuzzer lower it to take streams to their limit and past it without
    // allocating gigabytes; the component itself never calls it.
    static void setSizeLimit(ULONGLONG limit);

    // Moves the position within the content (never beyond the size).
    void setPosition(ULONGLONG position) {
        cursor = position <= contentSize ? position : contentSize;
    }

  private:
    // The bodies of the IStream members, which run them through comGuard.
    HRESULT read(void* buffer, ULONG count, ULONG* done);
    HRESULT write(const void* buffer, ULONG count, ULONG* done);
    HRESULT seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition);
    HRESULT setSize(ULARGE_INTEGER newSize);
    // Makes room for n bytes; false when storage cannot be grown.
    bool reserve(ULONGLONG n);

    ULONGLONG cursor = 0;
    ULONGLONG contentSize = 0;
    ULONGLONG pageCapacity = 0;
    BYTE* storage = nullptr;
    // Bytes really allocated. Grows geometrically (never below pageCapacity) so that a body
    // written in many small steps is copied a bounded number of times.
    ULONGLONG allocatedBytes = 0;
    ULONGLONG maxSize;
};

}  // namespace brimvox::retrieve
