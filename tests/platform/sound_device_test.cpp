// The sound devices of the Linux build (PcmSoundDevice over the virtual card, with its faults;
// the skeleton) and the texts their results are reported with.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "skeleton_device.h"
#include "sound_device.h"
#include "sync.h"
#include "virtual_card.h"

namespace brimvox {
namespace {

class SoundDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("BRIMVOX_AUDIO", "virtual", 1);
        VirtualCard::resetAll();
        VirtualCard::setSpeed(50.0);
    }
    void TearDown() override { VirtualCard::resetAll(); }

    static std::unique_ptr<SoundDevice> opened(Direction d) {
        std::unique_ptr<SoundDevice> device = createSoundDevice(d);
        EXPECT_EQ(device->open(SoundFormat{}), DeviceResult::Ok);
        return device;
    }
    // Plays out whatever is in flight; false if it did not within two seconds.
    static bool playOut(SoundDevice& device) {
        size_t left = 1;
        const uint64_t until = monotonicMs() + 2000;
        while (left > 0 && monotonicMs() < until)
            if (device.waitPlayed(0, 50, left) != DeviceResult::Ok) return false;
        return left == 0;
    }
    static std::vector<int16_t> ramp(size_t n, int start, int step) {
        std::vector<int16_t> v(n);
        for (size_t i = 0; i < n; ++i)
            v[i] = static_cast<int16_t>(start + step * static_cast<int>(i));
        return v;
    }
};

TEST_F(SoundDeviceTest, PlaybackPlaysBlocksInOrderAndKeepsAtMostItsDepthInFlight) {
    std::unique_ptr<SoundDevice> out = opened(Direction::Playback);
    ASSERT_EQ(out->depth(), 2u);
    const std::vector<int16_t> a = ramp(2400, 0, 1), b = ramp(330, -1, -1), c = ramp(100, 7, 3);
    // Held: nothing plays, so the third block finds no room.
    ASSERT_EQ(out->pause(true), DeviceResult::Ok);
    bool queued = false;
    ASSERT_EQ(out->write(a.data(), a.size(), 0, queued), DeviceResult::Ok);
    ASSERT_TRUE(queued);
    ASSERT_EQ(out->write(b.data(), b.size(), 0, queued), DeviceResult::Ok);
    ASSERT_TRUE(queued);
    ASSERT_EQ(out->write(c.data(), c.size(), 50, queued), DeviceResult::Ok);
    EXPECT_FALSE(queued);
    size_t left = 0;
    ASSERT_EQ(out->waitPlayed(0, 100, left), DeviceResult::Ok);
    EXPECT_EQ(left, 2u);
    EXPECT_TRUE(VirtualCard::output().empty());
    // Released: both play, then the third.
    ASSERT_EQ(out->pause(false), DeviceResult::Ok);
    ASSERT_EQ(out->write(c.data(), c.size(), 2000, queued), DeviceResult::Ok);
    ASSERT_TRUE(queued);
    ASSERT_TRUE(playOut(*out));
    std::vector<int16_t> expect(a);
    expect.insert(expect.end(), b.begin(), b.end());
    expect.insert(expect.end(), c.begin(), c.end());
    EXPECT_EQ(VirtualCard::output(), expect);
    EXPECT_EQ(out->close(), DeviceResult::Ok);
    EXPECT_EQ(VirtualCard::openStreams(), 0);
}

TEST_F(SoundDeviceTest, CaptureHandsOutWholeBlocksInOrderOnlyOnceStarted) {
    const std::vector<int16_t> mic = ramp(3000, 0, 3);
    VirtualCard::setInput(mic);
    std::unique_ptr<SoundDevice> in = opened(Direction::Capture);
    std::vector<int16_t> block(720);
    size_t got = 1;
    ASSERT_EQ(in->read(block.data(), 720, 50, got), DeviceResult::Ok);
    EXPECT_EQ(got, 0u);  // not started
    EXPECT_EQ(VirtualCard::inputPosition(), 0u);
    ASSERT_EQ(in->start(), DeviceResult::Ok);
    std::vector<int16_t> all;
    const uint64_t until = monotonicMs() + 2000;
    while (all.size() < 4 * 720 && monotonicMs() < until) {
        ASSERT_EQ(in->read(block.data(), 720, 100, got), DeviceResult::Ok);
        ASSERT_TRUE(got == 0 || got == 720) << got;
        all.insert(all.end(), block.begin(), block.begin() + static_cast<long>(got));
    }
    std::vector<int16_t> expect(mic);
    expect.resize(4 * 720, 0);  // silence after the end of the signal
    EXPECT_EQ(all, expect);
    // A reset throws the partial block away and stops the capture until the next start.
    ASSERT_EQ(in->reset(), DeviceResult::Ok);
    const size_t at = VirtualCard::inputPosition();
    ASSERT_EQ(in->read(block.data(), 720, 50, got), DeviceResult::Ok);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(VirtualCard::inputPosition(), at);
    EXPECT_EQ(in->close(), DeviceResult::Ok);
}

