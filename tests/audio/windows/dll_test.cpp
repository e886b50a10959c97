// brimvox.dll as a Java VM on Windows sees it: loaded with LoadLibrary, every native method found
// by its exact export name, driven through a JNIEnv of our own over Wine's waveform API.
// NoDevice.* runs with ALSA offering no sound card; Device.* with ALSA's `file` plugin as the
// default device (microphone: BRIMVOX_SPEECH; speaker: speaker.raw in BRIMVOX_TEST_DIR). The
// script run_dll_tests.sh sets up both and picks the suites.
#include <gtest/gtest.h>

#include <windows.h>
// mmsystem.h needs the types of windows.h
#include <mmsystem.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "jni_harness.h"
#include "read_file.h"
#include "test_signal.h"

namespace {

using harness::ByteArray;
using harness::DoubleArray;
using harness::JavaString;

std::string envOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

std::string scratch(const char* name) {
    std::string dir = envOr("BRIMVOX_TEST_DIR", ".");
    if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
    return dir + name;
}

using brimvox::tests::readBytes;
using brimvox::tests::writeBytes;

std::vector<int16_t> samplesOf(const std::vector<uint8_t>& raw) {
    std::vector<int16_t> s(raw.size() / 2);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<int16_t>(raw[2 * i] | (raw[2 * i + 1] << 8));
    return s;
}

std::vector<int16_t> speech() {
    return samplesOf(readBytes(envOr("BRIMVOX_SPEECH", "speech_8k.raw")));
}

bool eventually(const std::function<bool()>& condition, DWORD timeoutMs = 20000) {
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > until) return false;
        Sleep(5);
    }
    return true;
}

// The system's message for a Windows error code, as FormatMessageA gives it.
// The system's text for an error as the library hands it on: UTF-8 of the UTF-16 wording.
std::string systemText(DWORD code) {
    wchar_t wide[299] = {0};
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), wide, 299, nullptr);
    char text[3 * 299 + 1] = {0};
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), text, sizeof text,
                                          nullptr, nullptr);
    return std::string(text, bytes > 0 ? static_cast<size_t>(bytes) : 0);
}

// Segmental SNR (dB) of `decoded` against `original` over 240-sample segments with speech
// energy, the decoder's output taken `delay` samples later; each segment limited to -10..40 dB.
double segmentalSnr(const std::vector<int16_t>& original, size_t offset,
                    const std::vector<int16_t>& decoded, size_t delay) {
    double total = 0.0;
    int count = 0;
    for (size_t f = 0;
         offset + (f + 1) * 240 <= original.size() && (f + 1) * 240 + delay <= decoded.size();
         ++f) {
        double signal = 0.0, noise = 0.0;
        for (size_t n = 0; n < 240; ++n) {
            const double x = original[offset + f * 240 + n];
            const double y = decoded[f * 240 + n + delay];
            signal += x * x;
            noise += (x - y) * (x - y);
        }
        if (signal < 240 * 100.0 * 100.0) continue;
        total += std::clamp(10.0 * std::log10(signal / std::max(noise, 1e-9)), -10.0, 40.0);
        ++count;
    }
    return count ? total / count : -100.0;
}

// Where in the fed speech a recording begins: the device may drop some samples at its start.
// Finds the offset whose alignment with the decoded recording gives the best segmental SNR.
struct Alignment {
    size_t offset = 0;
    double snr = -100.0;
};
Alignment align(const std::vector<int16_t>& fed, const std::vector<int16_t>& decoded,
                size_t maxOffset) {
    Alignment best;
    // The decoder's output runs one 60-sample subframe behind its input.
    const std::vector<int16_t> head(decoded.begin(),
                                    decoded.begin() + std::min<size_t>(decoded.size(), 24000));
    for (size_t k = 0; k <= maxOffset; ++k) {
        const double snr = segmentalSnr(fed, k, head, 60);
        if (snr > best.snr) best = {k, snr};
    }
    best.snr = segmentalSnr(fed, best.offset, decoded, 60);
    return best;
}

