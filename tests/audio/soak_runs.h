// What the soak tests (virtual card and real-time rig) share: the four kinds of run they start
// at random, their seed, and the emptying of the error queue after each sequence.
#pragma once

#include <cstdlib>
#include <string>

#include "native_audio.h"

namespace brimvox {

// Starts run kind 0 (file recording), 1 (block recording), 2 (file playback) or 3 (block
// playback); false when the engine refuses the start.
inline bool startRunOfKind(int kind, const std::string& recordPath, const std::string& playPath) {
    switch (kind) {
        case 0:
            return native::recordFile(recordPath.c_str());
        case 1:
            return native::recordBuffer();
        case 2:
            return native::playFile(playPath.c_str());
        default:
            return native::playBuffer();
    }
}

// The random seed: BRIMVOX_SOAK_SEED when set (to repeat a failed run), else `fallback`.
inline unsigned soakSeed(unsigned fallback) {
    const char* text = std::getenv("BRIMVOX_SOAK_SEED");
    return text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

// Takes every queued error message, so that each sequence starts with an empty queue.
inline void drainErrors() {
    char text[257];
    while (native::getError(text, sizeof text)) {
    }
}

}  // namespace brimvox
