// IStream over a system file; ParseRequest writes its dump file through one.
#pragma once

#include "com_types.h"
#include "ref_counted.h"

class FileStream : public IStream, public RefCounted {
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
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    ULONG addRef() override { return AddRef(); }

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* done) override;
    HRESULT STDMETHODCALLTYPE Write(const void* buffer, ULONG count, ULONG* done) override;

    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                   ULARGE_INTEGER* newPosition) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER newSize) override;
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* destination, ULARGE_INTEGER count,
                                     ULARGE_INTEGER* read, ULARGE_INTEGER* written) override;
    HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Revert() override;
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count,
                                         DWORD lockType) override;
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count,
                                           DWORD lockType) override;
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Clone(IStream** clone) override;

  private:
    HANDLE file_ = nullptr;
};