TEST_F(SoundDeviceTest, ShortBlocksAndStreamFailuresAreReportedAsTheirResults) {
    VirtualFaults f;
    f.shortBufferEvery = 2;
    f.goneAfter = 720 + 360 + 720 + 100;
    VirtualCard::setFaults(true, f);
    std::unique_ptr<SoundDevice> in = opened(Direction::Capture);
    ASSERT_EQ(in->start(), DeviceResult::Ok);
    std::vector<size_t> sizes;
    std::vector<int16_t> block(720);
    DeviceResult r = DeviceResult::Ok;
    const uint64_t until = monotonicMs() + 2000;
    while (r == DeviceResult::Ok && monotonicMs() < until) {
        size_t got = 0;
        r = in->read(block.data(), 720, 100, got);
        if (got) sizes.push_back(got);
    }
    EXPECT_EQ(r, DeviceResult::NoDriver);  // unplugged
    EXPECT_EQ(sizes, (std::vector<size_t>{720, 360, 720}));
    in->close();

    // Suspended for good, or stalled: a failure, within the bound.
    VirtualFaults suspended;
    suspended.suspendAfter = 100;
    VirtualCard::setFaults(false, suspended);
    std::unique_ptr<SoundDevice> out = opened(Direction::Playback);
    const std::vector<int16_t> a = ramp(2400, 0, 1);
    bool queued = false;
    ASSERT_EQ(out->write(a.data(), a.size(), 0, queued), DeviceResult::Ok);
    const uint64_t t0 = monotonicMs();
    size_t left = 0;
    while (r != DeviceResult::Failed && monotonicMs() - t0 < 3000) r = out->waitPlayed(0, 50, left);
    EXPECT_EQ(r, DeviceResult::Failed);
    EXPECT_LT(monotonicMs() - t0, 1500u);
    EXPECT_EQ(left, 0u);  // a failed device hands every block back
}

TEST_F(SoundDeviceTest, OpenFailuresMissingDevicesAndTheSkeleton) {
    VirtualFaults f;
    f.openResult = DeviceResult::InUse;
    VirtualCard::setFaults(false, f);
    EXPECT_EQ(createSoundDevice(Direction::Playback)->open(SoundFormat{}), DeviceResult::InUse);
    f = VirtualFaults{};
    f.openError = -EBUSY;  // the stream is busy: the device exists
    VirtualCard::setFaults(false, f);
    EXPECT_EQ(createSoundDevice(Direction::Playback)->open(SoundFormat{}), DeviceResult::InUse);
    f.openError = -ENOENT;  // not there at all
    VirtualCard::setFaults(false, f);
    EXPECT_EQ(createSoundDevice(Direction::Playback)->open(SoundFormat{}), DeviceResult::NoDevice);
    f = VirtualFaults{};
    f.noDevice = true;
    VirtualCard::setFaults(true, f);
    EXPECT_EQ(createSoundDevice(Direction::Capture)->open(SoundFormat{}), DeviceResult::NoDevice);
    VirtualCard::resetAll();
    SoundFormat cd;
    cd.sampleRate = 44100;
    EXPECT_EQ(createSoundDevice(Direction::Capture)->open(cd), DeviceResult::BadFormat);
    setenv("BRIMVOX_AUDIO", "none", 1);
    for (Direction d : {Direction::Capture, Direction::Playback}) {
        std::unique_ptr<SoundDevice> none = createSoundDevice(d);
        EXPECT_EQ(none->open(SoundFormat{}), DeviceResult::NoDevice);
        size_t got = 1;
        int16_t sample = 0;
        EXPECT_NE(none->read(&sample, 1, 10, got), DeviceResult::Ok);
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(none->close(), DeviceResult::Ok);
    }
}

// Opening and closing may hang in a stalled sound server: both return within their bounds, and
// the stream opened or closed late is closed all the same.
TEST_F(SoundDeviceTest, OpenAndCloseStuckInTheSystemReturnInTime) {
    VirtualFaults slow;
    slow.openDelayMs = 4000;
    VirtualCard::setFaults(true, slow);
    std::unique_ptr<SoundDevice> in = createSoundDevice(Direction::Capture);
    uint64_t t0 = monotonicMs();
    EXPECT_EQ(in->open(SoundFormat{}), DeviceResult::Failed);
    EXPECT_LT(monotonicMs() - t0, 3000u);

    VirtualFaults stuck;
    stuck.stuckMs = 1500;
    VirtualCard::setFaults(false, stuck);
    std::unique_ptr<SoundDevice> out = opened(Direction::Playback);
    t0 = monotonicMs();
    EXPECT_EQ(out->close(), DeviceResult::Ok);
    EXPECT_LT(monotonicMs() - t0, 1000u);
    const uint64_t until = monotonicMs() + 6000;
    while (VirtualCard::openStreams() != 0 && monotonicMs() < until) sleepMs(20);
    EXPECT_EQ(VirtualCard::openStreams(), 0);
}