class Dll : public ::testing::Test {
  protected:
    void SetUp() override {
        b = &harness::loadBrimvox(envOr("BRIMVOX_DLL", "brimvox.dll").c_str());
        ASSERT_TRUE(b->missing.empty()) << "not exported: " << b->missing.front();
        ASSERT_TRUE(b->NewJavaClass4800(env.env(), nullptr));
    }
    void TearDown() override {
        if (b && b->missing.empty()) {
            EXPECT_TRUE(b->DeleteJavaClass4800(env.env(), nullptr));
        }
        // Every element or character buffer the library asked for was released.
        EXPECT_EQ(env.outstanding(), 0);
    }

    JNIEnv* e() { return env.env(); }

    // FunGetError: the message, or "" when there is none.
    std::string takeError() {
        ByteArray text(257, 'x');
        if (!b->FunGetError(e(), nullptr, &text)) return "";
        const auto end = std::find(text.elements.begin(), text.elements.end(), 0);
        EXPECT_NE(end, text.elements.end()) << "message not NUL-terminated";
        return std::string(text.elements.begin(), end);
    }
    bool timeCall(harness::Brimvox::WithDoubles f, double& t) {
        DoubleArray a(1, -1.0);
        const bool got = f(e(), nullptr, &a);
        t = a.elements[0];
        return got;
    }
    bool stoppedRecording(double& t) { return timeCall(b->FunIsStopRecording, t); }
    bool stoppedPlaying(double& t) { return timeCall(b->FunIsStopPlaying, t); }
    bool timeRecording(double& t) { return timeCall(b->FunGetTimeRecording, t); }
    bool timePlaying(double& t) { return timeCall(b->FunGetTimePlaying, t); }

    harness::Env env;
    const harness::Brimvox* b = nullptr;
};

TEST(Exports, EveryNativeMethodIsFoundUnderItsExactName) {
    const harness::Brimvox& dll = harness::loadBrimvox(envOr("BRIMVOX_DLL", "brimvox.dll").c_str());
    std::string missing;
    for (const std::string& m : dll.missing) missing += m + " ";
    EXPECT_TRUE(dll.missing.empty()) << missing;
    auto* module = static_cast<HMODULE>(harness::brimvoxModule());
    ASSERT_NE(module, nullptr);
    harness::Env env;
    EXPECT_EQ(dll.GetVersion(env.env(), nullptr), 101);
#if defined(__i386__)
    // Only the decorated names: a VM that looks up the plain name first must not find another.
    EXPECT_EQ(GetProcAddress(module, "Java_NativeAudio_GetVersion"), nullptr);
    EXPECT_EQ(GetProcAddress(module, "Java_NativeAudio_GetVersion@8"), nullptr);
#else
    EXPECT_EQ(GetProcAddress(module, "_Java_NativeAudio_GetVersion@8"), nullptr);
#endif
}

// ---- no sound device -------------------------------------------------------------------------

using NoDevice = Dll;

TEST_F(NoDevice, RecordingReportsTheMissingDriverAndStops) {
    ASSERT_EQ(waveInGetNumDevs(), 0u) << "ALSA should offer no device to this suite";
    EXPECT_TRUE(b->RecordBuffer(e(), nullptr));
    double t = -1.0;
    ASSERT_TRUE(eventually([&] { return stoppedRecording(t); }));
    EXPECT_EQ(t, 0.0);
    EXPECT_EQ(takeError(), " Sound driver is not installed.");
    EXPECT_EQ(takeError(), "");  // delivered once
    EXPECT_FALSE(stoppedRecording(t));
    // The run is over: a new one may start.
    EXPECT_TRUE(b->RecordBuffer(e(), nullptr));
    ASSERT_TRUE(eventually([&] { return stoppedRecording(t); }));
    EXPECT_EQ(takeError(), " Sound driver is not installed.");
}

