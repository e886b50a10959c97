#include "file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <process.h>
#include <windows.h>

#include <new>
#include <vector>
#else
#include <string.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace brimvox {

namespace {

// Splits a path into its directory (with its separator, or empty) and its file name.
void splitPath(const std::string& path, std::string& dir, std::string& base) {
    const size_t slash = path.find_last_of("/\\");
    dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    base = slash == std::string::npos ? path : path.substr(slash + 1);
}

// The temporary name's part taken from a file's name, short enough for the whole temporary
// name to fit the longest file name a directory takes (255 bytes) when the file's name does.
std::string temporaryStem(const std::string& base, size_t suffix) {
    constexpr size_t NameMax = 255;
    const size_t room = NameMax > suffix + 1 ? NameMax - suffix - 1 : 0;
    return "." + base.substr(0, std::min(base.size(), room));
}

}  // namespace

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

// Opens a file for writing, not shared, created as `creation` says (CREATE_ALWAYS or
// OPEN_ALWAYS).
void* openUnshared(const char* path, DWORD creation) {
    std::vector<wchar_t> wide;
    if (!widePath(path, wide)) return nullptr;
    HANDLE h = CreateFileW(wide.data(), GENERIC_WRITE, 0, nullptr, creation, FILE_ATTRIBUTE_ARCHIVE,
                           nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

// The system's text for an error code as UTF-8 (the ANSI form is in the code page), or empty.
std::string systemMessage(DWORD code) {
    wchar_t wide[299] = {0};
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), wide, 299, nullptr);
    if (n == 0) return "";
    char utf8[3 * 299 + 1];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), utf8, sizeof utf8,
                                          nullptr, nullptr);
    return bytes <= 0 ? "" : std::string(utf8, static_cast<size_t>(bytes));
}

}  // namespace

bool File::createAlways(const char* path) {
    close();
    handle = openUnshared(path, CREATE_ALWAYS);
    return handle != nullptr;
}

bool File::openForWriting(const char* path) {
    close();
    handle = openUnshared(path, OPEN_ALWAYS);
    return handle != nullptr;
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
    const std::string text = systemMessage(GetLastError());
    return text.empty() ? "Unknown file error. " : text;
}

