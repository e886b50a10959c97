// The four kinds of run the soak tests start at random.
#pragma once

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

}  // namespace brimvox
