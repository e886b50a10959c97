// PCM input for the command-line tool: sound files (through libsndfile where the build has it,
// mixed down to mono and resampled to 8000 Hz), or raw signed 16-bit little-endian mono samples
// at 8000 Hz when the user asks for them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brimvox::cli {

// Reads a whole file ("-" = stdin) into `data`. On failure returns false and sets `error`.
bool readAll(const std::string& path, std::string& data, std::string& error);

// The kind of sound container the bytes start with ("WAV", "FLAC", "Ogg", "MP3", ...), or an
// empty string when they start with none of the headers we know.
std::string containerName(const std::string& data);

// Takes the bytes as raw 16-bit little-endian samples; `note` tells of a dropped odd byte.
void rawSamples(const std::string& data, std::vector<int16_t>& pcm, std::string& note);

// Reads the bytes as a sound file (its type found from the content) into 8000 Hz mono 16-bit
// samples. `name` names the input in messages. `note` receives the conversion done, if any.
// Bytes that are no sound file give "NAME: not a sound file (use --raw ...)".
bool soundFileSamples(const std::string& name, const std::string& data, std::vector<int16_t>& pcm,
                      std::string& note, std::string& error);

// What this build reads, for help texts.
extern const char* const InputFormatsText;

}  // namespace brimvox::cli
