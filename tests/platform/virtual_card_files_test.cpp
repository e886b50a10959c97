// The virtual card's microphone and speaker files, through the card's public functions.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "virtual_card.h"

namespace brimvox {
namespace {

class VirtualCardFile : public ::testing::Test {
  protected:
    void SetUp() override { VirtualCard::resetAll(); }
    void TearDown() override {
        VirtualCard::resetAll();
        for (const std::string& p : made) std::remove(p.c_str());
    }
    std::string path(const std::string& name) {
        made.push_back(::testing::TempDir() + "brimvox_vcard_" + std::to_string(getpid()) + "_" +
                       name);
        return made.back();
    }
    void writeBytes(const std::string& p, const std::string& bytes) {
        std::FILE* f = std::fopen(p.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    void writeWav(const std::string& p, const std::vector<int16_t>& samples, int rate, int format) {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = 1;
        info.format = format;
        SNDFILE* f = sf_open(p.c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
        sf_write_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
        sf_close(f);
    }
    std::vector<std::string> made;
};

// A speech-like test signal that reaches both ends of the 16-bit range.
std::vector<int16_t> fullRange() {
    std::vector<int16_t> s;
    for (int i = 0; i < 4000; ++i) s.push_back(static_cast<int16_t>((i * 7919) % 65536 - 32768));
    s.push_back(32767);
    s.push_back(-32768);
    return s;
}

TEST_F(VirtualCardFile, PcmWavAt8kHzMonoIsTakenSampleForSample) {
    // The Java tests' microphone is such a file: its samples reach the engine unchanged.
    const std::vector<int16_t> signal = fullRange();
    const std::string wav = path("mic8k.wav");
    writeWav(wav, signal, 8000, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    std::vector<int16_t> samples;
    std::string message;
    ASSERT_TRUE(loadSpeechFile(wav, samples, message)) << message;
    EXPECT_EQ(samples, signal);
    // The same in another container libsndfile reads.
    const std::string aiff = path("mic8k.aiff");
    writeWav(aiff, signal, 8000, SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
    ASSERT_TRUE(loadSpeechFile(aiff, samples, message)) << message;
    EXPECT_EQ(samples, signal);
}

TEST_F(VirtualCardFile, BytesOfNoKnownTypeAreRawSamplesAndAHalfSampleIsDropped) {
    const std::string raw = path("mic.raw");
    writeBytes(raw, std::string("\x01\x00\xff\xff\x00\x80\xff\x7f\x42", 9));
    std::vector<int16_t> samples{9, 9};
    std::string message;
    ASSERT_TRUE(loadSpeechFile(raw, samples, message)) << message;
    EXPECT_EQ(samples, (std::vector<int16_t>{1, -1, -32768, 32767}));
    // An empty file is silence, not an error.
    const std::string empty = path("empty.raw");
    writeBytes(empty, "");
    ASSERT_TRUE(loadSpeechFile(empty, samples, message)) << message;
    EXPECT_TRUE(samples.empty());
}

TEST_F(VirtualCardFile, ABrokenSoundFileIsRefusedRatherThanPlayedAsNoise) {
    const std::string flac = path("broken.flac");
    writeBytes(flac, std::string("fLaC") + std::string(40, '\0'));
    std::vector<int16_t> samples;
    std::string message;
    EXPECT_FALSE(loadSpeechFile(flac, samples, message));
    EXPECT_EQ(message.rfind(flac + ": FLAC file that cannot be read", 0), 0u) << message;
}

TEST_F(VirtualCardFile, AMissingMicrophoneFileFailsTheOpenWithTheSystemText) {
    const std::string missing = path("no_such_mic.wav");
    std::vector<int16_t> samples;
    std::string message;
    EXPECT_FALSE(loadSpeechFile(missing, samples, message));
    EXPECT_EQ(message, missing + ": " + std::strerror(ENOENT));
    VirtualCard::setInputFile(missing);
    int error = 0;
    EXPECT_EQ(VirtualCard::open(true, error), nullptr);
    EXPECT_EQ(error, -ENOENT);
}

TEST_F(VirtualCardFile, MicrophonePlaysItsFileThenSilence) {
    const std::vector<int16_t> signal = fullRange();
    const std::string wav = path("mic_stream.wav");
    writeWav(wav, signal, 8000, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    VirtualCard::setInputFile(wav);
    VirtualCard::setSpeed(1000.0);
    int error = 0;
    auto mic = VirtualCard::open(true, error);
    ASSERT_NE(mic, nullptr) << error;
    std::vector<int16_t> got;
    std::vector<int16_t> block(800);
    while (got.size() < signal.size() + 800) {
        const long n = mic->read(block.data(), block.size(), 1000);
        ASSERT_GE(n, 0);
        got.insert(got.end(), block.begin(), block.begin() + n);
    }
    EXPECT_EQ(std::vector<int16_t>(got.begin(), got.begin() + signal.size()), signal);
    for (size_t i = signal.size(); i < got.size(); ++i) ASSERT_EQ(got[i], 0) << i;
}

TEST_F(VirtualCardFile, SpeakerFileHoldsWhatWasPlayed) {
    const std::string wav = path("speaker.wav");
    VirtualCard::setOutputFile(wav);
    VirtualCard::setSpeed(1000.0);
    const std::vector<int16_t> signal = fullRange();
    {
        int error = 0;
        auto speaker = VirtualCard::open(false, error);
        ASSERT_NE(speaker, nullptr) << error;
        size_t done = 0;
        while (done < signal.size()) {
            const long n = speaker->write(signal.data() + done, signal.size() - done, 1000);
            ASSERT_GE(n, 0);
            done += static_cast<size_t>(n);
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (speaker->delay() > 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(speaker->delay(), 0u);
    }  // closing the stream completes the file
    EXPECT_EQ(VirtualCard::output(), signal);
    std::vector<int16_t> samples;
    std::string message;
    ASSERT_TRUE(loadSpeechFile(wav, samples, message)) << message;
    EXPECT_EQ(samples, signal);
}

}  // namespace
}  // namespace brimvox
