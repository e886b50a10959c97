// Native stand-in for the COM, OLE Automation and Win32 calls declared in com_types.h.
#include "com_types.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

const IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_ISequentialStream = {
    0x0c733a30, 0x2a1c, 0x11ce, {0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d}};
const IID IID_IStream = {0x0000000c, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

bool IsEqualGUID(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

namespace {
thread_local DWORD lastError = 0;
}

DWORD GetLastError() {
    return lastError;
}
void SetLastError(DWORD error) {
    lastError = error;
}

// ---- BSTR ----------------------------------------------------------------------------------

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    if (length > 0x3FFFFFF0u) return nullptr;
    size_t bytes = static_cast<size_t>(length) * sizeof(OLECHAR);
    auto* block = static_cast<uint8_t*>(std::malloc(sizeof(uint32_t) + bytes + sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    uint32_t prefix = static_cast<uint32_t>(bytes);
    std::memcpy(block, &prefix, sizeof prefix);
    auto* chars = reinterpret_cast<OLECHAR*>(block + sizeof(uint32_t));
    // Like the system's, a string allocated without text is left uninitialised.
    if (text != nullptr) std::memcpy(chars, text, bytes);
    chars[length] = 0;
    return chars;
}

BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) return nullptr;
    UINT length = 0;
    while (text[length] != 0) ++length;
    return SysAllocStringLen(text, length);
}

void SysFreeString(BSTR text) {
    if (text != nullptr) std::free(reinterpret_cast<uint8_t*>(text) - sizeof(uint32_t));
}

UINT SysStringLen(BSTR text) {
    if (text == nullptr) return 0;
    uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<uint8_t*>(text) - sizeof(uint32_t), sizeof prefix);
    return static_cast<UINT>(prefix / sizeof(OLECHAR));
}

// ---- VARIANT and SAFEARRAY -----------------------------------------------------------------

void VariantInit(VARIANT* v) {
    std::memset(v, 0, sizeof *v);
    v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* v) {
    if (v == nullptr) return E_INVALIDARG;
    if ((v->vt & VT_BYREF) == 0) {
        if (v->vt == VT_BSTR) {
            SysFreeString(v->bstrVal);
        } else if (v->vt == VT_UNKNOWN || v->vt == VT_DISPATCH) {
            if (v->punkVal != nullptr) v->punkVal->Release();
        } else if ((v->vt & VT_ARRAY) != 0) {
            if (v->parray != nullptr) SafeArrayDestroy(v->parray);
        }
    }
    VariantInit(v);
    return S_OK;
}

