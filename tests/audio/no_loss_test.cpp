// Nothing captured is lost and no existing file is destroyed: blocks captured before a run's end
// stay for GetBuffer, a failed file recording leaves the file as it was, a write error leaves
// whole frames only.
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>

#include "engine_test.h"
#include "test_signal.h"

namespace brimvox {
namespace {

using NoLossTest = EngineTest;

// Takes every block GetBuffer still has after the run's end; the blocks fetched and the time
// reported must then agree, and match a fresh encoding of the microphone's signal.
void expectEveryCountedBlock(std::vector<uint8_t>& got, double finalTime,
                             const std::vector<int16_t>& mic) {
    uint8_t block[54];
    while (native::getBuffer(block, sizeof block)) got.insert(got.end(), block, block + 54);
    const size_t counted = static_cast<size_t>(finalTime / 0.09 + 0.5);
    EXPECT_GT(counted, 0u);
    EXPECT_EQ(got.size(), 54 * counted) << "final time " << finalTime;
    EXPECT_EQ(got, encodeReference(mic, got.size() / 54));
    // Drained: the ring is given up, and nothing more comes.
    EXPECT_FALSE(native::getBuffer(block, sizeof block));
    EXPECT_FALSE(native::currentEngine()->captureQueue()->isPrepared());
}

TEST_F(NoLossTest, BlocksCapturedBeforeStopAreFetchedAfterIt) {
    const std::vector<int16_t> mic = speechLike(3.0, 3);
    VirtualCard::setInput(mic);
    ASSERT_TRUE(native::recordBuffer());
    std::vector<uint8_t> got;
    ASSERT_TRUE(collectBlocks(got, 3));
    // Blocks pile up in the ring, unfetched, when the stop comes.
    ASSERT_TRUE(recordFor(0.09 * 9));
    native::stop();
    double t = 0;
    ASSERT_TRUE(waitStopRecording(t));
    expectEveryCountedBlock(got, t, mic);
}

TEST_F(NoLossTest, StopDuringPauseKeepsTheBlocksBeforeThePause) {
    const std::vector<int16_t> mic = speechLike(3.0, 4);
    VirtualCard::setInput(mic);
    ASSERT_TRUE(native::recordBuffer());
    ASSERT_TRUE(recordFor(0.45));
    ASSERT_TRUE(native::pause());
    sleepMs(100);
    native::stop();
    double t = 0;
    ASSERT_TRUE(waitStopRecording(t));
    std::vector<uint8_t> got;
    expectEveryCountedBlock(got, t, mic);
}

TEST_F(NoLossTest, DeviceErrorMidRunKeepsTheBlocksCapturedBeforeIt) {
    const std::vector<int16_t> mic = speechLike(3.0, 5);
    VirtualCard::setInput(mic);
    VirtualFaults gone;
    gone.goneAfter = 6 * 720 + 100;  // unplugged while the seventh buffer fills
    VirtualCard::setFaults(true, gone);
    ASSERT_TRUE(native::recordBuffer());
    double t = 0;
    ASSERT_TRUE(waitStopRecording(t));  // nothing fetched while it ran
    EXPECT_NE(takeError(), "");
    std::vector<uint8_t> got;
    expectEveryCountedBlock(got, t, mic);
    EXPECT_EQ(got.size(), 6u * 54);
}

TEST_F(NoLossTest, UnfetchedBlocksGoWithTheNextStartOrTheEngine) {
    VirtualCard::setInput(speechLike(3.0, 6));
    ASSERT_TRUE(native::recordBuffer());
    ASSERT_TRUE(recordFor(0.27));
    native::stop();
    double t = 0;
    ASSERT_TRUE(waitStopRecording(t));
    ASSERT_TRUE(native::currentEngine()->captureQueue()->isPrepared());
    // A new recording starts with a fresh codec and an empty ring: its first block is the
    // first block of a fresh encoding of the microphone again.
    const std::vector<int16_t> mic = speechLike(3.0, 8);
    VirtualCard::setInput(mic);
    ASSERT_TRUE(native::recordBuffer());
    std::vector<uint8_t> got;
    ASSERT_TRUE(collectBlocks(got, 2));
    native::stop();
    ASSERT_TRUE(waitStopRecording(t));
    expectEveryCountedBlock(got, t, mic);
    // Blocks left at DeleteJavaClass4800 go with the engine.
    ASSERT_TRUE(native::recordBuffer());
    ASSERT_TRUE(recordFor(0.18));
    native::stop();
    ASSERT_TRUE(native::deleteEngine());  // frees what was left (checked by the sanitizers)
    ASSERT_TRUE(native::newEngine());
}

TEST_F(NoLossTest, FailedFileRecordingLeavesAnExistingFileAsItWas) {
    const std::string path = tempPath("precious.bvx");
    const std::vector<uint8_t> precious = encodeReference(speechLike(1.0, 9), 35);
    for (const char* card : {"none", "virtual"}) {
        SCOPED_TRACE(card);
        writeBytes(path, precious);
        setenv("BRIMVOX_AUDIO", card, 1);
        VirtualFaults refused;
        refused.openResult = DeviceResult::InUse;
        VirtualCard::setFaults(true, refused);
        ASSERT_TRUE(native::recordFile(path.c_str()));
        double t = -1;
        ASSERT_TRUE(waitStopRecording(t));
        EXPECT_EQ(t, 0.0);
        EXPECT_NE(takeError(), "");
        EXPECT_EQ(readBytes(path), precious);
    }
    // A recording stopped before its first block, without a failure, recorded nothing.
    setenv("BRIMVOX_AUDIO", "virtual", 1);
    VirtualCard::resetAll();
    VirtualCard::setSpeed(0.05);
    ASSERT_TRUE(native::recordFile(path.c_str()));
    sleepMs(100);
    native::stop();
    double t = -1;
    ASSERT_TRUE(waitStopRecording(t));
    EXPECT_EQ(t, 0.0);
    EXPECT_EQ(takeError(), "");
    EXPECT_TRUE(readBytes(path).empty());
    std::remove(path.c_str());
}

TEST_F(NoLossTest, WriteErrorLeavesWholeFramesOnly) {
    const std::vector<int16_t> mic = speechLike(3.0, 10);
    VirtualCard::setInput(mic);
    const std::string path = tempPath("limited.bvx");
    std::remove(path.c_str());
    // A size limit that ends the file in the middle of the 19th block.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct sigaction ignore {};
    struct sigaction before {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &before), 0);
    rlimit limited = saved;
    limited.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool started = native::recordFile(path.c_str());
    double t = 0;
    const bool ended = started && waitStopRecording(t);
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &before, nullptr);
    ASSERT_TRUE(ended);
    EXPECT_EQ(takeError(), "File too large" + path);  // the legacy text, unchanged
    const std::vector<uint8_t> file = readBytes(path);
    EXPECT_EQ(file.size(), 18u * 54);
    EXPECT_EQ(file, encodeReference(mic, 18));
    std::remove(path.c_str());
}

}  // namespace
}  // namespace brimvox
