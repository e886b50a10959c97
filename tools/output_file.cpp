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

// Temporary files being written, for the interruption handler: a slot is 0 (free), 1 (being
// filled) or 2 (holds a path to remove).
constexpr int Slots = 64;
constexpr size_t MaxPath = 4096;
std::atomic<int> slotState[Slots];
char slotPath[Slots][MaxPath];

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
    return path + ": " + std::strerror(err);
}

bool writeStream(FILE* f, const std::string& name, const std::string& bytes, bool owned,
                 std::string& error) {
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    int err = errno;
    if (std::fflush(f) != 0 && ok) ok = false, err = errno;
    if (owned && std::fclose(f) != 0 && ok) ok = false, err = errno;
    if (!ok) error = errnoText(name, err);
    return ok;
}

// Splits a path into its directory (with its separator, or empty) and its file name.
void splitPath(const std::string& path, std::string& dir, std::string& base) {
    const size_t slash = path.find_last_of("/\\");
    dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    base = slash == std::string::npos ? path : path.substr(slash + 1);
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

int createTemporary(const std::string& path, std::string& temp) {
    std::string dir, base;
    splitPath(path, dir, base);
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = dir + "." + base + "." + std::to_string(_getpid()) + "-" +
               std::to_string(counter++) + ".tmp";
        const int fd =
            _open(temp.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool writeAll(int fd, const std::string& bytes, int& err) {
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t chunk = std::min<size_t>(bytes.size() - done, 1 << 20);
        const int n = _write(fd, bytes.data() + done, static_cast<unsigned>(chunk));
        if (n <= 0) {
            err = n < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool replaceFile(const std::string& temp, const std::string& path, std::string& error) {
    if (MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    error = path + ": " + windowsErrorText(GetLastError());
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

int createTemporary(const std::string& path, std::string& temp) {
    std::string dir, base;
    splitPath(path, dir, base);
    temp = dir + "." + base + ".XXXXXX";
    return mkstemp(&temp[0]);
}

bool writeAll(int fd, const std::string& bytes, int& err) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool replaceFile(const std::string& temp, const std::string& path, std::string& error) {
    if (std::rename(temp.c_str(), path.c_str()) == 0) return true;
    error = errnoText(path, errno);
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

bool writeOutputFile(const std::string& path, const std::string& bytes, std::string& error) {
    if (path == "-") return writeStream(stdout, "stdout", bytes, false, error);
    const std::string target = finalTarget(path);
    bool exists = false;
    unsigned mode = 0;
    if (!isRegularOrMissing(target, exists, mode)) {
        FILE* f = std::fopen(target.c_str(), "wb");
        if (!f) {
            error = errnoText(path, errno);
            return false;
        }
        return writeStream(f, path, bytes, true, error);
    }

    std::string temp;
    const int fd = createTemporary(target, temp);
    if (fd < 0) {
        error = errnoText(path, errno);
        return false;
    }
    const int slot = claimSlot(temp);
    int err = 0;
#ifndef _WIN32
    // The new file gets the old one's permissions, or the usual ones for a new file.
    fchmod(fd, exists ? static_cast<mode_t>(mode & 07777) : creationMode);
#else
    (void)mode;
#endif
    bool ok = writeAll(fd, bytes, err);
    if (!closeFile(fd) && ok) ok = false, err = errno;
    if (!ok) error = errnoText(path, err);
    if (ok) ok = replaceFile(temp, target, error);
    if (!ok) removeFile(temp);
    releaseSlot(slot);
    return ok;
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
    std::signal(SIGHUP, removeTemporariesAndExit);
#endif
    std::signal(SIGINT, removeTemporariesAndExit);
    std::signal(SIGTERM, removeTemporariesAndExit);
}

}  // namespace brimvox::cli