namespace {

ULONG elementSize(VARTYPE vt, USHORT& features) {
    features = 0;
    switch (vt) {
        case VT_UI1:
        case VT_I1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_R4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
            return 4;
        case VT_R8:
        case VT_I8:
        case VT_UI8:
        case VT_CY:
        case VT_DATE:
            return 8;
        case VT_BSTR:
            features = FADF_BSTR;
            return sizeof(BSTR);
        case VT_UNKNOWN:
            features = FADF_UNKNOWN;
            return sizeof(IUnknown*);
        case VT_DISPATCH:
            features = FADF_DISPATCH;
            return sizeof(IDispatch*);
        case VT_VARIANT:
            features = FADF_VARIANT;
            return sizeof(VARIANT);
        default:
            return 0;
    }
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds) {
    USHORT features = 0;
    ULONG element = elementSize(vt, features);
    if (element == 0 || dims == 0 || dims > 64 || bounds == nullptr) return nullptr;
    size_t header = sizeof(SAFEARRAY) + (dims - 1) * sizeof(SAFEARRAYBOUND);
    auto* array = static_cast<SAFEARRAY*>(std::calloc(1, header));
    if (array == nullptr) return nullptr;
    array->cDims = static_cast<USHORT>(dims);
    array->fFeatures = features;
    array->cbElements = element;
    size_t elements = 1;
    // The system keeps the bounds in reverse order of the dimensions.
    for (UINT i = 0; i < dims; ++i) {
        array->rgsabound[i] = bounds[dims - 1 - i];
        elements *= bounds[i].cElements;
    }
    size_t bytes = elements * element;
    array->pvData = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (array->pvData == nullptr) {
        std::free(array);
        return nullptr;
    }
    return array;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lbound, ULONG count) {
    SAFEARRAYBOUND bound = {count, lbound};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
    if (array == nullptr) return S_OK;
    if (array->cLocks != 0) return static_cast<HRESULT>(0x8002000Du);  // DISP_E_ARRAYISLOCKED
    if ((array->fFeatures & FADF_BSTR) != 0) {
        size_t elements = 1;
        for (USHORT i = 0; i < array->cDims; ++i) elements *= array->rgsabound[i].cElements;
        auto* strings = static_cast<BSTR*>(array->pvData);
        for (size_t i = 0; i < elements; ++i) SysFreeString(strings[i]);
    }
    std::free(array->pvData);
    std::free(array);
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
    if (array == nullptr || data == nullptr) return E_INVALIDARG;
    ++array->cLocks;
    *data = array->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) {
    if (array == nullptr) return E_INVALIDARG;
    if (array->cLocks == 0) return E_UNEXPECTED;
    --array->cLocks;
    return S_OK;
}

// ---- Code pages ----------------------------------------------------------------------------

namespace {

// Decodes one UTF-8 sequence; returns its length or 0 when it is malformed.
int decodeUtf8(const unsigned char* s, int left, uint32_t& cp) {
    unsigned char c = s[0];
    int n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || n > left) return 0;
    cp = n == 1 ? c : n == 2 ? (c & 0x1Fu) : n == 3 ? (c & 0x0Fu) : (c & 0x07u);
    for (int i = 1; i < n; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (s[i] & 0x3Fu);
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD, const char* text, int length, WCHAR* out,
                        int outLength) {
    if (text == nullptr || outLength < 0 || (out == nullptr && outLength != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (length < 0) length = static_cast<int>(std::strlen(text)) + 1;
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    if (codePage != CP_UTF8) {
        // ISO 8859-1: one unit per byte, widened in a loop the compiler vectorises.
        if (outLength == 0) return length;
        if (outLength < length) {
            SetLastError(122);  // ERROR_INSUFFICIENT_BUFFER
            return 0;
        }
        for (int i = 0; i < length; ++i) out[i] = s[i];
        return length;
    }
    int produced = 0;
    auto emit = [&](uint32_t unit) -> bool {
        if (outLength != 0) {
            if (produced >= outLength) return false;
            out[produced] = static_cast<WCHAR>(unit);
        }
        ++produced;
        return true;
    };
    for (int i = 0; i < length;) {
        uint32_t cp = s[i];
        int n = 1;
        if (codePage == CP_UTF8) {
            n = decodeUtf8(s + i, length - i, cp);
            if (n == 0) {
                cp = 0xFFFD;
                n = 1;
            }
        }
        bool ok = cp >= 0x10000 ? emit(0xD800 + ((cp - 0x10000) >> 10)) &&
                                      emit(0xDC00 + ((cp - 0x10000) & 0x3FF))
                                : emit(cp);
        if (!ok) {
            SetLastError(122);  // ERROR_INSUFFICIENT_BUFFER
            return 0;
        }
        i += n;
    }
    return produced;
}

int WideCharToMultiByte(UINT codePage, DWORD, const WCHAR* text, int length, char* out,
                        int outLength, const char*, BOOL* usedDefault) {
    if (text == nullptr || outLength < 0 || (out == nullptr && outLength != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (length < 0) {
        length = 0;
        while (text[length] != 0) ++length;
        ++length;
    }
    if (usedDefault != nullptr) *usedDefault = FALSE;
    int produced = 0;
    auto emit = [&](unsigned char byte) -> bool {
        if (outLength != 0) {
            if (produced >= outLength) return false;
            out[produced] = static_cast<char>(byte);
        }
        ++produced;
        return true;
    };
    for (int i = 0; i < length; ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        }
        bool ok = true;
        if (codePage == CP_UTF8) {
            if (cp < 0x80) {
                ok = emit(static_cast<unsigned char>(cp));
            } else if (cp < 0x800) {
                ok = emit(static_cast<unsigned char>(0xC0 | (cp >> 6))) &&
                     emit(static_cast<unsigned char>(0x80 | (cp & 0x3F)));
            } else if (cp < 0x10000) {
                ok = emit(static_cast<unsigned char>(0xE0 | (cp >> 12))) &&
                     emit(static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F))) &&
                     emit(static_cast<unsigned char>(0x80 | (cp & 0x3F)));
            } else {
                ok = emit(static_cast<unsigned char>(0xF0 | (cp >> 18))) &&
                     emit(static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F))) &&
                     emit(static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F))) &&
                     emit(static_cast<unsigned char>(0x80 | (cp & 0x3F)));
            }
        } else if (cp <= 0xFF) {
            ok = emit(static_cast<unsigned char>(cp));
        } else {
            if (usedDefault != nullptr) *usedDefault = TRUE;
            ok = emit('?');
        }
        if (!ok) {
            SetLastError(122);  // ERROR_INSUFFICIENT_BUFFER
            return 0;
        }
    }
    return produced;
}

