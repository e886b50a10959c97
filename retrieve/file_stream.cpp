#include "file_stream.h"

namespace brimvox::retrieve {

namespace {

bool mapAccess(int code, DWORD& access) {
    switch (code) {
        case FileStream::kAccessRead:
            access = GENERIC_READ;
            return true;
        case FileStream::kAccessWrite:
            access = GENERIC_WRITE;
            return true;
        case FileStream::kAccessReadWrite:
            access = GENERIC_READ | GENERIC_WRITE;
            return true;
        default:
            return false;
    }
}

bool mapDisposition(int code, DWORD& disposition) {
    switch (code) {
        case FileStream::kOpenExisting:
            disposition = OPEN_EXISTING;
            return true;
        case FileStream::kOpenAlways:
            disposition = OPEN_ALWAYS;
            return true;
        case FileStream::kCreateNew:
            disposition = CREATE_NEW;
            return true;
        case FileStream::kCreateAlways:
            disposition = CREATE_ALWAYS;
            return true;
        default:
            return false;
    }
}

bool mapShare(int code, DWORD& share) {
    switch (code) {
        case FileStream::kShareNone:
            share = 0;
            return true;
        case FileStream::kShareRead:
            share = FILE_SHARE_READ;
            return true;
        case FileStream::kShareWrite:
            share = FILE_SHARE_WRITE;
            return true;
        default:
            return false;
    }
}

}  // namespace

FileStream::FileStream(const char* name, int access, int disposition, int share) {
    open(name, access, disposition, share);
}

FileStream::~FileStream() {
    close();
}

bool FileStream::isOpen() const {
    return file != nullptr && file != INVALID_HANDLE_VALUE;
}

bool FileStream::open(const char* name, int access, int disposition, int share) {
    close();
    DWORD systemAccess = 0, systemDisposition = 0, systemShare = 0;
    if (name == nullptr || !mapAccess(access, systemAccess) ||
        !mapDisposition(disposition, systemDisposition) || !mapShare(share, systemShare)) {
        return false;
    }
    file = CreateFileA(name, systemAccess, systemShare, nullptr, systemDisposition, 0, nullptr);
    if (!isOpen()) {
        file = nullptr;
        return false;
    }
    return true;
}

bool FileStream::close() {
    if (!isOpen()) return false;
    BOOL closed = CloseHandle(file);
    file = nullptr;
    return closed != FALSE;
}

HRESULT STDMETHODCALLTYPE FileStream::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISequentialStream) ||
        IsEqualIID(riid, IID_IStream)) {
        *object = static_cast<IStream*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE FileStream::Read(void* buffer, ULONG count, ULONG* done) {
    if (done != nullptr) *done = 0;
    if (!isOpen()) return S_FALSE;
    if (buffer == nullptr) return E_INVALIDARG;
    DWORD got = 0;
    BOOL ok = ReadFile(file, buffer, count, &got, nullptr);
    if (done != nullptr) *done = got;
    return ok ? S_OK : E_FAIL;
}

HRESULT STDMETHODCALLTYPE FileStream::Write(const void* buffer, ULONG count, ULONG* done) {
    if (done != nullptr) *done = 0;
    if (!isOpen()) return S_FALSE;
    if (buffer == nullptr) return E_INVALIDARG;
    DWORD put = 0;
    BOOL ok = WriteFile(file, buffer, count, &put, nullptr);
    if (done != nullptr) *done = put;
    return ok ? S_OK : E_FAIL;
}

HRESULT STDMETHODCALLTYPE FileStream::Seek(LARGE_INTEGER move, DWORD origin,
                                           ULARGE_INTEGER* newPosition) {
    if (!isOpen()) return S_FALSE;
    DWORD method;
    switch (origin) {
        case STREAM_SEEK_SET:
            method = FILE_BEGIN;
            break;
        case STREAM_SEEK_CUR:
            method = FILE_CURRENT;
            break;
        case STREAM_SEEK_END:
            method = FILE_END;
            break;
        default:
            return E_FAIL;
    }
    LARGE_INTEGER position = largeInteger(0);
    if (!SetFilePointerEx(file, move, &position, method)) return E_FAIL;
    if (newPosition != nullptr) newPosition->QuadPart = static_cast<ULONGLONG>(position.QuadPart);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FileStream::SetSize(ULARGE_INTEGER) {
    return E_NOTIMPL;
}

}  // namespace brimvox::retrieve
