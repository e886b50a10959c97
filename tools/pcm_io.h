// PCM output for the command-line tool: 16-bit mono 8000 Hz, as a WAV file or as raw
// little-endian samples (also to stdout).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace brimvox::cli {

// True when the path names a WAV file by its suffix (case-insensitive).
bool isWavPath(const std::string& path);

// Reads a whole file ("-" = stdin) into `data`. On failure returns false and sets `error`.
bool readAll(const std::string& path, std::string& data, std::string& error);

class PcmWriter {
  public:
    virtual ~PcmWriter() = default;
    virtual bool write(const int16_t* samples, size_t count) = 0;
    // Completes the file (WAV header sizes); false on an I/O error.
    virtual bool close() = 0;
    const std::string& error() const { return error_; }

  protected:
    std::string error_;
};

// Opens OUT for 8000 Hz mono 16-bit PCM: WAV when the name ends in .wav, raw otherwise, "-" for
// stdout. Returns null and sets `error` when the file cannot be created.
std::unique_ptr<PcmWriter> openPcmWriter(const std::string& path, std::string& error);

// Sets stdin/stdout to binary mode where the C library distinguishes text mode.
void setBinaryStdio();

}  // namespace brimvox::cli
