// Files as the compressed-file threads use them, with the system's text for the last error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace brimvox {

class File {
  public:
    File() = default;
    ~File() { close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Creates the file for writing, replacing an existing one, not shared with other writers.
    bool createAlways(const char* path);
    // Opens the file for writing, creating it if it does not exist, with its content left as it
    // is (truncate() replaces it), not shared with other writers.
    bool openForWriting(const char* path);
    // Cuts the file to size bytes and continues writing there.
    bool truncate(unsigned long long size);
    // Opens an existing file for reading.
    bool openExisting(const char* path);
    // Reads up to size bytes; false on a failure. bytesRead is 0 at the end of the file.
    bool read(void* buffer, size_t size, size_t& bytesRead);
    // Writes all size bytes; false on a failure or a short write.
    bool write(const void* buffer, size_t size);
    void close();
    bool isOpen() const;

  private:
#ifdef _WIN32
    void* handle = nullptr;
#else
    int fd = -1;
#endif
};

// The system's text for the error of the last failed file operation on this thread, as the
// system words it; the engine's messages put the file's path directly after it.
std::string lastFileErrorText();

// Descriptor-level file operations for programs that stream files (the command-line tool and
// its sound reader). Descriptors are the C runtime's; files are binary. A failure returns -1 or
// false with errno set unless the function says otherwise.
namespace files {

constexpr int StdinDescriptor = 0;
constexpr int StdoutDescriptor = 1;

// Opens an existing file for reading.
int openForReading(const std::string& path);
// Opens an existing file, device or pipe for writing, neither creating nor cutting it.
int openForWriting(const std::string& path);
// Creates a new file for reading and writing beside `path` (same directory, a hidden name
// made from path's name, short enough for any directory that holds path's name); `temp`
// receives its name.
int createTemporaryBeside(const std::string& path, std::string& temp);
// Creates a temporary file that disappears when it is closed.
int createAnonymousTemporary();
// One read of up to `size` bytes: the count read, 0 at the end, -1 on a failure. An
// interrupted read fails with EINTR, so that a caller can notice a signal.
long readOnce(int fd, void* data, size_t size);
// Writes all `size` bytes, resuming interrupted writes; false with `err` set (ENOSPC for a
// write that moves nothing).
bool writeAll(int fd, const void* data, size_t size, int& err);
// Moves to `position` from the start; the new position, or -1.
int64_t seekTo(int fd, int64_t position);
bool closeDescriptor(int fd);

struct Status {
    bool exists = false;
    bool regular = false;
    bool directory = false;
    unsigned mode = 0;  // the permission bits
    int64_t size = -1;  // of a regular file
};
// What a path names (symbolic links followed), or what a descriptor refers to.
Status statusOf(const std::string& path);
Status statusOf(int fd);
// True when the calling process may write the existing file.
bool canWrite(const std::string& path);
// The file a path finally names: a symbolic link is followed, so that the file it points to is
// replaced rather than the link.
std::string finalTarget(const std::string& path);
// Gives a freshly created file the permissions `mode` of the file it replaces, or (keep false)
// those a new file gets from the process's creation mask. Nothing where files have no modes.
void setPermissions(int fd, bool keep, unsigned mode);
// Renames `from` over `to`, replacing it; false with the system's text in `why`.
bool replaceFile(const std::string& from, const std::string& to, std::string& why);
// Removes a file; safe to call from a signal handler.
void removeFile(const char* path);
// True when both paths name one existing file (same device and file number), whatever the
// names.
bool sameFile(const std::string& a, const std::string& b);
// Creates one directory; 0, or the error number (EEXIST when something is already there).
int makeDirectory(const std::string& path);
bool isTerminal(std::FILE* stream);
// Makes stdin and stdout carry bytes unchanged (no line-end translation).
void setBinaryStdio();
// The system's text for an error number.
std::string errorText(int err);

// Calls `handler` on a hang-up, an interruption or a termination. A read that a signal
// interrupts fails with EINTR rather than resuming, and a write beyond the file size limit
// fails instead of ending the process.
void catchInterruptions(void (*handler)(int));
// Installs `handler` again for `sig` from inside it, where the system resets a handler when it
// runs; nothing elsewhere.
void keepCatching(int sig, void (*handler)(int));

}  // namespace files

}  // namespace brimvox
