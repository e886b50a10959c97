// The sound settings a Java program gives when it creates the engine, against the environment.
// Its own executable: a setting applied here stays in force for the rest of the process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "audio_settings.h"
#include "pcm_backend.h"

namespace brimvox {
namespace {

class AudioSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const AudioSetting& s : AudioSettings) unsetenv(s.variable);
    }
    // Applies the given properties (nullptr: not set); the error text, empty if accepted.
    static std::string apply(const char* audio, const char* in, const char* out,
                             const char* speed) {
        const char* given[AudioSettingCount] = {audio, in, out, speed};
        std::string values[AudioSettingCount];
        bool present[AudioSettingCount] = {};
        for (size_t i = 0; i < AudioSettingCount; ++i) {
            present[i] = given[i] != nullptr;
            if (given[i]) values[i] = given[i];
        }
        std::string error;
        const bool ok = applyAudioSettings(values, present, error);
        EXPECT_EQ(ok, error.empty()) << error;
        return error;
    }
};

TEST_F(AudioSettingsTest, PropertiesWinOverTheEnvironmentWhichIsUsedOtherwise) {
    ASSERT_TRUE(audioSettingsUsed());
    setenv("BRIMVOX_AUDIO", "none", 1);
    EXPECT_EQ("", apply("virtual", nullptr, nullptr, nullptr));
    EXPECT_EQ(AudioBackendKind::Virtual, selectedBackend());
    EXPECT_EQ("", apply(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(AudioBackendKind::None, selectedBackend());
    unsetenv("BRIMVOX_AUDIO");
    EXPECT_EQ("", apply(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(AudioBackendKind::Alsa, selectedBackend()) << "ALSA when nothing is set";
    EXPECT_EQ("", apply("", "", "", ""));
    EXPECT_EQ(AudioBackendKind::Alsa, selectedBackend()) << "an empty value is no value";
    EXPECT_EQ("", apply("alsa", nullptr, nullptr, "0.01"));
    EXPECT_EQ("", apply("none", nullptr, nullptr, "1000"));
    EXPECT_EQ(AudioBackendKind::None, selectedBackend());
}

TEST_F(AudioSettingsTest, BadValuesAreRefusedByNameAndChangeNothing) {
    EXPECT_EQ("", apply("none", nullptr, nullptr, nullptr));
    EXPECT_EQ("brimvox.audio: \"pulse\" is not a sound card; use alsa, virtual or none",
              apply("pulse", nullptr, nullptr, nullptr));
    EXPECT_EQ("brimvox.audio: \"Virtual\" is not a sound card; use alsa, virtual or none",
              apply("Virtual", nullptr, nullptr, nullptr));
    for (const char* speed : {"abc", "0", "0.001", "-1", "1001", "8x", "nan", "inf"}) {
        EXPECT_EQ(std::string("brimvox.audio.speed: \"") + speed +
                      "\" is not a clock speed; use a number from 0.01 to 1000",
                  apply("virtual", nullptr, nullptr, speed));
    }
    setenv("BRIMVOX_AUDIO_SPEED", "fast", 1);
    EXPECT_EQ("BRIMVOX_AUDIO_SPEED: \"fast\" is not a clock speed; use a number from 0.01 to 1000",
              apply("virtual", nullptr, nullptr, nullptr));
    EXPECT_EQ("", apply("virtual", nullptr, nullptr, "2")) << "the property wins";
    unsetenv("BRIMVOX_AUDIO_SPEED");
    setenv("BRIMVOX_AUDIO", "bogus", 1);
    EXPECT_EQ("BRIMVOX_AUDIO: \"bogus\" is not a sound card; use alsa, virtual or none",
              apply(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ("", apply("none", nullptr, nullptr, nullptr));
    EXPECT_EQ(AudioBackendKind::None, selectedBackend()) << "a refusal changes nothing";
    EXPECT_EQ(
        "brimvox.audio.in: \"/no/such/mic.wav\" cannot be read (No such file or "
        "directory); use a WAV file or raw 16-bit 8 kHz mono samples",
        apply("virtual", "/no/such/mic.wav", nullptr, nullptr));
    EXPECT_EQ(AudioBackendKind::None, selectedBackend());
    // The microphone's file matters only to the virtual card.
    EXPECT_EQ("", apply("alsa", "/no/such/mic.wav", nullptr, nullptr));
}

}  // namespace
}  // namespace brimvox
