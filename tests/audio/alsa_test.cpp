// The engine over the real ALSA backend, with ALSA's `file` PCM plugin as the default device:
// a temporary HOME holds an .asoundrc whose default PCM writes what it plays to a raw file and
// reads what it captures from another, over the `null` PCM (which runs as fast as it is fed).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "audio_engine.h"
#include "native_audio.h"
#include "sync.h"
#include "test_signal.h"

namespace brimvox {
namespace {

struct AlsaHome {
    std::string dir;
    std::string played;
    std::string captured;
    AlsaHome() {
        char pattern[] = "/tmp/brimvox-alsa-XXXXXX";
        const char* made = mkdtemp(pattern);
        dir = made ? made : "/tmp";
        played = dir + "/played.raw";
        captured = dir + "/microphone.raw";
        std::ofstream rc(dir + "/.asoundrc");
        rc << "pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"" << played
           << "\"\n  infile \"" << captured << "\"\n  format \"raw\"\n}\n";
        // Before the first ALSA call of the process, so ALSA reads this configuration.
        setenv("HOME", dir.c_str(), 1);
        setenv("BRIMVOX_AUDIO", "alsa", 1);
    }
};

AlsaHome& home() {
    static AlsaHome h;
    return h;
}

std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool eventually(bool (*condition)(), uint32_t timeoutMs = 10000) {
    const uint64_t until = monotonicMs() + timeoutMs;
    while (!condition()) {
        if (monotonicMs() > until) return false;
        sleepMs(2);
    }
    return true;
}

TEST(Alsa, FilePlaybackReachesAlsaAsTheDecoderOutput) {
    AlsaHome& h = home();
    const std::vector<uint8_t> frames = encodeReference(speechLike(2.0, 3), 22);  // 66 frames
    const std::string path = h.dir + "/speech.bvx";
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(frames.data()),
                  static_cast<std::streamsize>(frames.size()));
    }
    ASSERT_TRUE(native::newEngine());
    ASSERT_TRUE(native::playFile(path.c_str()));
    static double t = 0;
    ASSERT_TRUE(eventually([] { return native::isStopPlaying(&t, 1); }));
    char text[257] = {0};
    EXPECT_FALSE(native::getError(text, sizeof text)) << text;
    native::deleteEngine();
    const std::vector<uint8_t> raw = readBytes(h.played);
    std::vector<int16_t> got(raw.size() / 2);
    for (size_t i = 0; i < got.size(); ++i)
        got[i] = static_cast<int16_t>(raw[2 * i] | (raw[2 * i + 1] << 8));
    const std::vector<int16_t> expect = decodeReference(frames);
    ASSERT_EQ(got.size(), expect.size());
    EXPECT_EQ(got, expect);
}

TEST(Alsa, CaptureReadsTheMicrophoneIntoTheRing) {
    AlsaHome& h = home();
    const std::vector<int16_t> mic = speechLike(2.0, 5);
    {
        std::ofstream out(h.captured, std::ios::binary);
        for (int16_t s : mic) {
            const char le[2] = {static_cast<char>(s & 0xFF), static_cast<char>((s >> 8) & 0xFF)};
            out.write(le, 2);
        }
    }
    ASSERT_TRUE(native::newEngine());
    ASSERT_TRUE(native::recordBuffer());
    // The null device captures as fast as it is read, so the ring fills at once and keeps its
    // first ten blocks.
    ASSERT_TRUE(eventually([] {
        static double t = 0;
        return native::getTimeRecording(&t, 1) && t >= 1.0;
    }));
    std::vector<uint8_t> got;
    uint8_t block[54];
    // The device keeps capturing while we take blocks: take just the first ten.
    for (int i = 0; i < 10 && native::getBuffer(block, sizeof block); ++i)
        got.insert(got.end(), block, block + 54);
    native::stop();
    char text[257] = {0};
    EXPECT_FALSE(native::getError(text, sizeof text)) << text;
    native::deleteEngine();
    ASSERT_EQ(got.size(), 540u);
    EXPECT_EQ(got, encodeReference(mic, 10));
}

}  // namespace
}  // namespace brimvox