TEST_F(NoDevice, PlaybackReportsTheMissingDriverAndStops) {
    ASSERT_EQ(waveOutGetNumDevs(), 0u);
    EXPECT_TRUE(b->PlayBuffer(e(), nullptr));
    double t = -1.0;
    ASSERT_TRUE(eventually([&] { return stoppedPlaying(t); }));
    EXPECT_EQ(takeError(), " Sound driver is not installed.");

    // A file playback: the file opens, the device does not.
    const std::string path = scratch("nodevice.bvx");
    writeBytes(path, brimvox::encodeReference(brimvox::speechLike(0.5, 2), 5));
    JavaString p(path);
    EXPECT_TRUE(b->PlayFile(e(), nullptr, &p));
    ASSERT_TRUE(eventually([&] { return stoppedPlaying(t); }));
    EXPECT_EQ(takeError(), " Sound driver is not installed.");
}

TEST_F(NoDevice, RecordingToAnUncreatablePathGivesTheSystemTextAndThePath) {
    const std::string path = "Z:\\nonexistent-brimvox-dir\\sub\\speech.bvx";
    JavaString p(path);
    EXPECT_TRUE(b->RecordFile(e(), nullptr, &p));  // true: the failure comes through FunGetError
    double t = -1.0;
    ASSERT_TRUE(eventually([&] { return stoppedRecording(t); }));
    EXPECT_EQ(t, 0.0);
    const std::string text = takeError();
    EXPECT_EQ(text, systemText(ERROR_PATH_NOT_FOUND) + path);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(takeError(), "");
}

TEST_F(NoDevice, PlayingAMissingFileGivesTheSystemTextAndThePath) {
    const std::string path = scratch("no-such-file.bvx");
    DeleteFileA(path.c_str());
    JavaString p(path);
    EXPECT_TRUE(b->PlayFile(e(), nullptr, &p));
    double t = -1.0;
    ASSERT_TRUE(eventually([&] { return stoppedPlaying(t); }));
    EXPECT_EQ(takeError(), systemText(ERROR_FILE_NOT_FOUND) + path);
}

