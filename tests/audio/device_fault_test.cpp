// Faults of the sound device itself, as a sound server or unplugged hardware shows them, injected
// into the virtual card: a device that disappears, stalls or stays suspended, a busy or slow
// open, a close that hangs in the system, short and empty transfers. Each must end the run with
// an error text and its stop notice (keeping every captured block), or play every queued sample,
// and no Java-facing call may wait for long.
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "engine_test.h"
#include "test_signal.h"

namespace brimvox {
namespace {

std::string inText(DeviceResult result) {
    return deviceText(Direction::Capture, result);
}

std::string outText(DeviceResult result) {
    return deviceText(Direction::Playback, result);
}

class DeviceFaultTest : public EngineTest {
  protected:
    // Records to a file with the given capture faults until the run ends by itself; checks that
    // the file holds exactly the blocks captured before the fault and returns the error text.
    std::string recordUntilFault(const VirtualFaults& f, size_t blocksBefore) {
        const std::vector<int16_t> mic = speechLike(4.0, 11);
        VirtualCard::setInput(mic);
        VirtualCard::setFaults(true, f);
        const std::string path = tempPath("fault_record.bvx");
        EXPECT_TRUE(native::recordFile(path.c_str()));
        double t = -1;
        EXPECT_TRUE(waitStopRecording(t, 6000)) << "no stop notice";
        EXPECT_NEAR(t, 0.09 * static_cast<double>(blocksBefore), 1e-9);
        EXPECT_EQ(readBytes(path), encodeReference(mic, blocksBefore));
        EXPECT_FALSE(native::currentEngine()->isRecording());
        std::remove(path.c_str());
        return takeError();
    }
};

TEST_F(DeviceFaultTest, CaptureDeviceThatDisappearsEndsTheRunKeepingEveryBlock) {
    VirtualFaults f;
    f.goneAfter = 5 * 720 + 300;  // unplugged while the sixth buffer fills
    EXPECT_EQ(recordUntilFault(f, 5), inText(DeviceResult::NoDriver));
}

TEST_F(DeviceFaultTest, StalledOrSuspendedCaptureEndsTheRunWithinItsBound) {
    VirtualFaults stalled;
    stalled.stallAfter = 4 * 720 + 100;
    const uint64_t t0 = monotonicMs();
    EXPECT_EQ(recordUntilFault(stalled, 4), inText(DeviceResult::Failed));
    EXPECT_LT(monotonicMs() - t0, 3000u);

    VirtualFaults suspended;
    suspended.suspendAfter = 3 * 720;  // suspended exactly between two buffers, never resumed
    EXPECT_EQ(recordUntilFault(suspended, 3), inText(DeviceResult::Failed));
    // The engine is usable again.
    VirtualCard::setFaults(true, VirtualFaults{});
    ASSERT_TRUE(native::recordBuffer());
    ASSERT_TRUE(recordFor(0.18));
    EXPECT_LT(timedStop(), 1500u);
}

TEST_F(DeviceFaultTest, StalledOrVanishedPlaybackEndsTheRunWithItsText) {
    const std::vector<uint8_t> frames = encodeReference(speechLike(6.0, 2), 60);
    const std::string path = tempPath("fault_play.bvx");
    writeBytes(path, frames);
    const struct {
        size_t VirtualFaults::*field;
        DeviceResult code;
    } cases[] = {{&VirtualFaults::stallAfter, DeviceResult::Failed},
                 {&VirtualFaults::goneAfter, DeviceResult::NoDriver}};
    for (const auto& c : cases) {
        VirtualFaults f;
        f.*c.field = 3 * 2400 + 1000;
        VirtualCard::setFaults(false, f);
        ASSERT_TRUE(native::playFile(path.c_str()));
        double t = -1;
        ASSERT_TRUE(waitStopPlaying(t, 6000)) << "no stop notice";
        EXPECT_LT(t, 3.0);
        EXPECT_EQ(takeError(), outText(c.code));
        ASSERT_TRUE(eventually([] { return !native::currentEngine()->busy(); }, 2000));
    }
    std::remove(path.c_str());
}

TEST_F(DeviceFaultTest, BusyDeviceIsReportedAsInUseNotAsMissing) {
    VirtualFaults busy;
    busy.openError = -EBUSY;
    VirtualCard::setFaults(true, busy);
    VirtualCard::setFaults(false, busy);
    ASSERT_TRUE(native::recordBuffer());
    double t = -1;
    ASSERT_TRUE(waitStopRecording(t));
    EXPECT_EQ(takeError(), inText(DeviceResult::InUse));
    ASSERT_TRUE(native::playBuffer());
    ASSERT_TRUE(waitStopPlaying(t));
    EXPECT_EQ(takeError(), outText(DeviceResult::InUse));
    // A device that is not there at all still gives the driver text.
    VirtualFaults absent;
    absent.openError = -ENOENT;
    VirtualCard::setFaults(true, absent);
    ASSERT_TRUE(native::recordBuffer());
    ASSERT_TRUE(waitStopRecording(t));
    EXPECT_EQ(takeError(), " Sound driver is not installed.");
}

TEST_F(DeviceFaultTest, PauseWhileTheDeviceOpensTakesEffectOnceItIsOpen) {
    VirtualFaults slow;
    slow.openDelayMs = 300;
    VirtualCard::setFaults(true, slow);
    VirtualCard::setFaults(false, slow);
    VirtualCard::setInput(speechLike(2.0));
    ASSERT_TRUE(native::recordBuffer());
    ASSERT_TRUE(native::pause());  // the device is still opening
    double t = -1;
    ASSERT_TRUE(native::getTimeRecording(&t, 1));  // the 0.0 of the start
    sleepMs(600);
    EXPECT_FALSE(native::getTimeRecording(&t, 1));  // held from the start: no block
    EXPECT_EQ(VirtualCard::inputPosition(), 0u);
    EXPECT_FALSE(native::pause());  // resumed
    ASSERT_TRUE(recordFor(0.18));
    EXPECT_LT(timedStop(), 1500u);
    ASSERT_TRUE(waitStopRecording(t));

    const std::vector<uint8_t> frames = encodeReference(speechLike(1.8, 4), 18);
    const std::string path = tempPath("slow_open.bvx");
    writeBytes(path, frames);
    ASSERT_TRUE(native::playFile(path.c_str()));
    ASSERT_TRUE(native::pause());
    sleepMs(600);
    EXPECT_TRUE(VirtualCard::output().empty());
    EXPECT_FALSE(native::isStopPlaying(&t, 1));
    EXPECT_FALSE(native::pause());
    ASSERT_TRUE(waitStopPlaying(t));
    EXPECT_EQ(VirtualCard::output(), decodeReference(frames));
    std::remove(path.c_str());
}

TEST_F(DeviceFaultTest, OpenOrCloseStuckInTheSystemNeverHoldsTheCaller) {
    // An open that never answers in time: Stop, then the engine's deletion, return promptly; the
    // run ends by itself with an error once the open gives up.
    VirtualFaults neverOpens;
    neverOpens.openDelayMs = 4000;
    VirtualCard::setFaults(true, neverOpens);
    ASSERT_TRUE(native::recordBuffer());
    sleepMs(100);
    EXPECT_LT(timedStop(), 1500u);
    double t = -1;
    ASSERT_TRUE(waitStopRecording(t, 4000));
    EXPECT_EQ(takeError(), inText(DeviceResult::Failed));

    // A close that hangs in the sound system (a drop on a frozen server).
    VirtualFaults stuck;
    stuck.stuckMs = 3000;
    VirtualCard::setFaults(true, stuck);
    VirtualCard::setInput(speechLike(2.0));
    ASSERT_TRUE(native::recordBuffer());
    ASSERT_TRUE(recordFor(0.27));
    EXPECT_LT(timedStop(), 1500u);
    ASSERT_TRUE(waitStopRecording(t, 3000));
    EXPECT_EQ(takeError(), "");

    // Deleting and creating the engine while a run's thread is stuck in an open.
    VirtualCard::setFaults(true, neverOpens);
    ASSERT_TRUE(native::recordBuffer());
    sleepMs(50);
    uint64_t t0 = monotonicMs();
    EXPECT_TRUE(native::deleteEngine());
    EXPECT_LT(monotonicMs() - t0, 2000u);
    t0 = monotonicMs();
    EXPECT_TRUE(native::newEngine());
    EXPECT_LT(monotonicMs() - t0, 2000u);
    VirtualCard::setFaults(true, VirtualFaults{});
    ASSERT_TRUE(native::recordBuffer());  // a fresh engine starts at once
    ASSERT_TRUE(recordFor(0.09));
    native::stop();
    // The old engine is freed by its thread once the open returns (checked under ASan).
    ASSERT_TRUE(eventually([] { return VirtualCard::openStreams() == 0; }, 8000));
}

// A device call that hangs in the system (a driver slow to pause or resume) holds the run's own
// thread only: Stop and the engine's deletion keep their bounds, the run ends with its stop notice
// once the call returns, and a retired engine is freed by that thread (checked under ASan).
TEST_F(DeviceFaultTest, DeviceCallHangingInTheSystemNeverHoldsTheCaller) {
    VirtualFaults slow;
    slow.holdDelayMs = 2000;
    VirtualCard::setFaults(true, slow);
    VirtualCard::setInput(speechLike(6.0));
    ASSERT_TRUE(native::recordBuffer());
    ASSERT_TRUE(recordFor(0.18));
    ASSERT_TRUE(native::pause());  // the capture thread now hangs in the device's pause
    sleepMs(100);
    EXPECT_LT(timedStop(), 1500u);
    double t = 0;
    ASSERT_TRUE(waitStopRecording(t, 4000));
    EXPECT_GE(t, 0.18 - 1e-9);
    EXPECT_EQ(takeError(), "");

    ASSERT_TRUE(native::recordBuffer());
    sleepMs(100);  // hanging in the start
    uint64_t t0 = monotonicMs();
    EXPECT_TRUE(native::deleteEngine());
    EXPECT_LT(monotonicMs() - t0, 2000u);
    t0 = monotonicMs();
    EXPECT_TRUE(native::newEngine());
    EXPECT_LT(monotonicMs() - t0, 2000u);
    ASSERT_TRUE(eventually([] { return VirtualCard::openStreams() == 0; }, 8000));
}

TEST_F(DeviceFaultTest, ShortAndEmptyTransfersLoseNothingAndNeverSpin) {
    VirtualFaults small;
    small.shortTransfer = 7;
    VirtualCard::setFaults(true, small);
    const std::vector<int16_t> mic = speechLike(2.0, 9);
    VirtualCard::setInput(mic);
    ASSERT_TRUE(native::recordBuffer());
    std::vector<uint8_t> got;
    ASSERT_TRUE(collectBlocks(got, 8));
    native::stop();
    double t = 0;
    ASSERT_TRUE(waitStopRecording(t));
    EXPECT_EQ(got, encodeReference(mic, got.size() / 54));

    // A stream that answers every transfer with 0 at once is asked again at a bounded rate.
    VirtualFaults zero;
    zero.zeroReturn = true;
    VirtualCard::setFaults(true, zero);
    ASSERT_TRUE(native::recordBuffer());
    sleepMs(100);
    const size_t before = VirtualCard::transferCalls();
    sleepMs(300);
    const size_t calls = VirtualCard::transferCalls() - before;
    EXPECT_LT(calls, 100u);  // a spinning worker makes hundreds of thousands
    EXPECT_LT(timedStop(), 1500u);
    ASSERT_TRUE(waitStopRecording(t));
}

TEST_F(DeviceFaultTest, ShortLastBlockAndPauseWithoutHardwarePauseAreHeardWhole) {
    // One frame with the end of the stream: far below the device's start threshold, yet heard.
    const std::vector<uint8_t> frames = encodeReference(speechLike(3.0, 5), 30);
    ASSERT_TRUE(native::playBuffer());
    ASSERT_TRUE(eventually([] { return native::currentEngine()->isPlaying(); }));
    ASSERT_TRUE(native::setBuffer(frames.data(), 18, 18, true));
    double t = -1;
    ASSERT_TRUE(waitStopPlaying(t));
    EXPECT_NEAR(t, 0.3, 1e-9);
    EXPECT_EQ(VirtualCard::output(),
              decodeReference(std::vector<uint8_t>(frames.begin(), frames.begin() + 18)));

    // A device that cannot pause: the pause stops feeding it, and nothing queued is lost.
    VirtualFaults noPause;
    noPause.noPause = true;
    VirtualCard::setFaults(false, noPause);
    const std::string path = tempPath("no_pause.bvx");
    writeBytes(path, frames);
    ASSERT_TRUE(native::playFile(path.c_str()));
    ASSERT_TRUE(eventually([&] { return VirtualCard::output().size() > 3000; }));
    ASSERT_TRUE(native::pause());
    sleepMs(150);
    const size_t heard = VirtualCard::output().size();
    sleepMs(100);
    EXPECT_EQ(VirtualCard::output().size(), heard);  // played out, then silent
    EXPECT_FALSE(native::pause());
    ASSERT_TRUE(waitStopPlaying(t));
    EXPECT_EQ(VirtualCard::output(), decodeReference(frames));
    std::remove(path.c_str());
}

TEST_F(DeviceFaultTest, EndOfStreamPublishesEveryBlockTime) {
    // Three full blocks with the end on the last: 0.0 at the start, 0.3 after the third write,
    // then 0.6 between the two end waits and 0.9 at the end.
    // A slower clock keeps the times 150 ms apart, so a busy machine's poller sees each one.
    VirtualCard::setSpeed(2.0);
    const std::vector<uint8_t> frames = encodeReference(speechLike(0.9, 6), 10);
    ASSERT_TRUE(native::playBuffer());
    ASSERT_TRUE(eventually([] { return native::currentEngine()->isPlaying(); }));
    std::vector<double> seen;
    double t = -1;
    while (native::getTimePlaying(&t, 1)) seen.push_back(t);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(native::setBuffer(frames.data() + 180 * i, 180, 180, i == 2));
    const uint64_t until = monotonicMs() + 5000;
    bool stopped = false;
    while (!stopped && monotonicMs() < until) {
        if (native::getTimePlaying(&t, 1)) seen.push_back(t);
        stopped = native::isStopPlaying(&t, 1);
    }
    ASSERT_TRUE(stopped);
    EXPECT_NEAR(t, 0.9, 1e-9);
    ASSERT_EQ(seen.size(), 4u);
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_NEAR(seen[i], 0.3 * static_cast<double>(i), 1e-9);
}

// A device whose reset fails (on a pause) ends the run with the reset's text and its stop notice,
// keeping every block captured before; the engine then records again with a fresh device.
TEST_F(DeviceFaultTest, FailedResetOnAPauseEndsTheRunAndTheNextRecords) {
    VirtualFaults f;
    f.resetResult = DeviceResult::Failed;
    VirtualCard::setFaults(true, f);
    VirtualCard::setInput(speechLike(4.0, 5));
    ASSERT_TRUE(native::recordBuffer());
    ASSERT_TRUE(recordFor(0.18));
    ASSERT_TRUE(native::pause());
    double t = 0;
    ASSERT_TRUE(waitStopRecording(t));
    EXPECT_GE(t, 0.18 - 1e-9);
    EXPECT_EQ(takeError(), inText(DeviceResult::Failed));
    EXPECT_FALSE(native::currentEngine()->isRecording());
    VirtualCard::setFaults(true, VirtualFaults{});
    ASSERT_TRUE(native::recordBuffer());
    ASSERT_TRUE(recordFor(0.09));
    native::stop();
    ASSERT_TRUE(waitStopRecording(t));
    EXPECT_EQ(takeError(), "");
    EXPECT_EQ(VirtualCard::openStreams(), 0);
}

// A buffer handed back half filled while recording is dropped whole and queued again: the blocks
// that follow keep their order, the recording goes on without an error, and the time counts the
// full blocks only.
TEST_F(DeviceFaultTest, ShortCaptureBuffersAreDroppedAndTheRecordingGoesOn) {
    VirtualFaults f;
    f.shortBufferEvery = 3;  // buffers 3, 6, 9, ... come back with 360 of their 720 samples
    VirtualCard::setFaults(true, f);
    const std::vector<int16_t> mic = speechLike(6.0, 21);
    VirtualCard::setInput(mic);
    ASSERT_TRUE(native::recordBuffer());
    std::vector<uint8_t> got;
    ASSERT_TRUE(collectBlocks(got, 12));
    native::stop();
    double t = 0;
    ASSERT_TRUE(waitStopRecording(t));
    EXPECT_EQ(takeError(), "");
    // What the full buffers held, in order.
    std::vector<int16_t> kept;
    size_t at = 0;
    for (int buffer = 1; at + 720 <= mic.size(); ++buffer) {
        if (buffer % 3 == 0) {
            at += 360;
            continue;
        }
        kept.insert(kept.end(), mic.begin() + static_cast<long>(at),
                    mic.begin() + static_cast<long>(at + 720));
        at += 720;
    }
    const size_t blocks = got.size() / 54;
    // Full blocks only (a block captured as the stop came may not have been taken).
    EXPECT_NEAR(t / 0.09, std::round(t / 0.09), 1e-6);
    EXPECT_GE(t + 1e-9, 0.09 * static_cast<double>(blocks));
    EXPECT_EQ(got, encodeReference(kept, blocks));
}

}  // namespace
}  // namespace brimvox
