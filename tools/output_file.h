// Output files of the command-line tool, written as the data comes and whole or not at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brimvox::cli {

// An output being written. A regular file is written to a temporary file beside it and renamed
// over it by commit(), so a failure leaves no partial file and an existing file survives
// unchanged; the replacement is a new file with the old one's permissions. stdout ("-"),
// devices and pipes are written directly, unless the caller needs to seek (sound file types
// that complete their header at the end): their bytes then go to an anonymous temporary file
// first and are copied out by commit().
class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();  // an output not committed is abandoned (its temporary file removed)
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool open(const std::string& path, bool needSeek, std::string& error);
    bool write(const void* data, size_t size);
    // Hands what is buffered to the file or stream (stdout sees it at once).
    bool flush();
    bool seekable() const { return canSeek; }
    bool seek(int64_t position);
    int64_t tell() const { return position; }
    int64_t length() const { return size; }
    size_t readBack(void* data, size_t size);
    bool commit();
    void abandon();
    const std::string& error() const { return errorText; }

  private:
    bool fail(int err);
    bool flushBuffer();

    std::string path;  // as the user named it
    std::string target;
    std::string temp;  // temporary file beside the target, or empty
    int fd = -1;
    int outFd = -1;  // where a spooled output is copied to (stdout, a device or a pipe)
    bool ownsOutFd = false;
    bool canSeek = false;
    bool spooled = false;
    bool committed = false;
    int slot = -1;
    int64_t position = 0;
    int64_t size = 0;
    std::vector<unsigned char> buffer;
    std::string errorText;
};

// True when the path names an existing device or pipe rather than a regular file or directory.
bool isDeviceOrPipe(const std::string& path);

// True when both paths name one existing file (same device and file number), whatever the
// names.
bool sameFile(const std::string& a, const std::string& b);

// Creates the directory and its missing parents; true when it exists afterwards.
bool makeDirectories(const std::string& dir, std::string& error);

// Makes an interruption (Ctrl-C, hang-up, termination) remove temporary files being written,
// and makes a file size limit fail the write instead of killing the process. Call once at
// start-up.
void prepareOutputCleanup();

// While a live input (a pipe or FIFO) is read, SIGINT and SIGTERM only raise this flag: the
// input then ends and the output is completed. A second signal aborts as usual.
void setLiveInput(bool live);
const volatile int* liveStopFlag();

}  // namespace brimvox::cli
