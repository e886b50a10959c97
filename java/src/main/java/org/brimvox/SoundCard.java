package org.brimvox;

/**
 * The sound card the engine uses on Linux, the value of the setting {@code brimvox.audio} (or the
 * environment variable {@code BRIMVOX_AUDIO}). On Windows the engine always uses the system's
 * default wave devices and ignores this setting.
 */
public enum SoundCard {
    /** The default ALSA device (the default when nothing is set). */
    ALSA("alsa"),
    /**
     * A virtual card for tests and headless machines: its microphone plays a WAV file, its speaker
     * writes one, and its clock may run faster than real time.
     */
    VIRTUAL("virtual"),
    /** No sound card: every run fails with the engine's "not installed" text. */
    NONE("none");

    private final String value;

    SoundCard(String value) {
        this.value = value;
    }

    /** The value of the setting: "alsa", "virtual" or "none". */
    public String settingValue() {
        return value;
    }

    /**
     * The card a setting's value names.
     *
     * @throws IllegalArgumentException naming the setting and the values it allows
     */
    public static SoundCard fromSetting(String value) {
        for (SoundCard c : values()) {
            if (c.value.equals(value)) {
                return c;
            }
        }
        throw new IllegalArgumentException(
                Brimvox.AUDIO_PROPERTY + ": \"" + value + "\" is not a sound card; use alsa, virtual or none");
    }
}