// ---- Debugger output -----------------------------------------------------------------------

namespace {
std::mutex debugLock;
std::vector<std::string> debugLines;
}  // namespace

void OutputDebugStringA(const char* text) {
    std::lock_guard<std::mutex> guard(debugLock);
    if (debugLines.size() < 1000) debugLines.emplace_back(text != nullptr ? text : "");
}

std::vector<std::string> takeDebugOutput() {
    std::lock_guard<std::mutex> guard(debugLock);
    std::vector<std::string> lines;
    lines.swap(debugLines);
    return lines;
}

// ---- Threads, time, counters ---------------------------------------------------------------

DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(syscall(SYS_gettid));
}

DWORD GetTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    auto ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

LONG InterlockedIncrement(LONG volatile* value) {
    return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* value) {
    return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

// ---- Files ---------------------------------------------------------------------------------

namespace {

// Handles are descriptor + 1, so that descriptor 0 is not the null handle.
int descriptorOf(HANDLE file) {
    auto value = reinterpret_cast<intptr_t>(file);
    if (file == nullptr || file == INVALID_HANDLE_VALUE) return -1;
    return static_cast<int>(value - 1);
}

void setErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
            SetLastError(ERROR_FILE_NOT_FOUND);
            break;
        case EACCES:
        case EPERM:
            SetLastError(ERROR_ACCESS_DENIED);
            break;
        case EEXIST:
            SetLastError(ERROR_FILE_EXISTS);
            break;
        case EWOULDBLOCK:
            SetLastError(ERROR_SHARING_VIOLATION);
            break;
        default:
            SetLastError(static_cast<DWORD>(error));
            break;
    }
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, void*, DWORD disposition, DWORD,
                   HANDLE) {
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_CLOEXEC;
    bool read = (access & GENERIC_READ) != 0;
    bool append = (access & FILE_APPEND_DATA) != 0 && (access & GENERIC_WRITE) == 0;
    bool write = (access & GENERIC_WRITE) != 0 || append;
    flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    if (append) flags |= O_APPEND;
    switch (disposition) {
        case CREATE_NEW:
            flags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
        case OPEN_ALWAYS:
            flags |= O_CREAT;
            break;
        case OPEN_EXISTING:
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    int fd = open(name, flags, 0644);
    if (fd < 0) {
        setErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    if (flock(fd, (share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        setErrorFromErrno(errno);
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    // Truncate only once the lock is held, so a refused open never damages the holder's file.
    if (disposition == CREATE_ALWAYS && ftruncate(fd, 0) != 0) {
        setErrorFromErrno(errno);
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + 1);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* done, void*) {
    int fd = descriptorOf(file);
    if (done != nullptr) *done = 0;
    if (fd < 0) {
        SetLastError(6);  // ERROR_INVALID_HANDLE
        return FALSE;
    }
    ssize_t n = read(fd, buffer, count);
    if (n < 0) {
        setErrorFromErrno(errno);
        return FALSE;
    }
    if (done != nullptr) *done = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* done, void*) {
    int fd = descriptorOf(file);
    if (done != nullptr) *done = 0;
    if (fd < 0) {
        SetLastError(6);  // ERROR_INVALID_HANDLE
        return FALSE;
    }
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    DWORD total = 0;
    while (total < count) {
        ssize_t n = write(fd, bytes + total, count - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            setErrorFromErrno(errno);
            if (done != nullptr) *done = total;
            return FALSE;
        }
        total += static_cast<DWORD>(n);
    }
    if (done != nullptr) *done = total;
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER move, LARGE_INTEGER* newPosition, DWORD method) {
    int fd = descriptorOf(file);
    int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    if (fd < 0 || method > FILE_END) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    off_t position = lseek(fd, static_cast<off_t>(move.QuadPart), whence);
    if (position < 0) {
        setErrorFromErrno(errno);
        return FALSE;
    }
    if (newPosition != nullptr) newPosition->QuadPart = position;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    int fd = descriptorOf(handle);
    if (fd < 0) {
        SetLastError(6);  // ERROR_INVALID_HANDLE
        return FALSE;
    }
    return close(fd) == 0 ? TRUE : FALSE;
}
