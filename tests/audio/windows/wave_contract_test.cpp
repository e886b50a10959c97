// The Windows sound device against a stand-in for the waveform driver that checks each call
// against the API's header contract: flags 0 before the first prepare, only prepared headers
// queued, the prepared length given back on unprepare, no header queued or prepared at the close,
// no header or sample memory freed while the driver holds it.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sound_device.h"
#include "sync.h"
#include "wave_calls.h"

namespace brimvox {
namespace {

const HWAVEIN InHandle = reinterpret_cast<HWAVEIN>(static_cast<uintptr_t>(0x1710));
const HWAVEOUT OutHandle = reinterpret_cast<HWAVEOUT>(static_cast<uintptr_t>(0x2710));

// The driver's side of the headers, kept apart from the WAVEHDRs so that it can be read after the
// device has freed them.
struct HeaderState {
    bool prepared = false;
    bool queued = false;
    DWORD preparedLength = 0;
    void* data = nullptr;
};

struct FakeDriver {
    std::map<WAVEHDR*, HeaderState> headers;
    std::vector<WAVEHDR*> queue;  // with the driver, oldest first
    std::vector<std::string> misuse;
    std::set<void*> freed;
    HANDLE event = nullptr;
    bool open = false;
    int unprepareCalls = 0;
    // Behaviour
    MMRESULT transferFails = MMSYSERR_NOERROR;  // from the next add/write on
    MMRESULT resetResult = MMSYSERR_NOERROR;
    bool resetKeepsBuffers = false;

    void breach(const std::string& what) { misuse.push_back(what); }

