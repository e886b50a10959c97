// The engine on a real-time sound server: ALSA's default device through a PulseAudio server that
// the test starts for itself (pulse_rig.h). Speech fed into the microphone is recorded and
// checked against a fresh encoding of it; playback is heard on the speaker's monitor and checked
// against the decoder's output; the server is frozen and killed under running streams.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio_engine.h"
#include "native_audio.h"
#include "pulse_rig.h"
#include "read_file.h"
#include "sound_device.h"
#include "sync.h"
#include "test_signal.h"

namespace brimvox {
namespace {

using tests::readBytes;
using tests::writeBytes;

template <class Condition>
bool eventually(Condition condition, uint32_t timeoutMs) {
    const uint64_t until = monotonicMs() + timeoutMs;
    while (!condition()) {
        if (monotonicMs() > until) return false;
        sleepMs(2);
    }
    return true;
}

std::string takeError() {
    char text[257];
    return native::getError(text, sizeof text) ? std::string(text) : std::string();
}

std::string waveInText(DeviceResult code) {
    char text[257];
    deviceErrorText(Direction::Capture, code, text, sizeof text);
    return text;
}

// Whether a listener started with parecord has begun to receive (its file grows): a new stream
// takes up to a few seconds to start delivering on a fresh server.
bool listening(const std::string& wav) {
    return eventually(
        [&] {
            std::ifstream in(wav, std::ios::binary | std::ios::ate);
            return in && in.tellg() > 44 + 1600;
        },
        8000);
}

uint64_t timed(bool (*call)()) {
    const uint64_t t0 = monotonicMs();
    call();
    return monotonicMs() - t0;
}

class Rig : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        pulse = rig::server(why);
        if (!pulse) GTEST_SKIP() << "no real-time sound server here: " << why;
        if (!pulse->running()) {
            ASSERT_TRUE(pulse->restart(why)) << why;
        }
        ASSERT_TRUE(native::newEngine());
    }
    void TearDown() override {
        if (pulse) pulse->thaw();
        native::deleteEngine();
    }
    std::string file(const std::string& name) const { return pulse->directory() + "/" + name; }

    // Records to a file until `seconds` of recording have been counted; the latency from the
    // start to the first block in ms.
    static uint64_t recordFileFor(const std::string& path, double seconds) {
        const uint64_t t0 = monotonicMs();
        EXPECT_TRUE(native::recordFile(path.c_str()));
        uint64_t first = 0;
        double latest = 0;
        EXPECT_TRUE(eventually(
            [&] {
                double t = 0;
                while (native::getTimeRecording(&t, 1)) latest = t;
                if (first == 0 && latest > 0) first = monotonicMs() - t0;
                return latest >= seconds - 1e-9;
            },
            static_cast<uint32_t>(seconds * 1000) + 5000));
        return first;
    }

    rig::PulseServer* pulse = nullptr;
};

TEST_F(Rig, RecordsSpeechFedToTheMicrophoneExactly) {
    const std::vector<int16_t> fed = rig::speech(3.0);
    ASSERT_EQ(fed.size(), 24000u);
    ASSERT_TRUE(rig::writeWav(file("speech.wav"), fed));
    const std::string path = file("recorded.bvx");
    const uint64_t latency = recordFileFor(path, 0.09);
    const pid_t player = rig::spawn({"paplay", "--device=mic", file("speech.wav")});
    ASSERT_GT(player, 0);
    ASSERT_EQ(rig::reap(player, 10000), 0);
    sleepMs(500);
    EXPECT_LT(timed(native::stop), 1500u);
    double t = -1;
    ASSERT_TRUE(eventually([&] { return native::isStopRecording(&t, 1); }, 3000));
    EXPECT_EQ(takeError(), "");
    const std::vector<uint8_t> recorded = readBytes(path);
    const size_t blocks = recorded.size() / 54;
    // Every counted block reached the file.
    EXPECT_EQ(recorded.size(), 54 * blocks);
    EXPECT_NEAR(0.09 * static_cast<double>(blocks), t, 1e-6);
    const rig::Alignment a = rig::alignRecording(fed, decodeReference(recorded));
    std::printf(
        "first block %llu ms after RecordFile; speech starts %zu samples into the "
        "recording; segmental SNR %.2f dB; %zu blocks\n",
        static_cast<unsigned long long>(latency), a.lead, a.snr, blocks);
    EXPECT_GT(a.snr, 3.0);
    ASSERT_GE(blocks * 720, a.lead + fed.size());
    std::vector<int16_t> heard(a.lead, 0);
    heard.insert(heard.end(), fed.begin(), fed.end());
    // The server passes the samples through untouched, so the file is exactly what a fresh codec
    // makes of silence up to the speech and the speech after it.
    EXPECT_TRUE(recorded == encodeReference(heard, blocks))
        << "the recorded frames differ from the reference encoding of the fed speech";
}

