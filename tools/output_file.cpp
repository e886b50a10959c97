#include "output_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace brimvox::cli {

namespace {

constexpr size_t BufferBytes = 1 << 16;
#ifdef _WIN32
constexpr int BRIMVOX_STDOUT_FD = 1;
#else
constexpr int BRIMVOX_STDOUT_FD = STDOUT_FILENO;
#endif

// Temporary files being written, for the interruption handler: a slot is 0 (free), 1 (being
// filled) or 2 (holds a path to remove).
constexpr int Slots = 64;
constexpr size_t MaxPath = 4096;
std::atomic<int> slotState[Slots];
char slotPath[Slots][MaxPath];

volatile int liveInput = 0;
volatile int liveStop = 0;

int claimSlot(const std::string& path) {
    if (path.size() >= MaxPath) return -1;
    for (int i = 0; i < Slots; ++i) {
        int expected = 0;
        if (slotState[i].compare_exchange_strong(expected, 1)) {
            std::memcpy(slotPath[i], path.c_str(), path.size() + 1);
            slotState[i].store(2);
            return i;
        }
    }
    return -1;
}

void releaseSlot(int slot) {
    if (slot >= 0) slotState[slot].store(0);
}

extern "C" void removeTemporariesAndExit(int sig) {
    // A live input only ends at the first interruption; what was captured is kept.
    if (liveInput && !liveStop && (sig == SIGINT || sig == SIGTERM)) {
        liveStop = 1;
#ifdef _WIN32
        std::signal(sig, removeTemporariesAndExit);
#endif
        return;
    }
    for (int i = 0; i < Slots; ++i) {
        if (slotState[i].load() == 2) {
#ifdef _WIN32
            _unlink(slotPath[i]);
#else
            unlink(slotPath[i]);
#endif
        }
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

std::string errnoText(const std::string& path, int err) {
    return (path == "-" ? std::string("stdout") : path) + ": " + std::strerror(err);
}

// Splits a path into its directory (with its separator, or empty) and its file name.
void splitPath(const std::string& path, std::string& dir, std::string& base) {
    const size_t slash = path.find_last_of("/\\");
    dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    base = slash == std::string::npos ? path : path.substr(slash + 1);
}

// The temporary name's part taken from OUT's name, short enough for the whole temporary name
// to fit the longest file name a directory takes (255 bytes) when OUT's name does.
std::string temporaryStem(const std::string& base, size_t suffix) {
    constexpr size_t NameMax = 255;
    const size_t room = NameMax > suffix + 1 ? NameMax - suffix - 1 : 0;
    return "." + base.substr(0, std::min(base.size(), room));
}

#ifdef _WIN32
std::string windowsErrorText(DWORD code) {
    char text[512] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s.empty() ? "error " + std::to_string(code) : s;
}

bool isRegularOrMissing(const std::string& path, bool& exists, unsigned& mode) {
    struct _stat64 st;
    exists = _stat64(path.c_str(), &st) == 0;
    mode = exists ? st.st_mode : 0;
    return !exists || (st.st_mode & _S_IFREG) != 0;
}

bool writable(const std::string& path) {
    return _access(path.c_str(), 2) == 0;
}

int createTemporary(const std::string& path, std::string& temp) {
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

int createAnonymous() {
    char dir[MAX_PATH + 1] = {}, name[MAX_PATH + 1] = {};
    if (!GetTempPathA(sizeof dir, dir) || !GetTempFileNameA(dir, "bvx", 0, name)) return -1;
    return _open(name, _O_CREAT | _O_TRUNC | _O_RDWR | _O_BINARY | _O_TEMPORARY,
                 _S_IREAD | _S_IWRITE);
}

int openForWrite(const std::string& path) {
    return _open(path.c_str(), _O_WRONLY | _O_BINARY);
}

bool writeAll(int fd, const void* data, size_t n, int& err) {
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < n) {
        const size_t chunk = std::min<size_t>(n - done, 1 << 20);
        const int w = _write(fd, bytes + done, static_cast<unsigned>(chunk));
        if (w <= 0) {
            err = w < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

long readFd(int fd, void* data, size_t n) {
    return _read(fd, data, static_cast<unsigned>(std::min<size_t>(n, 1 << 30)));
}

int64_t seekFd(int fd, int64_t to) {
    return _lseeki64(fd, to, SEEK_SET);
}

bool replaceFile(const std::string& temp, const std::string& path, std::string& error,
                 const std::string& name) {
    if (MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    error = name + ": " + windowsErrorText(GetLastError());
    return false;
}

void removeFile(const std::string& path) {
    _unlink(path.c_str());
}

bool closeFile(int fd) {
    return _close(fd) == 0;
}
#else
mode_t creationMode = 0644;

bool isRegularOrMissing(const std::string& path, bool& exists, unsigned& mode) {
    struct stat st;
    exists = stat(path.c_str(), &st) == 0;
    mode = exists ? st.st_mode : 0;
    return !exists || S_ISREG(st.st_mode);
}

bool writable(const std::string& path) {
    return access(path.c_str(), W_OK) == 0;
}

int createTemporary(const std::string& path, std::string& temp) {
    std::string dir, base;
    splitPath(path, dir, base);
    temp = dir + temporaryStem(base, 7) + ".XXXXXX";
    return mkstemp(&temp[0]);
}

int createAnonymous() {
    const char* dir = std::getenv("TMPDIR");
    std::string name = std::string(dir && *dir ? dir : "/tmp") + "/brimvox-codec.XXXXXX";
    const int fd = mkstemp(&name[0]);
    if (fd >= 0) unlink(name.c_str());
    return fd;
}

int openForWrite(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
}

bool writeAll(int fd, const void* data, size_t n, int& err) {
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, bytes + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            err = w < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

long readFd(int fd, void* data, size_t n) {
    for (;;) {
        const ssize_t got = ::read(fd, data, n);
        if (got < 0 && errno == EINTR) continue;
        return static_cast<long>(got);
    }
}

int64_t seekFd(int fd, int64_t to) {
    return lseek(fd, static_cast<off_t>(to), SEEK_SET);
}

bool replaceFile(const std::string& temp, const std::string& path, std::string& error,
                 const std::string& name) {
    if (std::rename(temp.c_str(), path.c_str()) == 0) return true;
    error = errnoText(name, errno);
    return false;
}

void removeFile(const std::string& path) {
    unlink(path.c_str());
}

bool closeFile(int fd) {
    return close(fd) == 0;
}
#endif

// The file a path finally names: a symbolic link is followed, so that the file it points to
// is replaced rather than the link.
std::string finalTarget(const std::string& path) {
#ifndef _WIN32
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = realpath(path.c_str(), nullptr)) {
            std::string target = real;
            std::free(real);
            return target;
        }
    }
#endif
    return path;
}

}  // namespace

OutputFile::~OutputFile() {
    abandon();
}

bool OutputFile::fail(int err) {
    if (errorText.empty()) errorText = errnoText(path, err);
    return false;
}

bool OutputFile::open(const std::string& name, bool needSeek, std::string& error) {
    path = name;
    buffer.reserve(BufferBytes);
    if (name == "-" || isDeviceOrPipe(finalTarget(name))) {
        if (name == "-") {
            outFd = BRIMVOX_STDOUT_FD;
        } else {
            outFd = openForWrite(finalTarget(name));
            ownsOutFd = outFd >= 0;
            if (outFd < 0) return error = errnoText(name, errno), false;
        }
        if (!needSeek) {
            fd = outFd;
            return true;
        }
        // Spooled: written to an anonymous temporary file, copied out at the end.
        fd = createAnonymous();
        if (fd < 0) return error = errnoText(name, errno), false;
        spooled = canSeek = true;
        return true;
    }
    target = finalTarget(name);
    bool exists = false;
    unsigned mode = 0;
    isRegularOrMissing(target, exists, mode);
    if (exists && !writable(target)) {
        error = errnoText(name, EACCES);
        return false;
    }
    fd = createTemporary(target, temp);
    if (fd < 0) {
        error = errnoText(name, errno);
        return false;
    }
    slot = claimSlot(temp);
#ifndef _WIN32
    // The new file gets the old one's permissions, or the usual ones for a new file.
    fchmod(fd, exists ? static_cast<mode_t>(mode & 07777) : creationMode);
#else
    (void)mode;
#endif
    canSeek = true;
    return true;
}

bool OutputFile::flushBuffer() {
    if (buffer.empty()) return true;
    int err = 0;
    const bool ok = writeAll(fd, buffer.data(), buffer.size(), err);
    buffer.clear();
    return ok || fail(err);
}

bool OutputFile::write(const void* data, size_t n) {
    if (!errorText.empty() || fd < 0) return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (position != size) {  // overwriting a header: straight to the file
        if (!flushBuffer()) return false;
        int err = 0;
        if (!writeAll(fd, bytes, n, err)) return fail(err);
    } else if (buffer.size() + n > BufferBytes) {
        if (!flushBuffer()) return false;
        int err = 0;
        if (n >= BufferBytes) {
            if (!writeAll(fd, bytes, n, err)) return fail(err);
        } else {
            buffer.insert(buffer.end(), bytes, bytes + n);
        }
    } else {
        buffer.insert(buffer.end(), bytes, bytes + n);
    }
    position += static_cast<int64_t>(n);
    size = std::max(size, position);
    return true;
}

bool OutputFile::flush() {
    return errorText.empty() && fd >= 0 && flushBuffer();
}

bool OutputFile::seek(int64_t to) {
    if (!canSeek || to < 0 || !flush()) return false;
    if (seekFd(fd, to) != to) return fail(errno);
    position = to;
    return true;
}

size_t OutputFile::readBack(void* data, size_t n) {
    if (!canSeek || !flush()) return 0;
    const long got = readFd(fd, data, n);
    if (got <= 0) return 0;
    position += got;
    return static_cast<size_t>(got);
}

bool OutputFile::commit() {
    if (fd < 0 || !flush()) return false;
    if (spooled) {
        // Copy the finished file out to where it belongs.
        if (seekFd(fd, 0) != 0) return fail(errno);
        std::vector<unsigned char> chunk(BufferBytes);
        for (;;) {
            const long got = readFd(fd, chunk.data(), chunk.size());
            if (got < 0) return fail(errno);
            if (got == 0) break;
            int err = 0;
            if (!writeAll(outFd, chunk.data(), static_cast<size_t>(got), err)) return fail(err);
        }
        closeFile(fd);
        fd = -1;
    } else if (!temp.empty()) {
        const int f = fd;
        fd = -1;
        if (!closeFile(f)) return fail(errno);
        if (!replaceFile(temp, target, errorText, path)) return false;
        releaseSlot(slot);
        slot = -1;
        temp.clear();
    } else {
        fd = -1;
    }
    if (ownsOutFd && !closeFile(outFd)) return fail(errno);
    ownsOutFd = false;
    outFd = -1;
    committed = true;
    return true;
}

void OutputFile::abandon() {
    if (committed) return;
    if (fd >= 0 && fd != outFd) closeFile(fd);
    fd = -1;
    if (!temp.empty()) removeFile(temp);
    temp.clear();
    releaseSlot(slot);
    slot = -1;
    if (ownsOutFd) closeFile(outFd);
    ownsOutFd = false;
    outFd = -1;
    committed = true;
}

bool isDeviceOrPipe(const std::string& path) {
    bool exists = false;
    unsigned mode = 0;
    return !isRegularOrMissing(path, exists, mode) && (mode & S_IFMT) != S_IFDIR;
}

bool sameFile(const std::string& a, const std::string& b) {
    if (a == "-" || b == "-") return false;
#ifdef _WIN32
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
#else
    struct stat x, y;
    if (stat(a.c_str(), &x) != 0 || stat(b.c_str(), &y) != 0) return false;
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
#endif
}

bool makeDirectories(const std::string& dir, std::string& error) {
    for (size_t at = 0; at != std::string::npos;) {
        at = dir.find_first_of("/\\", at + 1);
        const std::string part = dir.substr(0, at);
        if (part.empty() || part.back() == ':') continue;  // root or a drive
#ifdef _WIN32
        const int rc = _mkdir(part.c_str());
#else
        const int rc = mkdir(part.c_str(), 0777);
#endif
        if (rc != 0 && errno != EEXIST) {
            error = errnoText(dir, errno);
            return false;
        }
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || (st.st_mode & S_IFMT) != S_IFDIR) {
        error = dir + ": not a directory";
        return false;
    }
    return true;
}

void prepareOutputCleanup() {
#ifndef _WIN32
    const mode_t mask = umask(0);
    umask(mask);
    creationMode = 0666 & ~mask;
    std::signal(SIGXFSZ, SIG_IGN);
    // No restart of interrupted reads: a live input notices the interruption at once.
    struct sigaction action {};
    action.sa_handler = removeTemporariesAndExit;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#else
    std::signal(SIGINT, removeTemporariesAndExit);
    std::signal(SIGTERM, removeTemporariesAndExit);
#endif
}

void setLiveInput(bool live) {
    liveInput = live ? 1 : 0;
}

const volatile int* liveStopFlag() {
    return &liveStop;
}

}  // namespace brimvox::cli
