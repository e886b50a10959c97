// Fixture for running the engine through the NativeAudio methods against the virtual card.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "audio_engine.h"
#include "native_audio.h"
#include "read_file.h"
#include "sound_device.h"
#include "sync.h"
#include "virtual_card.h"

namespace brimvox {

// The text the engine reports for a device result.
inline std::string deviceText(Direction direction, DeviceResult result) {
    char text[257];
    deviceErrorText(direction, result, text, sizeof text);
    return text;
}

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("BRIMVOX_AUDIO", "virtual", 1);
        VirtualCard::resetAll();
        VirtualCard::setSpeed(8.0);
        ASSERT_TRUE(native::newEngine());
    }
    void TearDown() override {
        native::deleteEngine();
        VirtualCard::resetAll();
    }

    static bool eventually(const std::function<bool()>& condition, uint32_t timeoutMs = 5000) {
        const uint64_t until = monotonicMs() + timeoutMs;
        while (!condition()) {
            if (monotonicMs() > until) return false;
            sleepMs(2);
        }
        return true;
    }
    static bool waitStopRecording(double& t, uint32_t timeoutMs = 5000) {
        return eventually([&] { return native::isStopRecording(&t, 1); }, timeoutMs);
    }
    static bool waitStopPlaying(double& t, uint32_t timeoutMs = 8000) {
        return eventually([&] { return native::isStopPlaying(&t, 1); }, timeoutMs);
    }
    // Waits until the recording has counted at least `seconds`.
    static bool recordFor(double seconds, double* reached = nullptr) {
        double latest = 0;
        const bool ok = eventually([&] {
            latestRecordingTime(latest);
            return latest >= seconds - 1e-9;
        });
        if (reached) *reached = latest;
        return ok;
    }
    // Appends the blocks GetBuffer delivers to got until it holds at least `blocks` of them.
    static bool collectBlocks(std::vector<uint8_t>& got, size_t blocks) {
        uint8_t block[54];
        return eventually([&] {
            while (native::getBuffer(block, sizeof block)) got.insert(got.end(), block, block + 54);
            return got.size() >= 54 * blocks;
        });
    }
    // Takes the pending recording time, if any, into latest.
    static void latestRecordingTime(double& latest) {
        double t = 0;
        while (native::getTimeRecording(&t, 1)) latest = t;
    }
    static std::string takeError() {
        char text[257];
        if (!native::getError(text, sizeof text)) return std::string();
        return text;
    }
    // Stops and measures how long Stop took, in ms.
    static uint64_t timedStop() {
        const uint64_t t0 = monotonicMs();
        native::stop();
        return monotonicMs() - t0;
    }
    static std::string tempPath(const std::string& name) {
        // Per process, so that two builds' suites can run side by side.
        return ::testing::TempDir() + "brimvox_engine_" + std::to_string(getpid()) + "_" + name;
    }
};

using tests::readBytes;
using tests::writeBytes;

}  // namespace brimvox