// A path outside the ANSI code page (a German name, an emoji outside the Basic Multilingual
// Plane) names that very file: read for a playback, created for a recording. Without a device
// both runs end with the missing driver, which proves the file itself was opened.
TEST_F(NoDevice, NonAsciiPathsNameTheirOwnFiles) {
    const std::string played = scratch("J\xc3\xbcrgen \xf0\x9f\x98\x80 message.bvx");
    const std::string recorded = scratch("Aufnahme f\xc3\xbcr J\xc3\xbcrgen \xe2\x82\xac.bvx");
    auto wide = [](const std::string& utf8) {
        std::wstring w(
            static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0)),
            L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &w[0], static_cast<int>(w.size()));
        w.pop_back();
        return w;
    };
    const std::vector<uint8_t> frames = brimvox::encodeReference(brimvox::speechLike(0.5, 2), 5);
    HANDLE f = CreateFileW(wide(played).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD put = 0;
    WriteFile(f, frames.data(), static_cast<DWORD>(frames.size()), &put, nullptr);
    CloseHandle(f);

    JavaString p(played);
    EXPECT_TRUE(b->PlayFile(e(), nullptr, &p));
    double t = -1.0;
    ASSERT_TRUE(eventually([&] { return stoppedPlaying(t); }));
    EXPECT_EQ(takeError(), " Sound driver is not installed.");
    EXPECT_TRUE(DeleteFileW(wide(played).c_str()));

    JavaString r(recorded);
    EXPECT_TRUE(b->RecordFile(e(), nullptr, &r));
    ASSERT_TRUE(eventually([&] { return stoppedRecording(t); }));
    EXPECT_EQ(takeError(), " Sound driver is not installed.");
    EXPECT_NE(GetFileAttributesW(wide(recorded).c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteFileW(wide(recorded).c_str());
}

TEST_F(NoDevice, IdleCallsAndShortArraysAreHarmless) {
    EXPECT_TRUE(b->Stop(e(), nullptr));
    EXPECT_TRUE(b->Stop(e(), nullptr));
    EXPECT_FALSE(b->Pause(e(), nullptr));
    ByteArray block(54, 9);
    EXPECT_FALSE(b->GetBuffer(e(), nullptr, &block));
    EXPECT_EQ(block.elements, std::vector<jbyte>(54, 9));
    EXPECT_FALSE(b->SetBuffer(e(), nullptr, &block, 54, JNI_FALSE));
    EXPECT_EQ(b->FunGetMaxSample(e(), nullptr), 0);
    EXPECT_EQ(takeError(), "");

    // A message cut to a short array is still NUL-terminated inside it (a write past the end
    // would end the process from the harness's release check).
    EXPECT_TRUE(b->RecordBuffer(e(), nullptr));
    double t = 0;
    ASSERT_TRUE(eventually([&] { return stoppedRecording(t); }));
    ByteArray shortText(8, 'x');
    EXPECT_TRUE(b->FunGetError(e(), nullptr, &shortText));
    EXPECT_EQ(shortText.elements[7], 0);
    // A 10-byte array is too small for a block and is refused, not overrun.
    ByteArray small(10, 1);
    EXPECT_FALSE(b->GetBuffer(e(), nullptr, &small));
    EXPECT_GT(env.calls(), 0);
}

// ---- ALSA's file plugin as the sound card ---------------------------------------------------

class Device : public Dll {
  protected:
    void SetUp() override {
        Dll::SetUp();
        ASSERT_EQ(waveInGetNumDevs(), 1u) << "Wine should report ALSA's one input device";
        ASSERT_EQ(waveOutGetNumDevs(), 1u) << "Wine should report ALSA's one output device";
        fed = speech();
        ASSERT_GT(fed.size(), 60000u) << "speech file missing";
    }
    std::vector<int16_t> speaker() { return samplesOf(readBytes(scratch("speaker.raw"))); }
    // What the microphone delivered during the last capture, as the file plugin recorded it.
    // ALSA's file plugin reads ahead of what it delivers when it is read through mmap, so this
    // is the speech file with short gaps, not the file itself.
    std::vector<int16_t> microphone() { return samplesOf(readBytes(scratch("captured.raw"))); }
    std::vector<int16_t> fed;
};

// What the speaker got, less the silence the device may add before and after the run.
std::vector<int16_t> trimSilence(const std::vector<int16_t>& s) {
    size_t a = 0, z = s.size();
    while (a < z && s[a] == 0) ++a;
    while (z > a && s[z - 1] == 0) --z;
    return std::vector<int16_t>(s.begin() + static_cast<std::ptrdiff_t>(a),
                                s.begin() + static_cast<std::ptrdiff_t>(z));
}

std::string describeDifference(const std::vector<int16_t>& got, const std::vector<int16_t>& want);

// The samples that are not zero. Wine's audio driver feeds the device silence whenever its
// buffer runs dry, which a device running faster than real time makes happen now and then;
// comparing what remains still catches any sample lost, added, changed or reordered.
std::vector<int16_t> withoutZeros(const std::vector<int16_t>& s) {
    std::vector<int16_t> out;
    std::copy_if(s.begin(), s.end(), std::back_inserter(out), [](int16_t v) { return v != 0; });
    return out;
}

// Checks that the speaker played exactly the decoder's samples, up to silence inserted between
// them, and that such silence stayed short.
void expectPlayed(const std::vector<int16_t>& speaker, const std::vector<int16_t>& decoded) {
    const std::vector<int16_t> got = withoutZeros(speaker);
    const std::vector<int16_t> want = withoutZeros(decoded);
    const std::vector<int16_t> trimmed = trimSilence(speaker);
    std::printf("speaker: %zu samples between the first and last sound, decoder: %zu\n",
                trimmed.size(), trimSilence(decoded).size());
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "the speaker's samples differ from the decoder's"
                             << describeDifference(got, want);
    EXPECT_EQ(trimmed.front(), trimSilence(decoded).front());
    EXPECT_LE(trimmed.size(), trimSilence(decoded).size() + trimSilence(decoded).size() / 10)
        << "more than 10% silence inserted";
}

// Where two signals part, for failure messages.
std::string describeDifference(const std::vector<int16_t>& got, const std::vector<int16_t>& want) {
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    size_t zeros = 0;
    while (i + zeros < got.size() && got[i + zeros] == 0) ++zeros;
    return ": first difference at sample " + std::to_string(i) + " of " +
           std::to_string(want.size()) + ", followed by " + std::to_string(zeros) +
           " zero samples in what was played";
}

TEST_F(Device, FileRecordingDecodesToTheSpeechFed) {
    const std::string path = scratch("recorded.bvx");
    JavaString p(path);
    ASSERT_TRUE(b->RecordFile(e(), nullptr, &p));
    double t = 0.0, last = 0.0;
    int peak = 0;
    ASSERT_TRUE(eventually(
        [&] {
            peak = std::max(peak, static_cast<int>(b->FunGetMaxSample(e(), nullptr)));
            if (timeRecording(t)) last = t;
            return last >= 6.3;
        },
        60000))
        << "recording time stuck at " << last;
    EXPECT_TRUE(b->Stop(e(), nullptr));
    double final = -1.0;
    ASSERT_TRUE(eventually([&] { return stoppedRecording(final); }));
    EXPECT_GE(final, 6.3);
    EXPECT_EQ(takeError(), "");
    EXPECT_GT(peak, 5000) << "the microphone's speech should show in the peak level";

    const std::vector<uint8_t> file = readBytes(path);
    ASSERT_EQ(file.size() % 54, 0u);
    const size_t blocks = file.size() / 54;
    std::printf("recorded %zu blocks (%.2f s), final time %.2f s, peak %d\n", blocks,
                static_cast<double>(blocks) * 0.09, final, peak);
    // Every counted block reached the file.
    EXPECT_NEAR(static_cast<double>(blocks) * 0.09, final, 0.0001);
    const std::vector<int16_t> mic = microphone();
    std::printf("the microphone delivered %zu samples\n", mic.size());
    const Alignment a = align(mic, brimvox::decodeReference(file), 4000);
    std::printf("recording starts %zu samples into the speech; segmental SNR %.2f dB\n", a.offset,
                a.snr);
    EXPECT_GT(a.snr, 3.0);
    // Nothing lost or altered on the way: the file is exactly what a fresh codec makes of the
    // speech from that point on, up to where the speech file ends.
    ASSERT_GT(mic.size(), a.offset);
    const size_t whole = std::min(blocks, (mic.size() - a.offset) / 720);
    const std::vector<int16_t> from(mic.begin() + static_cast<std::ptrdiff_t>(a.offset), mic.end());
    const std::vector<uint8_t> expect = brimvox::encodeReference(from, whole);
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), file.begin()))
        << "the recorded frames differ from the reference encoding of the fed speech";
}

