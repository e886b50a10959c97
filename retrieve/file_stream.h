// IStream over a system file; ParseRequest writes its dump file through one.
#pragma once

#include "com_types.h"
#include "stream_base.h"

class FileStream : public StreamBase {
  public:
    // Codes of the access, disposition and share columns:
    //   0 read, open existing, no sharing; 1 write, open always, share reading;
    //   2 read and write, create new, share writing; 3 (disposition only) create always.
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
    HANDLE file_ = nullptr;
};
