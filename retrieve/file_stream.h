// IStream over a system file; ParseRequest writes its dump file through one.
#pragma once

#include "com_types.h"
#include "stream_base.h"

namespace brimvox::retrieve {

class FileStream : public StreamBase {
  public:
    // The codes open takes; any other value fails the open.
    static constexpr int kAccessRead = 0;
    static constexpr int kAccessWrite = 1;
    static constexpr int kAccessReadWrite = 2;
    static constexpr int kOpenExisting = 0;
    static constexpr int kOpenAlways = 1;
    static constexpr int kCreateNew = 2;
    static constexpr int kCreateAlways = 3;  // replaces an existing file
    static constexpr int kShareNone = 0;
    static constexpr int kShareRead = 1;
    static constexpr int kShareWrite = 2;

    FileStream(const char* name, int access, int disposition, int share);
    ~FileStream() override;

    // Closes any open file, then opens `name`; true when a handle was obtained.
    bool open(const char* name, int access, int disposition, int share);
    // Closes the file; the system's result, or false when no file was open.
    bool close();
    bool isOpen() const;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* done) override;
    HRESULT STDMETHODCALLTYPE Write(const void* buffer, ULONG count, ULONG* done) override;

    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                   ULARGE_INTEGER* newPosition) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER newSize) override;

  private:
    HANDLE file = nullptr;
};

}  // namespace brimvox::retrieve