// The texts users read, word for word, whatever the system.
TEST(DeviceErrorText, SameWordsForEveryResult) {
    auto text = [](DeviceResult r, size_t size = 257) {
        std::string out(size, '#');
        deviceErrorText(Direction::Capture, r, &out[0], size);
        return std::string(out.c_str());
    };
    EXPECT_EQ(text(DeviceResult::Failed), "Undefined external error.");
    EXPECT_EQ(text(DeviceResult::NoDriver), "There is no driver installed on your system.");
    EXPECT_EQ(text(DeviceResult::InUse),
              "The specified device is already in use. Wait until it is free, and then try "
              "again.");
    EXPECT_EQ(text(DeviceResult::NoMemory),
              "There is not enough memory available for this task. Quit one or more "
              "applications to increase available memory, and then try again.");
    EXPECT_EQ(text(DeviceResult::InvalidHandle, 8), "The spe");
    EXPECT_EQ(text(static_cast<DeviceResult>(12345)), "");
    char out[257];
    deviceErrorText(Direction::Playback, DeviceResult::BadFormat, out, sizeof out);
    EXPECT_EQ(std::string(out),
              "The specified format is not supported or cannot be translated. Use the "
              "Capabilities function to determine the supported formats.");
}

TEST(VirtualCardFiles, MicrophoneReadsWavOfAnyRateAndRawSamples) {
    const std::string dir = ::testing::TempDir();
    // 16 kHz stereo float WAV of a 500 Hz tone, left and right equal: 8 kHz mono after loading.
    const std::string wav = dir + "brimvox_mic16k.wav";
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(wav.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    std::vector<float> frames(2 * 16000);
    for (size_t i = 0; i < 16000; ++i)
        frames[2 * i] = frames[2 * i + 1] =
            0.5f * static_cast<float>(
                       std::sin(2.0 * 3.14159265358979 * 500.0 * static_cast<double>(i) / 16000.0));
    sf_writef_float(f, frames.data(), 16000);
    sf_close(f);
    std::vector<int16_t> samples;
    std::string message;
    ASSERT_TRUE(loadSpeechFile(wav, samples, message)) << message;
    ASSERT_NEAR(static_cast<double>(samples.size()), 8000.0, 4.0);
    // Still a 500 Hz tone at half scale: 16 samples per period at 8 kHz.
    for (size_t i = 2000; i < 2100; ++i)
        EXPECT_NEAR(
            samples[i],
            16384.0 * std::sin(2.0 * 3.14159265358979 * 500.0 * static_cast<double>(i) / 8000.0),
            400.0);

    const std::string raw = dir + "brimvox_mic.raw";
    FILE* r = std::fopen(raw.c_str(), "wb");
    ASSERT_NE(r, nullptr);
    const unsigned char bytes[6] = {0x01, 0x00, 0xFF, 0xFF, 0x00, 0x80};
    std::fwrite(bytes, 1, sizeof bytes, r);
    std::fclose(r);
    ASSERT_TRUE(loadSpeechFile(raw, samples, message));
    EXPECT_EQ(samples, (std::vector<int16_t>{1, -1, -32768}));
    EXPECT_FALSE(loadSpeechFile(dir + "brimvox_no_such_mic.wav", samples, message));
    EXPECT_FALSE(message.empty());
    std::remove(wav.c_str());
    std::remove(raw.c_str());
}

TEST_F(SoundDeviceTest, SpeakerWritesAWavFile) {
    const std::string path = ::testing::TempDir() + "brimvox_speaker.wav";
    VirtualCard::setOutputFile(path);
    std::unique_ptr<SoundDevice> out = opened(Direction::Playback);
    const std::vector<int16_t> a = ramp(500, -9000, 37);
    bool queued = false;
    ASSERT_EQ(out->write(a.data(), a.size(), 0, queued), DeviceResult::Ok);
    ASSERT_TRUE(queued);
    ASSERT_TRUE(playOut(*out));
    ASSERT_EQ(out->close(), DeviceResult::Ok);
    SF_INFO info{};
    SNDFILE* in = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.channels, 1);
    std::vector<int16_t> got(600);
    got.resize(static_cast<size_t>(sf_readf_short(in, got.data(), 600)));
    sf_close(in);
    EXPECT_EQ(got, a);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace brimvox
