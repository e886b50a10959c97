// Random sequences of starts, pauses, block calls, stops and engine replacements on the real-time
// rig, with the server frozen or killed at random moments. Every Stop returns within 1.5 s, every
// deletion or creation of the engine within 2 s, every run ends with its stop notice, and a file
// recording keeps every block it counted.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "audio_engine.h"
#include "native_audio.h"
#include "pulse_rig.h"
#include "read_file.h"
#include "soak_runs.h"
#include "sync.h"
#include "test_signal.h"

namespace brimvox {
namespace {

TEST(RigSoak, RandomSequencesWithFreezesAndKills) {
    std::string why;
    rig::PulseServer* pulse = rig::server(why);
    if (!pulse) GTEST_SKIP() << "no real-time sound server here: " << why;
    const unsigned seed = soakSeed(9u);
    const char* countText = std::getenv("BRIMVOX_RT_SEQUENCES");
    const int sequences = countText ? std::atoi(countText) : 100;
    std::mt19937 rng(seed);
    const std::string playPath = pulse->directory() + "/soak_play.bvx";
    const std::string recordPath = pulse->directory() + "/soak_record.bvx";
    const std::vector<uint8_t> frames = encodeReference(rig::speech(3.0), 33);
    tests::writeBytes(playPath, frames);
    ASSERT_TRUE(native::newEngine());
    uint64_t slowestStop = 0, slowestReplace = 0;
    int freezes = 0, kills = 0, refused = 0;
    for (int s = 0; s < sequences; ++s) {
        SCOPED_TRACE("sequence " + std::to_string(s) + " seed " + std::to_string(seed));
        if (!pulse->running()) {
            ASSERT_TRUE(pulse->restart(why)) << why;
        }
        const int kind = static_cast<int>(rng() % 4);
        // A recording that fails before its first block keeps the file it would have replaced;
        // starting each one without a file makes its size depend on this run alone.
        if (kind == 0) std::remove(recordPath.c_str());
        const bool started = startRunOfKind(kind, recordPath, playPath);
        if (!started) {
            // Only while the last run's threads are still winding down (a frozen server).
            ++refused;
            sleepMs(200);
            continue;
        }
        const int fault = static_cast<int>(rng() % 10);  // 0-1 freeze, 2 kill, else none
        const uint32_t faultAt = static_cast<uint32_t>(rng() % 600);
        const uint32_t runFor = faultAt + static_cast<uint32_t>(rng() % 600);
        const uint64_t begin = monotonicMs();
        bool faulted = false;
        uint8_t block[180];
        double t[1];
        char text[257];
        while (monotonicMs() - begin < runFor) {
            if (!faulted && monotonicMs() - begin >= faultAt) {
                faulted = true;
                if (fault <= 1) {
                    pulse->freeze();
                    ++freezes;
                } else if (fault == 2) {
                    pulse->kill();
                    ++kills;
                }
            }
            switch (rng() % 8) {
                case 0:
                    native::pause();
                    break;
                case 1:
                    native::getBuffer(block, sizeof block);
                    break;
                case 2: {
                    const size_t at = (rng() % (frames.size() / 18)) * 18;
                    native::setBuffer(frames.data() + at, frames.size() - at,
                                      static_cast<int>(std::min<size_t>(180, frames.size() - at)),
                                      rng() % 8 == 0);
                    break;
                }
                default:
                    native::getTimeRecording(t, 1);
                    native::getTimePlaying(t, 1);
                    native::getError(text, sizeof text);
                    sleepMs(static_cast<uint32_t>(rng() % 40));
                    break;
            }
        }
        const uint64_t t0 = monotonicMs();
        const bool replace = rng() % 8 == 0;
        if (replace) {
            ASSERT_TRUE(native::deleteEngine());
            const uint64_t deleted = monotonicMs() - t0;
            EXPECT_LT(deleted, 2000u) << "DeleteJavaClass4800, kind " << kind;
            const uint64_t t1 = monotonicMs();
            ASSERT_TRUE(native::newEngine());
            EXPECT_LT(monotonicMs() - t1, 2000u) << "NewJavaClass4800, kind " << kind;
            slowestReplace = std::max(slowestReplace, deleted);
        } else {
            native::stop();
            const uint64_t took = monotonicMs() - t0;
            slowestStop = std::max(slowestStop, took);
            EXPECT_LT(took, 1500u) << "Stop, kind " << kind;
        }
        pulse->thaw();
        if (!replace) {
            double final = -1;
            const bool notice = [&] {
                const uint64_t until = monotonicMs() + 8000;
                while (monotonicMs() < until) {
                    if (kind < 2 ? native::isStopRecording(&final, 1)
                                 : native::isStopPlaying(&final, 1))
                        return true;
                    sleepMs(5);
                }
                return false;
            }();
            EXPECT_TRUE(notice) << "no stop notice, kind " << kind;
            if (notice && kind == 0) {
                // The writer keeps every block the capture counted before the run ended.
                std::ifstream in(recordPath, std::ios::binary | std::ios::ate);
                const auto bytes = static_cast<size_t>(in ? static_cast<long>(in.tellg()) : 0);
                EXPECT_EQ(bytes, static_cast<size_t>(final / 0.09 + 0.5) * 54)
                    << "final time " << final;
            }
        }
        drainErrors();
    }
    native::deleteEngine();
    std::printf(
        "rig soak: %d sequences, %d freezes, %d kills, %d starts refused while the last "
        "run wound down; slowest Stop %llu ms, slowest deletion %llu ms\n",
        sequences, freezes, kills, refused, static_cast<unsigned long long>(slowestStop),
        static_cast<unsigned long long>(slowestReplace));
    EXPECT_LT(refused, sequences / 4);
}

}  // namespace
}  // namespace brimvox
