// Streaming sound input, the one way sound files are read: reads a sound file (through
// libsndfile where the build has it), mixes it down to mono and resamples it to 8000 Hz 16-bit
// samples block by block, in constant memory, from a regular file, a pipe or a memory buffer.
// Raw signed 16-bit little-endian mono samples at 8000 Hz are read the same way. The reader
// keeps no state outside its object. Used by the command-line tool, the virtual sound card's
// microphone and the Python extension, so all of them take the same samples from a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace brimvox {

class SoundReader {
  public:
    enum class Kind {
        Raw,                 // headerless samples
        SoundFile,           // a sound file; its type is found from its content
        RawUnlessContainer,  // headerless samples, but refused when the bytes start with a
                             // well-marked container header (RIFF, RF64, fLaC, OggS, FORM)
        SoundFileOrRaw,      // a sound file when its type is known from its content, otherwise
                             // headerless samples
    };
    static constexpr int SampleRate = 8000;

    SoundReader();
    ~SoundReader();
    SoundReader(const SoundReader&) = delete;
    SoundReader& operator=(const SoundReader&) = delete;

    // Opens a file by path ("-" = stdin); `name` names it in messages. A pipe or FIFO is read
    // as it arrives. On failure returns false and sets `error` to one line naming the input.
    bool openFile(const std::string& path, const std::string& name, Kind kind, std::string& error);
    // Opens bytes held by the caller, who keeps them alive until the reader is closed.
    bool openMemory(const void* data, size_t size, const std::string& name, Kind kind,
                    std::string& error);

    // Reads up to `count` samples; fewer only at the end of the input or on a failure.
    // Returns 0 at the end; `failed()` then tells whether the input ended in an error.
    size_t read(int16_t* out, size_t count);
    bool failed() const;
    const std::string& error() const;

    // After a refusal of Kind::RawUnlessContainer: the kind of container seen ("WAV", ...).
    const std::string& container() const;
    // After a refusal of a sound file ("NAME: not a sound file"): true when its content is of
    // no type we know, so that a caller may say how to read it as headerless samples.
    bool unknownType() const;
    // The conversion done on the input ("converted 2 channel(s) at 44100 Hz to mono at
    // 8000 Hz"), or empty when it already was 8000 Hz mono.
    const std::string& conversion() const;
    // Remarks found while reading, such as a dropped odd byte or an input that ended before
    // its header said it would; empty when there is none. Complete after the end is read.
    std::string remarks() const;

    // The fraction of the input consumed (0..1), or a negative value when its length is
    // unknown (pipes).
    double progress() const;
    // True when the input is a pipe, FIFO or terminal rather than a regular file.
    bool isStream() const;
    uint64_t samplesRead() const;

    // A flag that, once non-zero, ends a pipe's input as if its producer had closed it (set
    // from a signal handler to end a live capture).
    void setStopFlag(const volatile int* flag);

    void close();

    struct State;

  private:
    // Opens the source just set up as `kind`; on a refusal keeps what it found and drops the
    // state.
    bool start(Kind kind, std::string& error);

    std::unique_ptr<State> state;
    std::string containerSeen;
    bool unknownSeen = false;
    const volatile int* stopFlag = nullptr;
};

// The kind of sound container the bytes start with ("WAV", "FLAC", "Ogg", "MP3", ...), or an
// empty string when they start with none of the headers we know.
std::string containerName(const void* data, size_t size);

// True for the container headers that are unmistakable (RIFF, RF64, fLaC, OggS, FORM).
bool isMarkedContainer(const void* data, size_t size);

// What this build reads, for help texts.
extern const char* const SoundReaderFormats;

}  // namespace brimvox
