// The engine through the NativeAudio methods against the virtual sound card at high clock speed.
#include "engine_test.h"

#include <dirent.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <stdexcept>

#include "boundary.h"
#include "sync.h"
#include "test_signal.h"

namespace brimvox {

namespace {

TEST_F(EngineTest, FileRecordingKeepsEveryCapturedBlockAndPlaysBackAsDecoded) {
    const std::vector<int16_t> mic = speechLike(3.0);
    VirtualCard::setInput(mic);
    const std::string path = tempPath("record.bvx");
    writeBytes(path, std::vector<uint8_t>(1000, 0x55));  // replaced by the recording
    ASSERT_TRUE(native::recordFile(path.c_str()));
    EXPECT_FALSE(native::recordFile(path.c_str()));  // a run is starting or active
    EXPECT_FALSE(native::playBuffer());
    ASSERT_TRUE(recordFor(1.8));
    uint8_t block[54];
    EXPECT_FALSE(native::getBuffer(block, sizeof block));  // the writer is the consumer
    EXPECT_NE(native::getMaxSample(), 0);
    EXPECT_LT(timedStop(), 1500u);
    double t = 0;
    ASSERT_TRUE(waitStopRecording(t));
    EXPECT_FALSE(native::isStopRecording(&t, 1));
    const size_t blocks = static_cast<size_t>(t / 0.09 + 0.5);
    EXPECT_GE(blocks, 20u);
    const std::vector<uint8_t> file = readBytes(path);
    // Every counted block is in the file (the writer drains after the stop), in order, and
    // encoded exactly as a fresh codec encodes the microphone's signal.
    ASSERT_EQ(file.size(), 54 * blocks);
    EXPECT_EQ(file, encodeReference(mic, blocks));
    EXPECT_EQ(takeError(), "");

    ASSERT_TRUE(native::playFile(path.c_str()));
    ASSERT_TRUE(waitStopPlaying(t));
    // 18 frames per 180-byte read: blocks of 0.3 s, the last one partial.
    const size_t reads = (file.size() + 179) / 180;
    EXPECT_NEAR(t, 0.3 * static_cast<double>(reads), 1e-9);
    EXPECT_EQ(VirtualCard::output(), decodeReference(file));
    EXPECT_EQ(takeError(), "");
    std::remove(path.c_str());
}

TEST_F(EngineTest, FilePlaybackEndsWhereTheFileEnds) {
    // bytes in the file -> final time: 0.3 s per block played; a read that finds no whole frame
    // only ends the stream
    const struct {
        size_t bytes;
        double seconds;
    } cases[] = {{0, 0.0}, {17, 0.0}, {18, 0.3}, {200, 0.6}, {360, 0.6}, {540, 0.9}};
    const std::vector<uint8_t> frames = encodeReference(speechLike(0.9), 10);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        const std::string path = tempPath("ends.bvx");
        writeBytes(path, std::vector<uint8_t>(frames.begin(), frames.begin() + c.bytes));
        ASSERT_TRUE(native::playFile(path.c_str()));
        double t = -1;
        ASSERT_TRUE(waitStopPlaying(t));
        EXPECT_NEAR(t, c.seconds, 1e-9);
        const size_t whole = c.bytes / 18 * 18;
        EXPECT_EQ(VirtualCard::output(),
                  decodeReference(std::vector<uint8_t>(frames.begin(), frames.begin() + whole)));
        EXPECT_EQ(takeError(), "");
        std::remove(path.c_str());
    }
}

TEST_F(EngineTest, BlockRecordingAndBlockPlaybackRoundTrip) {
    const std::vector<int16_t> mic = speechLike(2.0, 7);
    VirtualCard::setInput(mic);
    ASSERT_TRUE(native::recordBuffer());
    std::vector<uint8_t> got;
    ASSERT_TRUE(collectBlocks(got, 12));
    uint8_t block[54];
    EXPECT_FALSE(native::getBuffer(block, 53));  // too small: refused, nothing written
    native::stop();
    double t = 0;
    ASSERT_TRUE(waitStopRecording(t));
    EXPECT_EQ(got, encodeReference(mic, got.size() / 54));

    // Play the blocks back from the Java side, 54 bytes per offer, the last one ending the stream.
    ASSERT_TRUE(native::playBuffer());
    uint8_t none[1] = {0};
    EXPECT_FALSE(native::setBuffer(none, 1, 181, false));
    EXPECT_FALSE(native::setBuffer(none, 1, -1, false));
    size_t sent = 0;
    ASSERT_TRUE(eventually([&] {
        while (sent < got.size()) {
            const bool last = sent + 54 >= got.size();
            if (!native::setBuffer(got.data() + sent, 54, 54, last)) return false;
            sent += 54;
        }
        return true;
    }));
    ASSERT_TRUE(waitStopPlaying(t));
    EXPECT_NEAR(t, 0.3 * static_cast<double>(got.size() / 54), 1e-9);
    EXPECT_EQ(VirtualCard::output(), decodeReference(got));
}

TEST_F(EngineTest, PlaybackBuffersUntilTheRingIsFullThenPlays) {
    ASSERT_TRUE(native::playBuffer());
    std::vector<uint8_t> frames = encodeReference(speechLike(3.6), 40);
    // SetBuffer is refused until the playback loop has begun.
    ASSERT_TRUE(eventually([] { return native::currentEngine()->isPlaying(); }));
    ASSERT_TRUE(eventually([] { return native::getIsBuffering(); }));
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(native::setBuffer(frames.data() + 180 * i, 180, 180, false));
    sleepMs(30);
    EXPECT_TRUE(VirtualCard::output().empty());  // nothing heard while the ring fills
    EXPECT_TRUE(native::getIsBuffering());
    EXPECT_FALSE(native::setBuffer(frames.data(), 180, 180, false));  // the eleventh is refused
    EXPECT_FALSE(native::getIsBuffering());
    ASSERT_TRUE(eventually([] { return !VirtualCard::output().empty(); }));
    size_t next = 10;
    ASSERT_TRUE(eventually([&] {
        while (next < 12 && native::setBuffer(frames.data() + 180 * next, 180, 180, next == 11))
            ++next;
        return next == 12;
    }));
    double t = 0;
    ASSERT_TRUE(waitStopPlaying(t));
    EXPECT_NEAR(t, 3.6, 1e-9);
    std::vector<uint8_t> twelve(frames.begin(), frames.begin() + 12 * 180);
    EXPECT_EQ(VirtualCard::output(), decodeReference(twelve));
}

TEST_F(EngineTest, EndOfStreamEndsAnUnderrunWithoutFillingTheRing) {
    ASSERT_TRUE(native::playBuffer());
    std::vector<uint8_t> frames = encodeReference(speechLike(0.54), 6);
    // Blocks are accepted once the playback loop runs (buffering is already true before).
    ASSERT_TRUE(eventually([] { return native::currentEngine()->isPlaying(); }));
    ASSERT_TRUE(native::setBuffer(frames.data(), 180, 180, false));
    ASSERT_TRUE(native::setBuffer(frames.data() + 180, 144, 144, true));
    double t = 0;
    ASSERT_TRUE(waitStopPlaying(t, 3000));
    EXPECT_NEAR(t, 0.6, 1e-9);
    EXPECT_EQ(VirtualCard::output().size(), 2400u + 1920u);
}

TEST_F(EngineTest, StopEndsTheBufferingWait) {
    ASSERT_TRUE(native::playBuffer());
    ASSERT_TRUE(eventually([] { return native::currentEngine()->isPlaying(); }));
    std::vector<uint8_t> frames = encodeReference(speechLike(0.27), 3);
    ASSERT_TRUE(native::setBuffer(frames.data(), 162, 162, false));  // underrun: waits to fill
    sleepMs(20);
    EXPECT_TRUE(native::getIsBuffering());
    EXPECT_LT(timedStop(), 500u);  // a wait that only a full ring ends would cost 1.4 s
    double t = -1;
    ASSERT_TRUE(native::isStopPlaying(&t, 1));
    EXPECT_EQ(t, 0.0);
    EXPECT_FALSE(native::currentEngine()->busy());
}

TEST_F(EngineTest, PauseAndResumeRecordingAndStopWhilePaused) {
    VirtualCard::setInput(speechLike(3.0));
    EXPECT_FALSE(native::pause());  // nothing runs
    ASSERT_TRUE(native::recordBuffer());
    double t = 0;
    ASSERT_TRUE(recordFor(0.27, &t));
    ASSERT_TRUE(native::pause());
    sleepMs(150);  // let the loop notice and reset the device
    latestRecordingTime(t);
    const size_t position = VirtualCard::inputPosition();
    sleepMs(100);
    double again = 0;
    EXPECT_FALSE(native::getTimeRecording(&again, 1));  // no block while paused
    EXPECT_EQ(VirtualCard::inputPosition(), position);
    EXPECT_FALSE(native::pause());  // resumed
    ASSERT_TRUE(eventually([&] { return native::getTimeRecording(&again, 1) && again > t; }));
    // Continues from where it stopped: a few blocks later at most, not the 2 s of card time
    // that passed while paused.
    EXPECT_LE(again - t, 0.27 + 1e-9);
    ASSERT_TRUE(native::pause());
    sleepMs(30);
    EXPECT_LT(timedStop(), 1500u);
    ASSERT_TRUE(waitStopRecording(t, 1000));
    EXPECT_FALSE(native::currentEngine()->isRecording());
}

TEST_F(EngineTest, PausedPlaybackHoldsItsTime) {
    VirtualCard::setSpeed(4.0);
    std::vector<uint8_t> frames = encodeReference(speechLike(6.0), 66);
    const std::string path = tempPath("pause.bvx");
    writeBytes(path, frames);
    ASSERT_TRUE(native::playFile(path.c_str()));
    double t = 0;
    ASSERT_TRUE(eventually([&] { return native::getTimePlaying(&t, 1) && t >= 0.6; }));
    ASSERT_TRUE(native::pause());
    sleepMs(100);
    const size_t heard = VirtualCard::output().size();
    while (native::getTimePlaying(&t, 1)) {
    }
    sleepMs(150);
    EXPECT_EQ(VirtualCard::output().size(), heard);
    double later = 0;
    EXPECT_FALSE(native::getTimePlaying(&later, 1));
    EXPECT_FALSE(native::pause());
    ASSERT_TRUE(eventually([&] { return native::getTimePlaying(&later, 1) && later > t; }));
    EXPECT_LT(timedStop(), 1500u);
    ASSERT_TRUE(waitStopPlaying(t, 1000));
    std::remove(path.c_str());
}

TEST_F(EngineTest, NoDeviceReportsTheDriverText) {
    setenv("BRIMVOX_AUDIO", "none", 1);
    ASSERT_TRUE(native::recordBuffer());
    double t = -1;
    ASSERT_TRUE(waitStopRecording(t));
    EXPECT_EQ(t, 0.0);
    EXPECT_EQ(takeError(), " Sound driver is not installed.");
    ASSERT_TRUE(native::playBuffer());
    ASSERT_TRUE(waitStopPlaying(t));
    EXPECT_EQ(takeError(), " Sound driver is not installed.");
    EXPECT_EQ(takeError(), "");
}

TEST_F(EngineTest, MissingAndUncreatableFilesGiveSystemTextThenPath) {
    const std::string missing = tempPath("missing.bvx");
    std::remove(missing.c_str());
    ASSERT_TRUE(native::playFile(missing.c_str()));
    double t = -1;
    ASSERT_TRUE(waitStopPlaying(t));
    EXPECT_EQ(takeError(), "No such file or directory" + missing);

    const std::string bad = "/nonexistent-dir/sub/out.bvx";
    ASSERT_TRUE(native::recordFile(bad.c_str()));
    ASSERT_TRUE(waitStopRecording(t));
    EXPECT_EQ(t, 0.0);
    EXPECT_EQ(takeError(), "No such file or directory" + bad);
    // The engine is idle again: a new run starts.
    EXPECT_TRUE(native::recordBuffer());
    native::stop();
}

TEST_F(EngineTest, ErrorOfTheCaptureSideIsDeliveredFirst) {
    native::currentEngine()->playbackQueue()->setError("playback");
    native::currentEngine()->captureQueue()->setError("capture");
    EXPECT_EQ(takeError(), "capture");
    EXPECT_EQ(takeError(), "playback");
    char small[4];
    native::currentEngine()->captureQueue()->setError("longer text");
    ASSERT_TRUE(native::getError(small, sizeof small));
    EXPECT_STREQ(small, "lon");
}

struct FaultCase {
    const char* name;
    bool capture;
    VirtualFaults faults;
    DeviceResult code;  // the result whose text the run ends with
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class DeviceFaults : public EngineTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DeviceFaults, ReachGetErrorAndLeaveTheEngineIdle) {
    const FaultCase& c = GetParam();
    VirtualCard::setFaults(c.capture, c.faults);
    const std::string expect =
        deviceText(c.capture ? Direction::Capture : Direction::Playback, c.code);
    ASSERT_FALSE(expect.empty());
    double t = 0;
    if (c.capture) {
        ASSERT_TRUE(native::recordBuffer());
        if (c.faults.resetResult != DeviceResult::Ok || c.faults.closeResult != DeviceResult::Ok) {
            ASSERT_TRUE(recordFor(0.18));
            native::stop();
        }
        ASSERT_TRUE(waitStopRecording(t));
    } else {
        const std::string path = tempPath(std::string("fault_") + c.name);
        writeBytes(path, encodeReference(speechLike(0.9), 10));
        ASSERT_TRUE(native::playFile(path.c_str()));
        ASSERT_TRUE(waitStopPlaying(t));
        std::remove(path.c_str());
    }
    EXPECT_EQ(takeError(), expect);
    AudioEngine* e = native::currentEngine();
    ASSERT_TRUE(eventually([e] { return !e->busy(); }, 2000));
    // Blocks captured before the fault stay until fetched; then the ring is given up.
    uint8_t block[54];
    while (native::getBuffer(block, sizeof block)) {
    }
    EXPECT_FALSE(e->captureQueue()->isPrepared());
    EXPECT_FALSE(e->playbackQueue()->isPrepared());
    VirtualCard::resetAll();
    VirtualCard::setSpeed(8.0);
    ASSERT_TRUE(native::recordBuffer());  // usable again
    ASSERT_TRUE(recordFor(0.09));
    native::stop();
}

FaultCase fault(const char* name, bool capture, DeviceResult VirtualFaults::*field,
                DeviceResult code) {
    VirtualFaults f;
    f.*field = code;
    return FaultCase{name, capture, f, code};
}

INSTANTIATE_TEST_SUITE_P(
    Virtual, DeviceFaults,
    ::testing::Values(
        fault("in_open", true, &VirtualFaults::openResult, DeviceResult::InUse),
        fault("in_open_memory", true, &VirtualFaults::openResult, DeviceResult::NoMemory),
        fault("in_open_driver", true, &VirtualFaults::openResult, DeviceResult::NoDriver),
        fault("in_start", true, &VirtualFaults::startResult, DeviceResult::Failed),
        fault("in_read", true, &VirtualFaults::transferResult, DeviceResult::InvalidParameter),
        fault("in_reset", true, &VirtualFaults::resetResult, DeviceResult::InvalidHandle),
        fault("in_close", true, &VirtualFaults::closeResult, DeviceResult::NotSupported),
        fault("out_open", false, &VirtualFaults::openResult, DeviceResult::InUse),
        fault("out_open_memory", false, &VirtualFaults::openResult, DeviceResult::NoMemory),
        fault("out_write", false, &VirtualFaults::transferResult, DeviceResult::Failed),
        fault("out_reset", false, &VirtualFaults::resetResult, DeviceResult::InvalidHandle),
        fault("out_close", false, &VirtualFaults::closeResult, DeviceResult::NotSupported)),
    [](const ::testing::TestParamInfo<FaultCase>& p) { return std::string(p.param.name); });

TEST_F(EngineTest, RefusedInputBuffersNeverHangTheRecording) {
    VirtualFaults f;
    f.transferResult = DeviceResult::NoMemory;
    f.transferAfter = 6;  // six blocks, then every one refused
    VirtualCard::setFaults(true, f);
    ASSERT_TRUE(native::recordBuffer());
    double t = 0;
    ASSERT_TRUE(recordFor(0.54, &t));
    sleepMs(100);  // no block since
    latestRecordingTime(t);
    EXPECT_NEAR(t, 0.54, 1e-9);  // refusals are silent: no error, no more blocks
    EXPECT_LT(timedStop(), 1500u);
    ASSERT_TRUE(waitStopRecording(t, 1000));
    EXPECT_EQ(takeError(), "");
}

// The boundary every entry point runs in: an exception ends the call with its failure value and
// becomes the next error text; memory exhaustion reads as the library's own text.
TEST_F(EngineTest, ExceptionsStopAtTheEntryPointAsErrorTexts) {
    auto report = [](const char* text) { native::refuseEngine(text); };
    EXPECT_EQ(guarded(
                  false, []() -> bool { throw std::bad_alloc(); }, report),
              false);
    EXPECT_EQ(takeError(), "Memory allocation error.");
    EXPECT_EQ(guarded(
                  -1, []() -> int { throw std::runtime_error("x"); }, report),
              -1);
    EXPECT_EQ(takeError(), "Internal error of the sound library.");
    // A report that throws itself is swallowed too.
    auto throwing = [](const char*) { throw std::logic_error("y"); };
    EXPECT_EQ(guarded(
                  7, []() -> int { throw std::bad_alloc(); }, throwing),
              7);
    EXPECT_EQ(guarded(
                  false, [] { return true; }, report),
              true);
    EXPECT_EQ(takeError(), "");
}

// Once DeleteJavaClass4800 has returned, no thread of the engine runs any more, not even the
// last instructions after its work: a VM may unload the library at once.
TEST_F(EngineTest, DeletedEngineLeavesNoThreadRunning) {
    auto processThreads = [] {
        int n = 0;
        if (DIR* d = opendir("/proc/self/task")) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.') ++n;
            closedir(d);
        }
        return n;
    };
    // A runtime that starts a helper thread along with the process's first thread (as
    // ThreadSanitizer's does) has done so before anything is counted.
    ThreadHandle* first = startJoinableThread([](void*) {}, nullptr);
    ASSERT_TRUE(first != nullptr && joinThread(first, 2000));
    for (int round = 0; round < 20; ++round) {
        const int before = processThreads();
        ASSERT_TRUE(native::recordBuffer());
        ASSERT_TRUE(recordFor(0.09));
        native::deleteEngine();
        EXPECT_LE(processThreads(), before) << "round " << round;
        ASSERT_TRUE(native::newEngine());
    }
}

