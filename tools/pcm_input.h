// PCM input for the command-line tool: any sound file the platform's reader understands
// (mixed down to mono and resampled to 8000 Hz), or raw signed 16-bit little-endian mono
// samples at 8000 Hz.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brimvox::cli {

// True when the bytes start like a sound file container (RIFF/RF64 WAV, AIFF, FLAC, Ogg, AU,
// CAF) rather than raw samples.
bool looksLikeSoundFile(const std::string& data);

// Converts the bytes of IN (already read; `path` names it in messages and decides by its
// suffix together with the content) into 8000 Hz mono 16-bit samples. `note` receives a
// remark for the user (a dropped odd byte, the conversion done), empty when there is none.
bool decodePcmInput(const std::string& path, const std::string& data, std::vector<int16_t>& pcm,
                    std::string& note, std::string& error);

}  // namespace brimvox::cli
