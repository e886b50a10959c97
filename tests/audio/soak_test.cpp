// Random sequences of starts, pauses, block calls, stops and engine deletions across the four
// run kinds. Run under ThreadSanitizer and AddressSanitizer in CI: the checks here are that every
// start is accepted once the last run has stopped, every run posts its stop notice, and every
// Stop returns within 1.5 s.
#include <cstdlib>
#include <random>

#include "engine_test.h"
#include "soak_runs.h"
#include "test_signal.h"

namespace brimvox {
namespace {

TEST_F(EngineTest, SoakRandomSequences) {
    const unsigned seed = soakSeed(4800u);
    std::mt19937 rng(seed);
    VirtualCard::setSpeed(20.0);
    VirtualCard::setInput(speechLike(2.0));
    const std::string playPath = tempPath("soak_play.bvx");
    const std::string recordPath = tempPath("soak_record.bvx");
    // Longer than the playback ring, so file playback also stops while the reader's offers are
    // being refused.
    const std::vector<uint8_t> frames = encodeReference(speechLike(4.0), 44);
    writeBytes(playPath, frames);
    uint64_t slowestStop = 0;
    int sequences = 0;
    for (; sequences < 500; ++sequences) {
        SCOPED_TRACE("sequence " + std::to_string(sequences) + " seed " + std::to_string(seed));
        const int kind = static_cast<int>(rng() % 4);
        const bool started = startRunOfKind(kind, recordPath, playPath);
        ASSERT_TRUE(started) << "kind " << kind;
        const int ops = static_cast<int>(rng() % 6);
        uint8_t block[180];
        double t[1];
        char text[257];
        for (int k = 0; k < ops; ++k) {
            switch (rng() % 6) {
                case 0:
                    native::pause();
                    break;
                case 1:
                    native::getBuffer(block, sizeof block);
                    break;
                case 2: {
                    const size_t at = (rng() % (frames.size() / 18)) * 18;
                    const int length = static_cast<int>(rng() % 181);
                    native::setBuffer(frames.data() + at, frames.size() - at, length,
                                      rng() % 4 == 0);
                    break;
                }
                case 3:
                    sleepMs(static_cast<uint32_t>(rng() % 15));
                    break;
                case 4:
                    native::getTimeRecording(t, 1);
                    native::getTimePlaying(t, 1);
                    native::getMaxSample();
                    native::getIsBuffering();
                    break;
                default:
                    native::getError(text, sizeof text);
                    break;
            }
        }
        const uint64_t t0 = monotonicMs();
        const bool replace = rng() % 10 == 0;
        if (replace) {
            ASSERT_TRUE(rng() % 2 ? native::newEngine()
                                  : (native::deleteEngine() && native::newEngine()));
        } else {
            native::stop();
        }
        const uint64_t took = monotonicMs() - t0;
        slowestStop = std::max(slowestStop, took);
        EXPECT_LT(took, 1500u) << "kind " << kind;
        if (!replace) {
            const bool notice =
                kind < 2 ? native::isStopRecording(t, 1) : native::isStopPlaying(t, 1);
            EXPECT_TRUE(notice) << "kind " << kind;
        }
        drainErrors();
    }
    EXPECT_EQ(sequences, 500);
    std::printf("soak: %d sequences, slowest stop %llu ms\n", sequences,
                static_cast<unsigned long long>(slowestStop));
    std::remove(playPath.c_str());
    std::remove(recordPath.c_str());
}

}  // namespace
}  // namespace brimvox