namespace files {

int openForReading(const std::string& path) {
    return _open(path.c_str(), _O_RDONLY | _O_BINARY);
}

int openForWriting(const std::string& path) {
    return _open(path.c_str(), _O_WRONLY | _O_BINARY);
}

int createTemporaryBeside(const std::string& path, std::string& temp) {
    std::string dir, base;
    splitPath(path, dir, base);
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string suffix =
            "." + std::to_string(_getpid()) + "-" + std::to_string(counter++) + ".tmp";
        temp = dir + temporaryStem(base, suffix.size()) + suffix;
        const int fd =
            _open(temp.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

int createAnonymousTemporary() {
    char dir[MAX_PATH + 1] = {}, name[MAX_PATH + 1] = {};
    if (!GetTempPathA(sizeof dir, dir) || !GetTempFileNameA(dir, "bvx", 0, name)) return -1;
    return _open(name, _O_CREAT | _O_TRUNC | _O_RDWR | _O_BINARY | _O_TEMPORARY,
                 _S_IREAD | _S_IWRITE);
}

long readOnce(int fd, void* data, size_t size) {
    return _read(fd, data, static_cast<unsigned>(std::min<size_t>(size, 1 << 30)));
}

bool writeAll(int fd, const void* data, size_t size, int& err) {
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        const size_t chunk = std::min<size_t>(size - done, 1 << 20);
        const int w = _write(fd, bytes + done, static_cast<unsigned>(chunk));
        if (w <= 0) {
            err = w < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

int64_t seekTo(int fd, int64_t position) {
    return _lseeki64(fd, position, SEEK_SET);
}

bool closeDescriptor(int fd) {
    return _close(fd) == 0;
}

namespace {

Status statusFrom(const struct _stat64& st) {
    Status s;
    s.exists = true;
    s.regular = (st.st_mode & _S_IFMT) == _S_IFREG;
    s.directory = (st.st_mode & _S_IFMT) == _S_IFDIR;
    s.mode = st.st_mode & 07777;
    if (s.regular) s.size = static_cast<int64_t>(st.st_size);
    return s;
}

}  // namespace

Status statusOf(const std::string& path) {
    struct _stat64 st;
    return _stat64(path.c_str(), &st) == 0 ? statusFrom(st) : Status{};
}

Status statusOf(int fd) {
    struct _stat64 st;
    return _fstat64(fd, &st) == 0 ? statusFrom(st) : Status{};
}

bool canWrite(const std::string& path) {
    return _access(path.c_str(), 2) == 0;
}

std::string finalTarget(const std::string& path) {
    return path;
}

void setPermissions(int, bool, unsigned) {}

bool replaceFile(const std::string& from, const std::string& to, std::string& why) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    const DWORD code = GetLastError();
    why = systemMessage(code);
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' ')) {
        why.pop_back();
    }
    if (why.empty()) why = "error " + std::to_string(code);
    return false;
}

void removeFile(const char* path) {
    _unlink(path);
}

bool sameFile(const std::string& a, const std::string& b) {
    auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
        HANDLE h =
            CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        const bool ok = GetFileInformationByHandle(h, &info) != 0;
        CloseHandle(h);
        return ok;
    };
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    if (!identify(a, x) || !identify(b, y)) return false;
    return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

int makeDirectory(const std::string& path) {
    return _mkdir(path.c_str()) == 0 ? 0 : errno;
}

bool isTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

void setBinaryStdio() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

void catchInterruptions(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
}

void keepCatching(int sig, void (*handler)(int)) {
    std::signal(sig, handler);
}

}  // namespace files

#else

namespace {

// Opens a file for writing, creating it if need be, and locks it: a second writer of the same
// file is refused rather than interleaved. With `cut` its content is dropped.
int openLocked(const char* path, bool cut) {
    const int f = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (f < 0) return -1;
    if (flock(f, LOCK_EX | LOCK_NB) != 0 || (cut && ftruncate(f, 0) != 0)) {
        const int e = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(f);
        errno = e;
        return -1;
    }
    return f;
}

}  // namespace

bool File::createAlways(const char* path) {
    close();
    fd = openLocked(path, true);
    return fd >= 0;
}

bool File::openForWriting(const char* path) {
    close();
    fd = openLocked(path, false);
    return fd >= 0;
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

namespace files {

int openForReading(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

int openForWriting(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
}

int createTemporaryBeside(const std::string& path, std::string& temp) {
    std::string dir, base;
    splitPath(path, dir, base);
    temp = dir + temporaryStem(base, 7) + ".XXXXXX";
    return mkstemp(&temp[0]);
}

int createAnonymousTemporary() {
    const char* dir = std::getenv("TMPDIR");
    std::string name = std::string(dir && *dir ? dir : "/tmp") + "/brimvox-codec.XXXXXX";
    const int fd = mkstemp(&name[0]);
    if (fd >= 0) unlink(name.c_str());
    return fd;
}

long readOnce(int fd, void* data, size_t size) {
    return static_cast<long>(::read(fd, data, size));
}

bool writeAll(int fd, const void* data, size_t size, int& err) {
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t w = ::write(fd, bytes + done, size - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            err = w < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

int64_t seekTo(int fd, int64_t position) {
    return lseek(fd, static_cast<off_t>(position), SEEK_SET);
}

bool closeDescriptor(int fd) {
    return ::close(fd) == 0;
}

namespace {

Status statusFrom(const struct stat& st) {
    Status s;
    s.exists = true;
    s.regular = S_ISREG(st.st_mode);
    s.directory = S_ISDIR(st.st_mode);
    s.mode = st.st_mode & 07777;
    if (s.regular) s.size = static_cast<int64_t>(st.st_size);
    return s;
}

// The permissions of a new file: 0666 less the creation mask.
mode_t newFileMode() {
    static const mode_t mode = [] {
        const mode_t mask = umask(0);
        umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

}  // namespace

Status statusOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? statusFrom(st) : Status{};
}

Status statusOf(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? statusFrom(st) : Status{};
}

bool canWrite(const std::string& path) {
    return access(path.c_str(), W_OK) == 0;
}

std::string finalTarget(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = realpath(path.c_str(), nullptr)) {
            std::string target = real;
            std::free(real);
            return target;
        }
    }
    return path;
}

void setPermissions(int fd, bool keep, unsigned mode) {
    fchmod(fd, keep ? static_cast<mode_t>(mode & 07777) : newFileMode());
}

bool replaceFile(const std::string& from, const std::string& to, std::string& why) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    why = errorText(errno);
    return false;
}

void removeFile(const char* path) {
    unlink(path);
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat x, y;
    if (stat(a.c_str(), &x) != 0 || stat(b.c_str(), &y) != 0) return false;
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

int makeDirectory(const std::string& path) {
    return mkdir(path.c_str(), 0777) == 0 ? 0 : errno;
}

bool isTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

void setBinaryStdio() {}

void catchInterruptions(void (*handler)(int)) {
    newFileMode();  // the creation mask is read once, before any thread creates files
    std::signal(SIGXFSZ, SIG_IGN);
    // No restart of interrupted reads: a live input notices the interruption at once.
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void keepCatching(int, void (*)(int)) {}

}  // namespace files

#endif

namespace files {

std::string errorText(int err) {
    return std::strerror(err);
}

}  // namespace files

}  // namespace brimvox