TEST_F(Rig, PlaybackIsHeardOnTheSpeakerAsDecoded) {
    const std::vector<uint8_t> frames = encodeReference(rig::speech(2.7), 30);
    const std::string path = file("play.bvx");
    writeBytes(path, frames);
    const pid_t listener =
        rig::spawn({"parecord", "--device=spk.monitor", "--rate=8000", "--channels=1",
                    "--format=s16le", "--file-format=wav", file("heard.wav")});
    ASSERT_GT(listener, 0);
    ASSERT_TRUE(listening(file("heard.wav")));
    ASSERT_TRUE(native::playFile(path.c_str()));
    double t = -1;
    ASSERT_TRUE(eventually([&] { return native::isStopPlaying(&t, 1); }, 10000));
    EXPECT_EQ(takeError(), "");
    EXPECT_NEAR(t, 0.3 * static_cast<double>((frames.size() + 179) / 180), 1e-9);
    sleepMs(500);
    kill(listener, SIGINT);
    ASSERT_EQ(rig::reap(listener, 5000), 0);
    const std::vector<int16_t> heard = rig::readWav(file("heard.wav"));
    const std::vector<int16_t> decoded = decodeReference(frames);
    size_t d = 0, h = 0;
    while (d < decoded.size() && decoded[d] == 0) ++d;
    while (h < heard.size() && heard[h] == 0) ++h;
    ASSERT_LT(d, decoded.size());
    ASSERT_GE(h, d);
    ASSERT_GE(heard.size(), h - d + decoded.size()) << "the end of the playback was not heard";
    const std::vector<int16_t> segment(heard.begin() + static_cast<long>(h - d),
                                       heard.begin() + static_cast<long>(h - d + decoded.size()));
    EXPECT_TRUE(segment == decoded) << "the speaker did not play the decoder's samples";
    // A single frame with the end of the stream is heard whole too (far below the device's start
    // threshold).
    const pid_t again =
        rig::spawn({"parecord", "--device=spk.monitor", "--rate=8000", "--channels=1",
                    "--format=s16le", "--file-format=wav", file("one.wav")});
    ASSERT_TRUE(listening(file("one.wav")));
    ASSERT_TRUE(native::playBuffer());
    ASSERT_TRUE(eventually([] { return native::currentEngine()->isPlaying(); }, 5000));
    const std::vector<uint8_t> loud(frames.begin() + 18 * 40, frames.begin() + 18 * 41);
    ASSERT_TRUE(
        eventually([&] { return native::setBuffer(loud.data(), loud.size(), 18, true); }, 3000));
    ASSERT_TRUE(eventually([&] { return native::isStopPlaying(&t, 1); }, 5000));
    EXPECT_NEAR(t, 0.3, 1e-9);
    sleepMs(500);
    kill(again, SIGINT);
    ASSERT_EQ(rig::reap(again, 5000), 0);
    const std::vector<int16_t> one = decodeReference(loud);
    const std::vector<int16_t> oneHeard = rig::readWav(file("one.wav"));
    size_t nonZero = 0;
    for (int16_t s : oneHeard) nonZero += s != 0;
    size_t expectNonZero = 0;
    for (int16_t s : one) expectNonZero += s != 0;
    EXPECT_EQ(nonZero, expectNonZero) << "the one-frame block was not heard whole";
}

TEST_F(Rig, FrozenServerNeverHoldsTheCallerAndEndsTheRun) {
    // A run whose server freezes ends by itself: error text, stop notice, blocks kept.
    const std::string path = file("frozen.bvx");
    recordFileFor(path, 0.45);
    pulse->freeze();
    double t = -1;
    const uint64_t t0 = monotonicMs();
    ASSERT_TRUE(eventually([&] { return native::isStopRecording(&t, 1); }, 5000));
    std::printf("frozen server: the run ended %llu ms after the freeze\n",
                static_cast<unsigned long long>(monotonicMs() - t0));
    EXPECT_EQ(takeError(), waveInText(DeviceResult::Failed));
    EXPECT_EQ(readBytes(path).size(), static_cast<size_t>(t / 0.09 + 0.5) * 54);
    // Starts, stops, deletion and creation while it stays frozen: all bounded.
    EXPECT_TRUE(native::recordBuffer());
    sleepMs(300);
    EXPECT_LT(timed(native::stop), 1500u);
    EXPECT_LT(timed(native::playBuffer), 2000u);
    EXPECT_LT(timed(native::stop), 1500u);
    EXPECT_LT(timed(native::deleteEngine), 2000u);
    EXPECT_LT(timed(native::newEngine), 2000u);
    pulse->thaw();
    // Once the server runs again, so does the engine.
    ASSERT_TRUE(eventually([] { return native::recordBuffer(); }, 5000));
    ASSERT_TRUE(eventually([&] { return native::getTimeRecording(&t, 1) && t > 0.2; }, 6000));
    EXPECT_LT(timed(native::stop), 1500u);
    ASSERT_TRUE(eventually([&] { return native::isStopRecording(&t, 1); }, 3000));

    // A stop while the server is frozen under a playback.
    const std::vector<uint8_t> frames = encodeReference(rig::speech(3.0), 33);
    writeBytes(file("frozen_play.bvx"), frames);
    ASSERT_TRUE(native::playFile(file("frozen_play.bvx").c_str()));
    ASSERT_TRUE(eventually([&] { return native::getTimePlaying(&t, 1) && t >= 0.3; }, 6000));
    pulse->freeze();
    sleepMs(200);
    EXPECT_LT(timed(native::stop), 1500u);
    ASSERT_TRUE(eventually([&] { return native::isStopPlaying(&t, 1); }, 4000));
    pulse->thaw();
}