    MMRESULT prepare(WAVEHDR* h, UINT size) {
        if (!open) breach("prepare on a closed device");
        if (size != sizeof(WAVEHDR)) breach("prepare with a wrong header size");
        auto found = headers.find(h);
        if (found == headers.end() && h->dwFlags != 0) breach("flags not 0 before first prepare");
        HeaderState& s = headers[h];
        if (s.prepared) breach("header prepared twice");
        s.prepared = true;
        s.preparedLength = h->dwBufferLength;
        s.data = h->lpData;
        h->dwFlags |= WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    MMRESULT unprepare(WAVEHDR* h) {
        ++unprepareCalls;
        if (!open) breach("unprepare on a closed device");
        HeaderState& s = headers[h];
        if (s.queued) {
            breach("unprepare of a queued header");
            return WAVERR_STILLPLAYING;
        }
        if (s.prepared && h->dwBufferLength != s.preparedLength)
            breach("unprepared with a length other than the prepared one");
        s.prepared = false;
        h->dwFlags &= ~WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    MMRESULT transfer(WAVEHDR* h) {
        if (!open) breach("buffer queued on a closed device");
        HeaderState& s = headers[h];
        if (!s.prepared) {
            breach("unprepared header queued");
            return WAVERR_UNPREPARED;
        }
        if (s.queued) {
            breach("header queued twice");
            return WAVERR_STILLPLAYING;
        }
        if (transferFails != MMSYSERR_NOERROR) return transferFails;
        s.queued = true;
        h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
        queue.push_back(h);
        return MMSYSERR_NOERROR;
    }

    // Hands the oldest queued header back, with `bytes` recorded into it (capture).
    WAVEHDR* complete(DWORD bytes, int16_t fill = 0) {
        if (queue.empty()) return nullptr;
        WAVEHDR* h = queue.front();
        queue.erase(queue.begin());
        for (DWORD k = 0; k < bytes / 2; ++k)
            reinterpret_cast<int16_t*>(h->lpData)[k] = static_cast<int16_t>(fill + k);
        h->dwBytesRecorded = bytes;
        headers[h].queued = false;
        // Published at once, as a driver's thread would.
        __atomic_store_n(&h->dwFlags, (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE, __ATOMIC_RELEASE);
        SetEvent(event);
        return h;
    }

    MMRESULT reset() {
        if (!open) breach("reset on a closed device");
        if (resetKeepsBuffers) return MMSYSERR_ERROR;
        while (!queue.empty()) complete(0);
        return resetResult;
    }

    MMRESULT close() {
        if (!open) breach("closed twice");
        if (!queue.empty()) return WAVERR_STILLPLAYING;  // the system refuses, the device stays
        for (const auto& h : headers)
            if (h.second.prepared) breach("closed with a header still prepared");
        open = false;
        return MMSYSERR_NOERROR;
    }

    void release(void* block) {
        for (auto& h : headers) {
            const bool held = h.second.queued || h.second.prepared;
            if (held && block == h.first) breach("a header the driver holds was freed");
            if (held && block == h.second.data) breach("samples the driver holds were freed");
        }
        freed.insert(block);
        systemWaveCalls().freeMemory(block);
    }

    size_t queued() const {
        size_t n = 0;
        for (const auto& h : headers) n += h.second.queued ? 1 : 0;
        return n;
    }
};

FakeDriver* driver = nullptr;

MMRESULT WINAPI openDevice(DWORD_PTR callback, DWORD flags) {
    if (flags != CALLBACK_EVENT) driver->breach("not opened with an event callback");
    driver->event = reinterpret_cast<HANDLE>(callback);
    driver->open = true;
    return MMSYSERR_NOERROR;
}

const WaveCalls fakeCalls{
    []() -> UINT WINAPI { return 1; },
    [](UINT_PTR, LPWAVEINCAPSA, UINT) -> MMRESULT WINAPI { return MMSYSERR_NOERROR; },
    [](LPHWAVEIN h, UINT, LPCWAVEFORMATEX, DWORD_PTR cb, DWORD_PTR, DWORD f) -> MMRESULT WINAPI {
        *h = InHandle;
        return openDevice(cb, f);
    },
    [](HWAVEIN, LPWAVEHDR h, UINT size) -> MMRESULT WINAPI { return driver->prepare(h, size); },
    [](HWAVEIN, LPWAVEHDR h, UINT) -> MMRESULT WINAPI { return driver->unprepare(h); },
    [](HWAVEIN, LPWAVEHDR h, UINT) -> MMRESULT WINAPI { return driver->transfer(h); },
    [](HWAVEIN) -> MMRESULT WINAPI { return MMSYSERR_NOERROR; },
    [](HWAVEIN) -> MMRESULT WINAPI { return driver->reset(); },
    [](HWAVEIN) -> MMRESULT WINAPI { return driver->close(); },
    []() -> UINT WINAPI { return 1; },
    [](UINT_PTR, LPWAVEOUTCAPSA, UINT) -> MMRESULT WINAPI { return MMSYSERR_NOERROR; },
    [](LPHWAVEOUT h, UINT, LPCWAVEFORMATEX, DWORD_PTR cb, DWORD_PTR, DWORD f) -> MMRESULT WINAPI {
        *h = OutHandle;
        return openDevice(cb, f);
    },
    [](HWAVEOUT, LPWAVEHDR h, UINT size) -> MMRESULT WINAPI { return driver->prepare(h, size); },
    [](HWAVEOUT, LPWAVEHDR h, UINT) -> MMRESULT WINAPI { return driver->unprepare(h); },
    [](HWAVEOUT, LPWAVEHDR h, UINT) -> MMRESULT WINAPI { return driver->transfer(h); },
    [](HWAVEOUT) -> MMRESULT WINAPI { return MMSYSERR_NOERROR; },
    [](HWAVEOUT) -> MMRESULT WINAPI { return MMSYSERR_NOERROR; },
    [](HWAVEOUT) -> MMRESULT WINAPI { return driver->reset(); },
    [](HWAVEOUT) -> MMRESULT WINAPI { return driver->close(); },
    [](void* block) { driver->release(block); },
};

class WaveContract : public ::testing::Test {
  protected:
    void SetUp() override {
        driver = &fake;
        waveCalls = fakeCalls;
    }
    void TearDown() override {
        EXPECT_EQ(fake.misuse, std::vector<std::string>{});
        waveCalls = systemWaveCalls();
        driver = nullptr;
    }

    std::unique_ptr<SoundDevice> openDevice(Direction d) {
        auto device = createSoundDevice(d);
        EXPECT_EQ(device->open(SoundFormat{}), DeviceResult::Ok);
        return device;
    }

    // Every header and every sample block the device allocated was freed.
    void expectAllFreed(size_t headers) {
        EXPECT_EQ(fake.headers.size(), headers);
        for (const auto& h : fake.headers) {
            EXPECT_EQ(fake.freed.count(h.first), 1u);
            EXPECT_EQ(fake.freed.count(h.second.data), 1u);
        }
    }

    FakeDriver fake;
    int16_t block[720] = {};
};

TEST_F(WaveContract, CaptureRunPausedAndResumedEndsWithEveryHeaderUnprepared) {
    auto device = openDevice(Direction::Capture);
    ASSERT_EQ(device->start(), DeviceResult::Ok);
    EXPECT_EQ(fake.queued(), 4u);
    size_t got = 0;
    fake.complete(1440, 100);
    ASSERT_EQ(device->read(block, 720, 0, got), DeviceResult::Ok);
    EXPECT_EQ(got, 720u);
    EXPECT_EQ(block[719], 100 + 719);
    EXPECT_EQ(fake.queued(), 4u);  // handed back to the driver at once
    // A pause: reset, then the same prepared headers queued again.
    ASSERT_EQ(device->reset(), DeviceResult::Ok);
    ASSERT_EQ(device->start(), DeviceResult::Ok);
    EXPECT_EQ(fake.queued(), 4u);
    fake.complete(1440);
    ASSERT_EQ(device->read(block, 720, 0, got), DeviceResult::Ok);
    EXPECT_EQ(got, 720u);
    EXPECT_EQ(device->close(), DeviceResult::Ok);
    EXPECT_EQ(fake.open, false);
    expectAllFreed(4);
}

TEST_F(WaveContract, PlaybackRestoresThePreparedLengthBeforeUnpreparing) {
    auto device = openDevice(Direction::Playback);
    bool queued = false;
    ASSERT_EQ(device->write(block, 240, 0, queued), DeviceResult::Ok);
    EXPECT_TRUE(queued);
    ASSERT_EQ(device->write(block, 600, 0, queued), DeviceResult::Ok);
    EXPECT_TRUE(queued);
    ASSERT_EQ(device->write(block, 240, 0, queued), DeviceResult::Ok);
    EXPECT_FALSE(queued);  // both buffers with the driver
    fake.complete(0);
    fake.complete(0);
    size_t inFlight = 9;
    ASSERT_EQ(device->waitPlayed(0, 0, inFlight), DeviceResult::Ok);
    EXPECT_EQ(inFlight, 0u);
    EXPECT_EQ(device->close(), DeviceResult::Ok);
    EXPECT_EQ(fake.unprepareCalls, 2);
    expectAllFreed(2);
}

TEST_F(WaveContract, StopWithBuffersInTheDeviceUnpreparesThemAfterTheReset) {
    {
        auto capture = openDevice(Direction::Capture);
        ASSERT_EQ(capture->start(), DeviceResult::Ok);
        EXPECT_EQ(capture->close(), DeviceResult::Ok);
        expectAllFreed(4);
    }
    fake = FakeDriver{};
    auto playback = openDevice(Direction::Playback);
    bool queued = false;
    ASSERT_EQ(playback->write(block, 720, 0, queued), DeviceResult::Ok);
    ASSERT_EQ(playback->write(block, 720, 0, queued), DeviceResult::Ok);
    EXPECT_EQ(fake.queued(), 2u);
    EXPECT_EQ(playback->close(), DeviceResult::Ok);
    expectAllFreed(2);
}

TEST_F(WaveContract, TransferFailuresAreReportedAndTheCloseStillKeepsTheContract) {
    {
        auto capture = openDevice(Direction::Capture);
        ASSERT_EQ(capture->start(), DeviceResult::Ok);
        fake.transferFails = MMSYSERR_NODRIVER;
        fake.complete(1440);
        size_t got = 0;
        EXPECT_EQ(capture->read(block, 720, 0, got), DeviceResult::NoDriver);
        EXPECT_EQ(got, 720u);  // the block that came in is still handed out
        EXPECT_EQ(capture->close(), DeviceResult::Ok);
        expectAllFreed(4);
    }
    fake = FakeDriver{};
    auto playback = openDevice(Direction::Playback);
    fake.transferFails = MMSYSERR_NODRIVER;
    bool queued = true;
    EXPECT_EQ(playback->write(block, 720, 0, queued), DeviceResult::NoDriver);
    EXPECT_FALSE(queued);
    EXPECT_EQ(playback->close(), DeviceResult::Ok);
    expectAllFreed(2);
}

TEST_F(WaveContract, FailedResetThatGivesTheBuffersBackIsReportedAndFreesThem) {
    auto device = openDevice(Direction::Capture);
    ASSERT_EQ(device->start(), DeviceResult::Ok);
    fake.resetResult = MMSYSERR_ERROR;
    EXPECT_EQ(device->close(), DeviceResult::Failed);
    EXPECT_EQ(fake.unprepareCalls, 4);
    expectAllFreed(4);
}

// A driver whose reset fails and that keeps the buffers may still write into them and signal the
// event: neither they nor the event are given up, and the close does not wait for them.
TEST_F(WaveContract, BuffersTheDriverKeepsAreNeverUnpreparedOrFreed) {
    for (Direction d : {Direction::Capture, Direction::Playback}) {
        SCOPED_TRACE(d == Direction::Capture ? "capture" : "playback");
        fake = FakeDriver{};
        auto device = openDevice(d);
        bool queued = false;
        if (d == Direction::Capture) {
            ASSERT_EQ(device->start(), DeviceResult::Ok);
        } else {
            ASSERT_EQ(device->write(block, 720, 0, queued), DeviceResult::Ok);
            ASSERT_EQ(device->write(block, 720, 0, queued), DeviceResult::Ok);
        }
        const size_t held = fake.queued();
        ASSERT_GT(held, 0u);
        fake.resetKeepsBuffers = true;
        const uint64_t start = monotonicMs();
        EXPECT_EQ(device->close(), DeviceResult::Failed);
        EXPECT_LT(monotonicMs() - start, 200u);
        EXPECT_EQ(fake.unprepareCalls, 0);
        EXPECT_TRUE(fake.freed.empty());
        device.reset();  // the destructor's close leaves them too
        EXPECT_TRUE(fake.freed.empty());
        // The driver goes on: fills every buffer it kept and signals the event.
        fake.resetKeepsBuffers = false;
        for (size_t k = 0; k < held; ++k) ASSERT_NE(fake.complete(1440, 7), nullptr);
        EXPECT_TRUE(SetEvent(fake.event));
        fake.open = false;
    }
}

// A write waits within its bound for the driver to hand a buffer back from its own thread, and
// gives up at the bound when none comes.
TEST_F(WaveContract, WriteWaitsWithinItsBoundForABufferTheDriverHandsBack) {
    auto device = openDevice(Direction::Playback);
    bool queued = false;
    ASSERT_EQ(device->write(block, 720, 0, queued), DeviceResult::Ok);
    ASSERT_EQ(device->write(block, 720, 0, queued), DeviceResult::Ok);
    uint64_t start = monotonicMs();
    ASSERT_EQ(device->write(block, 720, 120, queued), DeviceResult::Ok);
    const uint64_t spent = monotonicMs() - start;
    EXPECT_FALSE(queued);
    EXPECT_GE(spent, 110u);
    EXPECT_LT(spent, 1000u);
    std::thread played([this] {
        sleepMs(60);
        fake.complete(0);
    });
    start = monotonicMs();
    const DeviceResult r = device->write(block, 720, 5000, queued);
    const uint64_t waited = monotonicMs() - start;
    played.join();
    EXPECT_EQ(r, DeviceResult::Ok);
    EXPECT_TRUE(queued);
    EXPECT_GE(waited, 40u);
    EXPECT_LT(waited, 2000u);
    EXPECT_EQ(fake.queued(), 2u);
    EXPECT_EQ(device->close(), DeviceResult::Ok);
    expectAllFreed(2);
}

TEST_F(WaveContract, CaptureBufferHandedBackShortIsReportedShortAndQueuedAgain) {
    auto device = openDevice(Direction::Capture);
    ASSERT_EQ(device->start(), DeviceResult::Ok);
    size_t got = 0;
    fake.complete(720, 1);  // half of its 1440 bytes
    ASSERT_EQ(device->read(block, 720, 0, got), DeviceResult::Ok);
    EXPECT_EQ(got, 360u);
    EXPECT_EQ(fake.queued(), 4u);
    fake.complete(1440, 2000);
    ASSERT_EQ(device->read(block, 720, 0, got), DeviceResult::Ok);
    EXPECT_EQ(got, 720u);
    EXPECT_EQ(block[0], 2000);
    EXPECT_EQ(block[719], 2000 + 719);
    // Nothing handed back: nothing read, within the wait.
    const uint64_t start = monotonicMs();
    ASSERT_EQ(device->read(block, 720, 50, got), DeviceResult::Ok);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(monotonicMs() - start, 1000u);
    EXPECT_EQ(device->close(), DeviceResult::Ok);
    expectAllFreed(4);
}

}  // namespace
}  // namespace brimvox
