// PCM output for the command-line tool: 16-bit mono 8000 Hz samples as a sound file of a type
// named by an extension or a type name (through libsndfile where the build has it), or as raw
// little-endian samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "output_file.h"

namespace brimvox::cli {

struct SoundType {
    std::string name;  // as the user wrote it, lower case
    int format = 0;    // libsndfile major format and subtype; 0 for raw samples
};

// The extension of a path, lower case and without the dot; empty when it has none.
std::string extensionOf(const std::string& path);

// Finds a type this build can write, by type name or extension (case-insensitive).
bool findSoundType(const std::string& name, SoundType& type);

// True when the extension or type name is a sound file type (one this build writes or one of
// the common types it may not), i.e. a name that must not hold compressed frames.
bool isSoundType(const std::string& name);

// The type names this build writes, for messages: "wav, flac, ...". The list starts at column
// `indent`; lines break before `width` columns and continue after `indent` spaces.
std::string writableTypes(size_t width = SIZE_MAX, size_t indent = 0);

// Writes 8000 Hz mono samples as a sound file of one type onto an output, block by block.
class SoundWriter {
  public:
    SoundWriter() = default;
    ~SoundWriter();
    SoundWriter(const SoundWriter&) = delete;
    SoundWriter& operator=(const SoundWriter&) = delete;

    // True when the type completes its header at the end, so that the output must be seekable
    // (OutputFile spools it when it is a stream).
    static bool needsSeek(const SoundType& type);

    // Starts the file. `expectedSamples` is the count that will follow when known (-1
    // otherwise); a WAV stream that cannot be rewound carries it in its header.
    bool open(OutputFile& out, const SoundType& type, int64_t expectedSamples, std::string& error);
    bool write(const int16_t* pcm, size_t count, std::string& error);
    // Completes the header; the file is then whole (even with no samples at all).
    bool finish(std::string& error);

    struct Sndfile;

  private:
    OutputFile* out = nullptr;
    SoundType type;
    uint64_t samples = 0;
    Sndfile* sndfile = nullptr;
    std::vector<unsigned char> bytes;
};

}  // namespace brimvox::cli