TEST_F(EngineTest, WithoutAnEngineEveryMethodIsHarmless) {
    native::deleteEngine();
    EXPECT_EQ(native::getVersion(), 101);
    uint8_t bytes[300] = {0};
    double t[1] = {0};
    char text[257];
    EXPECT_FALSE(native::recordFile("/tmp/x"));
    EXPECT_FALSE(native::recordBuffer());
    EXPECT_FALSE(native::playFile("/tmp/x"));
    EXPECT_FALSE(native::playBuffer());
    EXPECT_TRUE(native::stop());
    EXPECT_FALSE(native::pause());
    EXPECT_FALSE(native::getBuffer(bytes, sizeof bytes));
    EXPECT_FALSE(native::setBuffer(bytes, sizeof bytes, 180, true));
    EXPECT_FALSE(native::isStopPlaying(t, 1));
    EXPECT_FALSE(native::getTimePlaying(t, 1));
    EXPECT_FALSE(native::isStopRecording(t, 1));
    EXPECT_FALSE(native::getTimeRecording(t, 1));
    EXPECT_FALSE(native::getError(text, sizeof text));
    EXPECT_EQ(native::getMaxSample(), 0);
    EXPECT_FALSE(native::getIsBuffering());
    EXPECT_TRUE(native::deleteEngine());
}

