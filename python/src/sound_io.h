// Whole-file conversions between sound files (through libsndfile) and compressed frames, in
// constant memory. They touch no Python object, so callers run them without the GIL.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace brimvox::py {

// A failed file operation: the system's error number (0 when the library reports no number)
// with its text, and the path (mapped to OSError).
struct FileError : std::runtime_error {
    FileError(int number, const std::string& text, std::string file)
        : std::runtime_error(text), err(number), path(std::move(file)) {}
    int err;
    std::string path;
};

struct ConversionResult {
    uint64_t frames = 0;     // compressed frames written or read
    uint64_t badFrames = 0;  // frames the decoder treated as bad
    int trailingBytes = 0;   // bytes after the last whole frame, ignored
    double seconds = 0.0;    // duration of the input
};

// The kind of sound container `data` starts with ("WAV", "FLAC", "Ogg", ...) or "".
std::string containerName(const uint8_t* data, size_t size);

// Encodes the sound file `src` (any type and rate libsndfile reads) into frames at `dst`.
ConversionResult encodeSoundFile(const std::string& src, const std::string& dst);

// Decodes the frames of `src` into a sound file of `type` (wav, flac, ogg, opus) at `dst`.
// A source that starts like a sound file is refused unless `force`.
ConversionResult decodeToSoundFile(const std::string& src, const std::string& dst,
                                   const std::string& type, bool force);

// Whether this libsndfile writes `type`.
bool canWrite(const std::string& type);

}  // namespace brimvox::py
