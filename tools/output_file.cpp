#include "output_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "file.h"

namespace brimvox::cli {

namespace {

constexpr size_t BufferBytes = 1 << 16;

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
        files::keepCatching(sig, removeTemporariesAndExit);
        return;
    }
    for (int i = 0; i < Slots; ++i) {
        if (slotState[i].load() == 2) files::removeFile(slotPath[i]);
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

std::string errnoText(const std::string& path, int err) {
    return (path == "-" ? std::string("stdout") : path) + ": " + files::errorText(err);
}

// Reads what is there, resuming a read a signal interrupted.
long readResumed(int fd, void* data, size_t n) {
    for (;;) {
        const long got = files::readOnce(fd, data, n);
        if (got < 0 && errno == EINTR) continue;
        return got;
    }
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
    if (name == "-" || isDeviceOrPipe(files::finalTarget(name))) {
        if (name == "-") {
            outFd = files::StdoutDescriptor;
        } else {
            outFd = files::openForWriting(files::finalTarget(name));
            ownsOutFd = outFd >= 0;
            if (outFd < 0) return error = errnoText(name, errno), false;
        }
        if (!needSeek) {
            fd = outFd;
            return true;
        }
        // Spooled: written to an anonymous temporary file, copied out at the end.
        fd = files::createAnonymousTemporary();
        if (fd < 0) return error = errnoText(name, errno), false;
        spooled = canSeek = true;
        return true;
    }
    target = files::finalTarget(name);
    const files::Status old = files::statusOf(target);
    if (old.exists && !files::canWrite(target)) {
        error = errnoText(name, EACCES);
        return false;
    }
    fd = files::createTemporaryBeside(target, temp);
    if (fd < 0) {
        error = errnoText(name, errno);
        return false;
    }
    slot = claimSlot(temp);
    // The new file gets the old one's permissions, or the usual ones for a new file.
    files::setPermissions(fd, old.exists, old.mode);
    canSeek = true;
    return true;
}

bool OutputFile::flushBuffer() {
    if (buffer.empty()) return true;
    int err = 0;
    const bool ok = files::writeAll(fd, buffer.data(), buffer.size(), err);
    buffer.clear();
    return ok || fail(err);
}

bool OutputFile::write(const void* data, size_t n) {
    if (!errorText.empty() || fd < 0) return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (position != size) {  // overwriting a header: straight to the file
        if (!flushBuffer()) return false;
        int err = 0;
        if (!files::writeAll(fd, bytes, n, err)) return fail(err);
    } else if (buffer.size() + n > BufferBytes) {
        if (!flushBuffer()) return false;
        int err = 0;
        if (n >= BufferBytes) {
            if (!files::writeAll(fd, bytes, n, err)) return fail(err);
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
    if (files::seekTo(fd, to) != to) return fail(errno);
    position = to;
    return true;
}

size_t OutputFile::readBack(void* data, size_t n) {
    if (!canSeek || !flush()) return 0;
    const long got = readResumed(fd, data, n);
    if (got <= 0) return 0;
    position += got;
    return static_cast<size_t>(got);
}

bool OutputFile::commit() {
    if (fd < 0 || !flush()) return false;
    if (spooled) {
        // Copy the finished file out to where it belongs.
        if (files::seekTo(fd, 0) != 0) return fail(errno);
        std::vector<unsigned char> chunk(BufferBytes);
        for (;;) {
            const long got = readResumed(fd, chunk.data(), chunk.size());
            if (got < 0) return fail(errno);
            if (got == 0) break;
            int err = 0;
            if (!files::writeAll(outFd, chunk.data(), static_cast<size_t>(got), err)) {
                return fail(err);
            }
        }
        files::closeDescriptor(fd);
        fd = -1;
    } else if (!temp.empty()) {
        const int f = fd;
        fd = -1;
        if (!files::closeDescriptor(f)) return fail(errno);
        std::string why;
        if (!files::replaceFile(temp, target, why)) {
            errorText = (path == "-" ? std::string("stdout") : path) + ": " + why;
            return false;
        }
        releaseSlot(slot);
        slot = -1;
        temp.clear();
    } else {
        fd = -1;
    }
    if (ownsOutFd && !files::closeDescriptor(outFd)) return fail(errno);
    ownsOutFd = false;
    outFd = -1;
    committed = true;
    return true;
}

void OutputFile::abandon() {
    if (committed) return;
    if (fd >= 0 && fd != outFd) files::closeDescriptor(fd);
    fd = -1;
    if (!temp.empty()) files::removeFile(temp.c_str());
    temp.clear();
    releaseSlot(slot);
    slot = -1;
    if (ownsOutFd) files::closeDescriptor(outFd);
    ownsOutFd = false;
    outFd = -1;
    committed = true;
}

bool isDeviceOrPipe(const std::string& path) {
    const files::Status s = files::statusOf(path);
    return s.exists && !s.regular && !s.directory;
}

bool sameFile(const std::string& a, const std::string& b) {
    return a != "-" && b != "-" && files::sameFile(a, b);
}

bool makeDirectories(const std::string& dir, std::string& error) {
    for (size_t at = 0; at != std::string::npos;) {
        at = dir.find_first_of("/\\", at + 1);
        const std::string part = dir.substr(0, at);
        if (part.empty() || part.back() == ':') continue;  // root or a drive
        const int err = files::makeDirectory(part);
        if (err != 0 && err != EEXIST) {
            error = errnoText(dir, err);
            return false;
        }
    }
    if (!files::statusOf(dir).directory) {
        error = dir + ": not a directory";
        return false;
    }
    return true;
}

void prepareOutputCleanup() {
    files::catchInterruptions(removeTemporariesAndExit);
}

void setLiveInput(bool live) {
    liveInput = live ? 1 : 0;
}

const volatile int* liveStopFlag() {
    return &liveStop;
}

}  // namespace brimvox::cli