TEST_F(Device, FilePlaybackDeliversTheDecodersSamples) {
    const std::vector<uint8_t> frames = brimvox::encodeReference(fed, 40);  // 3.6 s
    const std::string path = scratch("played.bvx");
    writeBytes(path, frames);
    JavaString p(path);
    ASSERT_TRUE(b->PlayFile(e(), nullptr, &p));
    double t = 0.0, last = 0.0, final = -1.0;
    int timeUpdates = 0;
    ASSERT_TRUE(eventually(
        [&] {
            if (timePlaying(t)) {
                EXPECT_GE(t, last) << "playing time went back";
                last = t;
                ++timeUpdates;
            }
            return stoppedPlaying(final);
        },
        60000));
    EXPECT_EQ(takeError(), "");
    EXPECT_GT(timeUpdates, 3);
    EXPECT_NEAR(final, 3.6, 0.31);
    expectPlayed(speaker(), brimvox::decodeReference(frames));
}

TEST_F(Device, BlockLoopRecordsAndPlaysBack) {
    // Record 30 blocks (2.7 s) through GetBuffer.
    ASSERT_TRUE(b->RecordBuffer(e(), nullptr));
    EXPECT_FALSE(b->RecordBuffer(e(), nullptr));  // one run at a time
    std::vector<uint8_t> recorded;
    ByteArray block(54);
    ASSERT_TRUE(eventually(
        [&] {
            if (b->GetBuffer(e(), nullptr, &block))
                recorded.insert(recorded.end(), block.elements.begin(), block.elements.end());
            return recorded.size() >= 30 * 54;
        },
        60000));
    EXPECT_TRUE(b->Stop(e(), nullptr));
    double t = 0.0;
    ASSERT_TRUE(eventually([&] { return stoppedRecording(t); }));
    EXPECT_GE(t, 2.7 - 1e-9);
    EXPECT_EQ(takeError(), "");
    const Alignment a = align(microphone(), brimvox::decodeReference(recorded), 4000);
    std::printf("block recording: offset %zu, segmental SNR %.2f dB\n", a.offset, a.snr);
    EXPECT_GT(a.snr, 3.0);

    // Play the same blocks back through SetBuffer; the last one marks the end of the stream.
    ASSERT_TRUE(b->PlayBuffer(e(), nullptr));
    JavaString other(scratch("refused.bvx"));
    EXPECT_FALSE(b->RecordFile(e(), nullptr, &other));  // recording and playing exclude each other
    bool sawBuffering = false;
    size_t offered = 0;
    ASSERT_TRUE(eventually(
        [&] {
            sawBuffering = sawBuffering || b->FunGetIsBuffering(e(), nullptr);
            if (offered == recorded.size()) return true;
            ByteArray data(180);
            std::copy(recorded.begin() + static_cast<std::ptrdiff_t>(offered),
                      recorded.begin() + static_cast<std::ptrdiff_t>(offered + 54),
                      data.elements.begin());
            const bool last = offered + 54 == recorded.size();
            if (b->SetBuffer(e(), nullptr, &data, 54, last ? JNI_TRUE : JNI_FALSE)) offered += 54;
            return false;
        },
        60000))
        << "offered " << offered << " of " << recorded.size() << " bytes";
    EXPECT_TRUE(sawBuffering);
    ASSERT_TRUE(eventually([&] { return stoppedPlaying(t); }, 60000));
    EXPECT_EQ(takeError(), "");
    expectPlayed(speaker(), brimvox::decodeReference(recorded));
}

