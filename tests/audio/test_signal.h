// Signals and reference codings shared by the engine tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brimvox {

// A deterministic speech-like signal: voiced bursts with pitch and formant-like partials, pauses
// and a little noise, `seconds` long at 8000 Hz.
std::vector<int16_t> speechLike(double seconds, uint32_t seed = 1);
// The frames a fresh codec makes of the first `blocks` 720-sample blocks of pcm (zero padded).
std::vector<uint8_t> encodeReference(const std::vector<int16_t>& pcm, size_t blocks);
// The samples a fresh codec decodes from whole 18-byte frames.
std::vector<int16_t> decodeReference(const std::vector<uint8_t>& frames);

}  // namespace brimvox