TEST_F(EngineTest, WrongSideAndStateAreRefused) {
    uint8_t bytes[180] = {0};
    double t = 0;
    EXPECT_TRUE(native::stop());
    EXPECT_TRUE(native::stop());
    ASSERT_TRUE(native::getTimeRecording(&t, 1) == false);
    ASSERT_TRUE(native::recordBuffer());
    ASSERT_TRUE(recordFor(0.09));
    EXPECT_FALSE(native::setBuffer(bytes, sizeof bytes, 18, false));  // recording
    EXPECT_FALSE(native::playFile("/tmp/none"));
    native::stop();
    const std::string path = tempPath("side.bvx");
    writeBytes(path, encodeReference(speechLike(4.0), 40));
    ASSERT_TRUE(native::playFile(path.c_str()));
    ASSERT_TRUE(eventually([] { return native::currentEngine()->isPlaying(); }));
    EXPECT_FALSE(native::setBuffer(bytes, sizeof bytes, 18, false));  // the reader produces
    EXPECT_FALSE(native::getBuffer(bytes, sizeof bytes));             // playing
    EXPECT_LT(timedStop(), 1500u);
    std::remove(path.c_str());
}

// The end of a run is one step as the caller sees it: once the stop notice is out, the next start
// is accepted. The notice is polled without pause, so a stop notice published before the run was
// marked ended would be caught in between.
TEST_F(EngineTest, StartRightAfterTheStopNoticeIsAccepted) {
    VirtualCard::setInput(speechLike(1.0));
    double t = 0;
    for (int round = 0; round < 25; ++round) {
        ASSERT_TRUE(native::playBuffer());
        ASSERT_TRUE(eventually([] { return native::currentEngine()->isPlaying(); }));
        ASSERT_TRUE(native::setBuffer(nullptr, 0, 0, true));
        const uint64_t until = monotonicMs() + 5000;
        while (!native::isStopPlaying(&t, 1)) ASSERT_LT(monotonicMs(), until);
        ASSERT_TRUE(native::recordBuffer()) << "round " << round;
        ASSERT_TRUE(recordFor(0.09));
        native::stop();
        ASSERT_TRUE(native::isStopRecording(&t, 1));
        ASSERT_TRUE(native::playBuffer()) << "round " << round;
        native::stop();
        ASSERT_TRUE(native::isStopPlaying(&t, 1));
    }
    EXPECT_EQ(takeError(), "");
}

TEST_F(EngineTest, NewEngineOverARunningOneLeavesNothingBehind) {
    VirtualCard::setInput(speechLike(2.0));
    ASSERT_TRUE(native::recordBuffer());
    ASSERT_TRUE(recordFor(0.18));
    ASSERT_TRUE(native::newEngine());
    AudioEngine* e = native::currentEngine();
    EXPECT_FALSE(e->busy());
    double t = 0;
    EXPECT_FALSE(native::isStopRecording(&t, 1));  // a fresh engine
    ASSERT_TRUE(native::playBuffer());
    EXPECT_LT(timedStop(), 1500u);
}

}  // namespace
}  // namespace brimvox
