#include "file.h"

#ifdef _WIN32
#include <windows.h>

#include <new>
#include <vector>
#else
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace brimvox {

#ifdef _WIN32

namespace {

// The UTF-16 form of a UTF-8 path, for the wide file functions (the ANSI ones would read the
// bytes in the code page). False, with the thread's last error set, if it cannot be formed.
bool widePath(const char* path, std::vector<wchar_t>& wide) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    if (n <= 0) return false;
    try {
        wide.assign(static_cast<size_t>(n), L'\0');
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return MultiByteToWideChar(CP_UTF8, 0, path, -1, wide.data(), n) == n;
}

}  // namespace

bool File::createAlways(const char* path) {
    close();
    std::vector<wchar_t> wide;
    if (!widePath(path, wide)) return false;
    HANDLE h = CreateFileW(wide.data(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_ARCHIVE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    handle = h;
    return true;
}

bool File::openForWriting(const char* path) {
    close();
    std::vector<wchar_t> wide;
    if (!widePath(path, wide)) return false;
    HANDLE h = CreateFileW(wide.data(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_ARCHIVE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    handle = h;
    return true;
}

bool File::truncate(unsigned long long size) {
    // A device or pipe has no length to cut.
    if (GetFileType(static_cast<HANDLE>(handle)) != FILE_TYPE_DISK) return true;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(static_cast<HANDLE>(handle), at, nullptr, FILE_BEGIN) &&
           SetEndOfFile(static_cast<HANDLE>(handle));
}

bool File::openExisting(const char* path) {
    close();
    std::vector<wchar_t> wide;
    if (!widePath(path, wide)) return false;
    HANDLE h = CreateFileW(wide.data(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_ARCHIVE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    handle = h;
    return true;
}

bool File::read(void* buffer, size_t size, size_t& bytesRead) {
    DWORD got = 0;
    bytesRead = 0;
    if (!ReadFile(static_cast<HANDLE>(handle), buffer, static_cast<DWORD>(size), &got, nullptr))
        return false;
    bytesRead = got;
    return true;
}

bool File::write(const void* buffer, size_t size) {
    DWORD put = 0;
    if (!WriteFile(static_cast<HANDLE>(handle), buffer, static_cast<DWORD>(size), &put, nullptr))
        return false;
    if (put != size) {
        SetLastError(ERROR_DISK_FULL);
        return false;
    }
    return true;
}

void File::close() {
    if (handle) CloseHandle(static_cast<HANDLE>(handle));
    handle = nullptr;
}

bool File::isOpen() const {
    return handle != nullptr;
}

std::string lastFileErrorText() {
    // Worded in UTF-16 and handed on as UTF-8 (the ANSI form is in the code page).
    const DWORD code = GetLastError();
    wchar_t wide[299] = {0};
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), wide, 299, nullptr);
    if (n == 0) return "Unknown file error. ";
    char utf8[3 * 299 + 1];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), utf8, sizeof utf8,
                                          nullptr, nullptr);
    if (bytes <= 0) return "Unknown file error. ";
    return std::string(utf8, static_cast<size_t>(bytes));
}

#else

bool File::createAlways(const char* path) {
    close();
    int f = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (f < 0) return false;
    // No sharing: a second writer of the same file is refused rather than interleaved.
    if (flock(f, LOCK_EX | LOCK_NB) != 0 || ftruncate(f, 0) != 0) {
        int e = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(f);
        errno = e;
        return false;
    }
    fd = f;
    return true;
}

bool File::openForWriting(const char* path) {
    close();
    int f = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (f < 0) return false;
    if (flock(f, LOCK_EX | LOCK_NB) != 0) {
        int e = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(f);
        errno = e;
        return false;
    }
    fd = f;
    return true;
}

bool File::truncate(unsigned long long size) {
    // A device or pipe has no length to cut.
    struct stat st;
    if (fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) return true;
    const off_t at = static_cast<off_t>(size);
    return ftruncate(fd, at) == 0 && lseek(fd, at, SEEK_SET) == at;
}

bool File::openExisting(const char* path) {
    close();
    int f = ::open(path, O_RDONLY | O_CLOEXEC);
    if (f < 0) return false;
    fd = f;
    return true;
}

bool File::read(void* buffer, size_t size, size_t& bytesRead) {
    bytesRead = 0;
    char* p = static_cast<char*>(buffer);
    while (bytesRead < size) {
        ssize_t n = ::read(fd, p + bytesRead, size - bytesRead);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        bytesRead += static_cast<size_t>(n);
    }
    return true;
}

bool File::write(const void* buffer, size_t size) {
    const char* p = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, p + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void File::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool File::isOpen() const {
    return fd >= 0;
}

std::string lastFileErrorText() {
    int e = errno;
    char buffer[299];
    buffer[0] = 0;
    // GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = strerror_r(e, buffer, sizeof buffer);
    return std::string(text ? text : "Unknown error");
}

#endif

}  // namespace brimvox
