// The sound settings of the Linux backends, given to the library either as Java system properties
// (read when the engine is created) or as environment variables; a property wins over its
// variable. Bad values are refused with a text that names the setting and the values it allows.
// On Windows the system's own wave devices are used and there is nothing to set.
#pragma once

#include <cstddef>
#include <string>

namespace brimvox {

struct AudioSetting {
    const char* property;  // Java system property
    const char* variable;  // environment variable
};

constexpr size_t AudioSettingCount = 4;
// The card ("alsa", "virtual", "none"), the virtual microphone's file, the virtual speaker's
// file, the virtual clock's speed.
constexpr AudioSetting AudioSettings[AudioSettingCount] = {
    {"brimvox.audio", "BRIMVOX_AUDIO"},
    {"brimvox.audio.in", "BRIMVOX_AUDIO_IN"},
    {"brimvox.audio.out", "BRIMVOX_AUDIO_OUT"},
    {"brimvox.audio.speed", "BRIMVOX_AUDIO_SPEED"},
};

// Whether this platform has settings to read (false on Windows).
bool audioSettingsUsed();

// Checks the settings, each the property's value if `given[i]`, else its environment variable,
// and makes them the ones every later device open uses. On a bad value nothing changes and
// `error` names the setting, the value and what is allowed.
bool applyAudioSettings(const std::string properties[AudioSettingCount],
                        const bool given[AudioSettingCount], std::string& error);

}  // namespace brimvox