TEST_F(Device, PauseHoldsTheClockAndStopEndsTheRun) {
    const std::string path = scratch("long.bvx");
    writeBytes(path, brimvox::encodeReference(fed, fed.size() / 720));
    JavaString p(path);
    ASSERT_TRUE(b->PlayFile(e(), nullptr, &p));
    double t = 0.0, last = 0.0;
    ASSERT_TRUE(eventually([&] {
        if (timePlaying(t)) last = t;
        return last >= 0.6;
    }));
    EXPECT_TRUE(b->Pause(e(), nullptr));
    Sleep(200);  // let a buffer in flight finish
    while (timePlaying(t)) last = t;
    const double held = last;
    Sleep(600);
    EXPECT_FALSE(timePlaying(t)) << "time moved from " << held << " to " << t << " while paused";
    EXPECT_FALSE(b->Pause(e(), nullptr));  // resumes
    ASSERT_TRUE(eventually([&] { return timePlaying(t) && t > held; }));
    EXPECT_TRUE(b->Stop(e(), nullptr));
    double final = -1.0;
    ASSERT_TRUE(eventually([&] { return stoppedPlaying(final); }));
    EXPECT_GE(final, held);
    EXPECT_FALSE(stoppedPlaying(final));  // once
    EXPECT_EQ(takeError(), "");

    // The same for a recording.
    ASSERT_TRUE(b->RecordBuffer(e(), nullptr));
    ASSERT_TRUE(eventually([&] { return timeRecording(t) && t >= 0.36; }));
    EXPECT_TRUE(b->Pause(e(), nullptr));
    Sleep(200);
    ByteArray block(54);
    while (timeRecording(t) || b->GetBuffer(e(), nullptr, &block)) {
    }
    Sleep(600);
    EXPECT_FALSE(timeRecording(t)) << "recording time moved to " << t << " while paused";
    EXPECT_FALSE(b->Pause(e(), nullptr));
    ASSERT_TRUE(eventually([&] { return timeRecording(t); }));
    EXPECT_TRUE(b->Stop(e(), nullptr));
    ASSERT_TRUE(eventually([&] { return stoppedRecording(final); }));
    EXPECT_GT(final, 0.36);
    EXPECT_EQ(takeError(), "");
}

}  // namespace
