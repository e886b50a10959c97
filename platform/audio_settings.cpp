#include "audio_settings.h"

#ifdef _WIN32

namespace brimvox {

bool audioSettingsUsed() {
    return false;
}

bool applyAudioSettings(const std::string*, const bool*, std::string&) {
    return true;
}

}  // namespace brimvox

#else

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pcm_backend.h"
#include "virtual_card.h"

namespace brimvox {

bool audioSettingsUsed() {
    return true;
}

bool applyAudioSettings(const std::string properties[AudioSettingCount],
                        const bool given[AudioSettingCount], std::string& error) {
    std::string value[AudioSettingCount];
    const char* name[AudioSettingCount];
    for (size_t i = 0; i < AudioSettingCount; ++i) {
        if (given[i]) {
            value[i] = properties[i];
            name[i] = AudioSettings[i].property;
        } else {
            const char* v = std::getenv(AudioSettings[i].variable);
            value[i] = v ? v : "";
            name[i] = AudioSettings[i].variable;
        }
    }
    auto refuse = [&](size_t i, const char* what) {
        error = std::string(name[i]) + ": \"" + value[i] + "\" " + what;
        return false;
    };

    AudioBackendKind kind = AudioBackendKind::Alsa;
    if (value[0] == "virtual") {
        kind = AudioBackendKind::Virtual;
    } else if (value[0] == "none") {
        kind = AudioBackendKind::None;
    } else if (!value[0].empty() && value[0] != "alsa") {
        return refuse(0, "is not a sound card; use alsa, virtual or none");
    }

    double speed = 1.0;
    if (!value[3].empty()) {
        const char* text = value[3].c_str();
        char* end = nullptr;
        speed = std::strtod(text, &end);
        if (end == text || *end != 0 || !std::isfinite(speed) || speed < 0.01 || speed > 1000.0)
            return refuse(3, "is not a clock speed; use a number from 0.01 to 1000");
    }

    // The microphone's file is read at each open; a file that cannot be read at all is refused
    // now, where the setting can still be named.
    if (kind == AudioBackendKind::Virtual && !value[1].empty()) {
        std::FILE* f = std::fopen(value[1].c_str(), "rb");
        if (!f) {
            return refuse(1, (std::string("cannot be read (") + std::strerror(errno) +
                              "); use a WAV file or raw 16-bit 8 kHz mono samples")
                                 .c_str());
        }
        std::fclose(f);
    }

    overrideSelectedBackend(kind);
    VirtualCard::setInputFile(value[1]);
    VirtualCard::setOutputFile(value[2]);
    VirtualCard::setSpeed(speed);
    return true;
}

}  // namespace brimvox

#endif
