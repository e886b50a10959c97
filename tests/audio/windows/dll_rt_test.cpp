// brimvox.dll on a real-time sound server: Wine's PulseAudio driver against a PulseAudio server
// started by run_dll_rt.sh (speech looping into the microphone). The script freezes the server
// when the harness asks for it (a file `freeze` in BRIMVOX_TEST_DIR, removed once done; `thaw`
// likewise).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "jni_harness.h"
#include "test_signal.h"

namespace {

using harness::ByteArray;
using harness::DoubleArray;
using harness::JavaString;

std::string testDir() {
    const char* v = std::getenv("BRIMVOX_TEST_DIR");
    std::string dir = v && *v ? v : ".";
    if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
    return dir;
}

bool eventually(const std::function<bool()>& condition, DWORD timeoutMs) {
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > until) return false;
        Sleep(5);
    }
    return true;
}

// Asks the script to freeze or thaw the server and waits until it has.
bool server(const char* request) {
    const std::string path = testDir() + request;
    { std::ofstream(path) << request; }
    return eventually([&] { return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES; },
                      5000);
}

class Realtime : public ::testing::Test {
  protected:
    void SetUp() override {
        b = &harness::loadBrimvox(std::getenv("BRIMVOX_DLL"));
        ASSERT_TRUE(b->missing.empty());
        ASSERT_TRUE(b->NewJavaClass4800(e(), nullptr));
    }
    void TearDown() override {
        server("thaw");
        EXPECT_TRUE(b->DeleteJavaClass4800(e(), nullptr));
    }
    JNIEnv* e() { return env.env(); }
    bool timeCall(harness::Brimvox::WithDoubles f, double& t) {
        DoubleArray a(1, -1.0);
        const bool got = f(e(), nullptr, &a);
        t = a.elements[0];
        return got;
    }
    // Milliseconds a call takes.
    ULONGLONG timed(harness::Brimvox::NoArgs f) {
        const ULONGLONG t0 = GetTickCount64();
        f(e(), nullptr);
        return GetTickCount64() - t0;
    }
    double latestRecording() {
        double t = 0, latest = -1;
        while (timeCall(b->FunGetTimeRecording, t)) latest = t;
        return latest;
    }

    harness::Env env;
    const harness::Brimvox* b = nullptr;
};

TEST_F(Realtime, RecordsAndPlaysAtTheServersPace) {
    ASSERT_TRUE(b->RecordBuffer(e(), nullptr));
    double t = 0;
    ASSERT_TRUE(eventually([&] { return timeCall(b->FunGetTimeRecording, t) && t > 0; }, 5000));
    const ULONGLONG w1 = GetTickCount64();
    const double r1 = t;
    ByteArray block(54);
    int blocks = 0;
    while (GetTickCount64() - w1 < 2000) {
        while (b->GetBuffer(e(), nullptr, &block)) ++blocks;
        Sleep(20);
    }
    double r2 = latestRecording();
    const double wall = static_cast<double>(GetTickCount64() - w1) / 1000.0;
    std::printf("recorded %.2f s in %.2f s of wall clock, %d blocks taken, peak %d\n", r2 - r1,
                wall, blocks, b->FunGetMaxSample(e(), nullptr));
    EXPECT_NEAR(r2 - r1, wall, 0.3);
    EXPECT_GE(blocks, 18);
    EXPECT_LT(timed(b->Stop), 1500u);
    ASSERT_TRUE(eventually([&] { return timeCall(b->FunIsStopRecording, t); }, 3000));

    const std::string path = testDir() + "rt_play.bvx";
    const std::vector<uint8_t> frames = brimvox::encodeReference(brimvox::speechLike(1.8), 20);
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(frames.data()),
                  static_cast<std::streamsize>(frames.size()));
    }
    JavaString p(path);
    const ULONGLONG p0 = GetTickCount64();
    ASSERT_TRUE(b->PlayFile(e(), nullptr, &p));
    ASSERT_TRUE(eventually([&] { return timeCall(b->FunIsStopPlaying, t); }, 8000));
    const ULONGLONG took = GetTickCount64() - p0;
    std::printf("played 1.8 s of speech in %llu ms\n", took);
    EXPECT_NEAR(t, 1.8, 1e-9);
    EXPECT_GE(took, 1500u);  // real-time pacing
}

TEST_F(Realtime, FrozenServerKeepsEveryBound) {
    ASSERT_TRUE(b->RecordBuffer(e(), nullptr));
    double t = 0;
    ASSERT_TRUE(eventually([&] { return timeCall(b->FunGetTimeRecording, t) && t >= 0.27; }, 5000));
    ASSERT_TRUE(server("freeze"));
    Sleep(300);
    EXPECT_LT(timed(b->Stop), 1500u);
    EXPECT_LT(timed(b->DeleteJavaClass4800), 2000u);
    EXPECT_LT(timed(b->NewJavaClass4800), 2000u);
    ASSERT_TRUE(server("thaw"));
    ASSERT_TRUE(eventually([&] { return b->RecordBuffer(e(), nullptr) != JNI_FALSE; }, 5000));
    ASSERT_TRUE(eventually([&] { return timeCall(b->FunGetTimeRecording, t) && t > 0.1; }, 8000));
    EXPECT_LT(timed(b->Stop), 1500u);
    ASSERT_TRUE(eventually([&] { return timeCall(b->FunIsStopRecording, t); }, 5000));

    // The same under a playback, with a pause made while the server is frozen.
    const std::string path = testDir() + "rt_frozen.bvx";
    const std::vector<uint8_t> frames = brimvox::encodeReference(brimvox::speechLike(3.0), 33);
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(frames.data()),
                  static_cast<std::streamsize>(frames.size()));
    }
    JavaString p(path);
    ASSERT_TRUE(b->PlayFile(e(), nullptr, &p));
    ASSERT_TRUE(eventually([&] { return timeCall(b->FunGetTimePlaying, t) && t >= 0.3; }, 8000));
    ASSERT_TRUE(server("freeze"));
    EXPECT_LT(timed(b->Pause), 1000u);
    EXPECT_LT(timed(b->Stop), 1500u);
    ASSERT_TRUE(server("thaw"));
    ASSERT_TRUE(eventually([&] { return timeCall(b->FunIsStopPlaying, t); }, 8000));
}

}  // namespace
