// Output files of the command-line tool: written whole or not at all.
#pragma once

#include <string>

namespace brimvox::cli {

// Writes `bytes` to `path` ("-" = stdout). A regular file is written to a temporary file beside
// it and renamed over it only when everything was written, so a failure leaves no partial file
// and an existing file survives unchanged. Devices and pipes are written directly.
bool writeOutputFile(const std::string& path, const std::string& bytes, std::string& error);

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

}  // namespace brimvox::cli