TEST_F(Rig, KilledServerEndsTheRunWithItsText) {
    const std::string path = file("killed.bvx");
    recordFileFor(path, 0.45);
    pulse->kill();
    double t = -1;
    ASSERT_TRUE(eventually([&] { return native::isStopRecording(&t, 1); }, 5000));
    const std::string text = takeError();
    EXPECT_TRUE(text == waveInText(DeviceResult::NoDriver) ||
                text == waveInText(DeviceResult::Failed))
        << text;
    EXPECT_EQ(readBytes(path).size(), static_cast<size_t>(t / 0.09 + 0.5) * 54);
    // No server: no device.
    ASSERT_TRUE(native::recordBuffer());
    ASSERT_TRUE(eventually([&] { return native::isStopRecording(&t, 1); }, 5000));
    EXPECT_EQ(takeError(), " Sound driver is not installed.");
    std::string why;
    ASSERT_TRUE(pulse->restart(why)) << why;
    ASSERT_TRUE(native::recordBuffer());
    ASSERT_TRUE(eventually([&] { return native::getTimeRecording(&t, 1) && t > 0.1; }, 6000));
    EXPECT_LT(timed(native::stop), 1500u);
}

// Figures for the notes: start latency against arecord on the same server; with
// BRIMVOX_RT_LONG=1 also the drift of the elapsed time over 60 s and the CPU time it costs.
TEST_F(Rig, Figures) {
    const uint64_t t0 = monotonicMs();
    const pid_t arecord =
        rig::spawn({"arecord", "-q", "-D", "default", "-f", "S16_LE", "-r", "8000", "-c", "1", "-t",
                    "raw", "-d", "2", file("arecord.raw")});
    ASSERT_GT(arecord, 0);
    uint64_t arecordFirst = 0;
    eventually(
        [&] {
            std::ifstream in(file("arecord.raw"), std::ios::binary | std::ios::ate);
            if (in && in.tellg() >= 1440) arecordFirst = monotonicMs() - t0;
            return arecordFirst != 0;
        },
        6000);
    rig::reap(arecord, 5000);
    const uint64_t ours = recordFileFor(file("figures.bvx"), 0.09);
    native::stop();
    std::printf("start latency to the first 720 samples: engine %llu ms, arecord %llu ms\n",
                static_cast<unsigned long long>(ours),
                static_cast<unsigned long long>(arecordFirst));
    EXPECT_GT(ours, 0u);
    const char* longRun = std::getenv("BRIMVOX_RT_LONG");
    if (!longRun || std::string(longRun) != "1") return;
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const uint64_t start = monotonicMs();
    ASSERT_TRUE(native::recordBuffer());
    double first = 0, latest = 0;
    uint64_t firstAt = 0;
    uint8_t block[54];
    while (monotonicMs() - start < 62000) {
        double t = 0;
        while (native::getTimeRecording(&t, 1)) {
            latest = t;
            if (firstAt == 0 && t > 0) {
                firstAt = monotonicMs();
                first = t;
            }
        }
        while (native::getBuffer(block, sizeof block)) {
        }
        sleepMs(20);
    }
    const uint64_t end = monotonicMs();
    native::stop();
    getrusage(RUSAGE_SELF, &after);
    const double wall = static_cast<double>(end - firstAt) / 1000.0;
    const double cpu = static_cast<double>(after.ru_utime.tv_sec - before.ru_utime.tv_sec +
                                           after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                       static_cast<double>(after.ru_utime.tv_usec - before.ru_utime.tv_usec +
                                           after.ru_stime.tv_usec - before.ru_stime.tv_usec) /
                           1e6;
    std::printf(
        "over %.1f s of wall clock the elapsed time advanced %.2f s (drift %+.2f s); "
        "CPU %.2f s (%.2f%% of one core, encoding included)\n",
        wall, latest - first, latest - first - wall, cpu,
        100.0 * cpu / (static_cast<double>(end - start) / 1000.0));
}

}  // namespace
}  // namespace brimvox
