// Files as the compressed-file threads use them, with the system's text for the last error.
#pragma once

#include <cstddef>
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

}  // namespace brimvox
