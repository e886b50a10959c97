// The waveform-audio API over the virtual sound card.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sync.h"
#include "virtual_card.h"
#include "wave_api.h"

namespace brimvox {
namespace {

WAVEFORMATEX pcmFormat() {
    return WAVEFORMATEX{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
}

class WaveApi : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("BRIMVOX_AUDIO", "virtual", 1);
        VirtualCard::resetAll();
        VirtualCard::setSpeed(50.0);
    }
    void TearDown() override { VirtualCard::resetAll(); }

    // Waits until the header is done or a second passes.
    static bool waitDone(Event& e, const WAVEHDR& h) {
        const uint64_t until = monotonicMs() + 2000;
        while (!(__atomic_load_n(&h.dwFlags, __ATOMIC_ACQUIRE) & WHDR_DONE)) {
            if (monotonicMs() > until) return false;
            e.wait(20);
            e.reset();
        }
        return true;
    }
};

TEST_F(WaveApi, OutputPlaysBuffersInOrderAndSignalsDone) {
    ASSERT_EQ(waveOutGetNumDevs(), 1u);
    Event done(true);
    HWAVEOUT out = nullptr;
    const WAVEFORMATEX f = pcmFormat();
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(done.callbackHandle()),
                          0, CALLBACK_EVENT),
              MMSYSERR_NOERROR);
    std::vector<int16_t> a(800), b(330);
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<int16_t>(i);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<int16_t>(-1 - static_cast<int>(i));
    WAVEHDR ha{}, hb{};
    ha.lpData = reinterpret_cast<char*>(a.data());
    ha.dwBufferLength = static_cast<DWORD>(a.size() * 2);
    hb.lpData = reinterpret_cast<char*>(b.data());
    hb.dwBufferLength = static_cast<DWORD>(b.size() * 2);
    EXPECT_EQ(waveOutWrite(out, &ha, sizeof ha), WAVERR_UNPREPARED);
    ASSERT_EQ(waveOutPrepareHeader(out, &ha, sizeof ha), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutPrepareHeader(out, &hb, sizeof hb), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &ha, sizeof ha), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &hb, sizeof hb), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), WAVERR_STILLPLAYING);
    ASSERT_TRUE(waitDone(done, hb));
    EXPECT_TRUE(ha.dwFlags & WHDR_DONE);
    std::vector<int16_t> expect = a;
    expect.insert(expect.end(), b.begin(), b.end());
    EXPECT_EQ(VirtualCard::output(), expect);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(out, &ha, sizeof ha), MMSYSERR_INVALHANDLE);
}

TEST_F(WaveApi, PauseHoldsOutputAndResetReturnsEverything) {
    VirtualCard::setSpeed(4.0);
    Event done(true);
    HWAVEOUT out = nullptr;
    const WAVEFORMATEX f = pcmFormat();
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(done.callbackHandle()),
                          0, CALLBACK_EVENT),
              MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutPause(out), MMSYSERR_NOERROR);
    std::vector<int16_t> a(2400, 7);
    WAVEHDR h{};
    h.lpData = reinterpret_cast<char*>(a.data());
    h.dwBufferLength = 4800;
    h.dwFlags = WHDR_DONE;
    ASSERT_EQ(waveOutPrepareHeader(out, &h, sizeof h), MMSYSERR_NOERROR);
    // As on Windows, preparing a header clears WHDR_DONE: a caller that relies on it for a
    // header it has not written yet must set it after preparing.
    EXPECT_EQ(h.dwFlags, WHDR_PREPARED);
    ASSERT_EQ(waveOutWrite(out, &h, sizeof h), MMSYSERR_NOERROR);
    sleepMs(50);
    EXPECT_TRUE(VirtualCard::output().empty());
    EXPECT_TRUE(h.dwFlags & WHDR_INQUEUE);
    ASSERT_EQ(waveOutRestart(out), MMSYSERR_NOERROR);
    sleepMs(20);
    ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    EXPECT_TRUE(h.dwFlags & WHDR_DONE);
    EXPECT_FALSE(h.dwFlags & WHDR_INQUEUE);
    const size_t played = VirtualCard::output().size();
    EXPECT_GT(played, 0u);
    EXPECT_LT(played, 2400u);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

// A driver slow to pause or resume must not make the device miss a close that arrives meanwhile:
// the close waits for the device's worker, so a missed one would never return.
TEST_F(WaveApi, CloseDuringASlowPauseOrResumeReturns) {
    for (const bool capture : {false, true}) {
        SCOPED_TRACE(capture ? "input" : "output");
        VirtualFaults slow;
        slow.holdDelayMs = 300;
        VirtualCard::setFaults(capture, slow);
        const WAVEFORMATEX f = pcmFormat();
        HWAVEOUT out = nullptr;
        HWAVEIN in = nullptr;
        if (capture) {
            ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
            ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);  // the worker resumes the card
        } else {
            ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
            ASSERT_EQ(waveOutPause(out), MMSYSERR_NOERROR);  // the worker pauses the card
        }
        sleepMs(50);
        Event closed(true);
        struct Closing {
            HWAVEOUT out;
            HWAVEIN in;
            Event* closed;
        } job{out, in, &closed};
        ASSERT_TRUE(startThread(
            [](void* p) {
                auto* j = static_cast<Closing*>(p);
                if (j->in) {
                    waveInReset(j->in);
                    waveInClose(j->in);
                } else {
                    waveOutClose(j->out);
                }
                j->closed->set();
            },
            &job));
        if (!closed.wait(3000)) {
            // The closing thread is stuck holding the API: no later test could run.
            std::fprintf(stderr, "the close never returned\n");
            std::_Exit(1);
        }
    }
}

TEST_F(WaveApi, InputDeliversTheMicrophoneSignalInOrder) {
    std::vector<int16_t> mic(3000);
    for (size_t i = 0; i < mic.size(); ++i) mic[i] = static_cast<int16_t>(i * 3);
    VirtualCard::setInput(mic);
    Event filled(false);
    HWAVEIN in = nullptr;
    const WAVEFORMATEX f = pcmFormat();
    ASSERT_EQ(waveInGetNumDevs(), 1u);
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(filled.callbackHandle()),
                         0, CALLBACK_EVENT),
              MMSYSERR_NOERROR);
    std::vector<int16_t> buf[4];
    WAVEHDR h[4]{};
    for (int k = 0; k < 4; ++k) {
        buf[k].assign(720, 0);
        h[k].lpData = reinterpret_cast<char*>(buf[k].data());
        h[k].dwBufferLength = 1440;
        ASSERT_EQ(waveInPrepareHeader(in, &h[k], sizeof h[k]), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(in, &h[k], sizeof h[k]), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_TRUE(waitDone(filled, h[3]));
    std::vector<int16_t> got;
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(h[k].dwBytesRecorded, 1440u);
        got.insert(got.end(), buf[k].begin(), buf[k].end());
    }
    std::vector<int16_t> expect(mic.begin(), mic.end());
    expect.resize(2880, 0);  // silence after the end of the signal
    EXPECT_EQ(got, expect);
    EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
}

TEST_F(WaveApi, InjectedFaultsAndNoBackend) {
    VirtualFaults faults;
    faults.openResult = MMSYSERR_ALLOCATED;
    VirtualCard::setFaults(false, faults);
    HWAVEOUT out = nullptr;
    const WAVEFORMATEX f = pcmFormat();
    EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    EXPECT_EQ(out, nullptr);
    faults = VirtualFaults{};
    faults.noDevice = true;
    VirtualCard::setFaults(true, faults);
    EXPECT_EQ(waveInGetNumDevs(), 0u);
    WAVEFORMATEX bad = f;
    bad.nSamplesPerSec = 44100;
    VirtualCard::resetAll();
    EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &bad, 0, 0, CALLBACK_NULL), WAVERR_BADFORMAT);
    setenv("BRIMVOX_AUDIO", "none", 1);
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    EXPECT_EQ(waveInGetNumDevs(), 0u);
    EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
}

TEST(VirtualCardFiles, MicrophoneReadsWavOfAnyRateAndRawSamples) {
    const std::string dir = ::testing::TempDir();
    // 16 kHz stereo float WAV of a 500 Hz tone, left and right equal: 8 kHz mono after loading.
    const std::string wav = dir + "brimvox_mic16k.wav";
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(wav.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    std::vector<float> frames(2 * 16000);
    for (size_t i = 0; i < 16000; ++i)
        frames[2 * i] = frames[2 * i + 1] =
            0.5f * static_cast<float>(
                       std::sin(2.0 * 3.14159265358979 * 500.0 * static_cast<double>(i) / 16000.0));
    sf_writef_float(f, frames.data(), 16000);
    sf_close(f);
    std::vector<int16_t> samples;
    std::string message;
    ASSERT_TRUE(loadSpeechFile(wav, samples, message)) << message;
    ASSERT_NEAR(static_cast<double>(samples.size()), 8000.0, 4.0);
    // Still a 500 Hz tone at half scale: 16 samples per period at 8 kHz.
    for (size_t i = 2000; i < 2100; ++i)
        EXPECT_NEAR(
            samples[i],
            16384.0 * std::sin(2.0 * 3.14159265358979 * 500.0 * static_cast<double>(i) / 8000.0),
            400.0);

    const std::string raw = dir + "brimvox_mic.raw";
    FILE* r = std::fopen(raw.c_str(), "wb");
    ASSERT_NE(r, nullptr);
    const unsigned char bytes[6] = {0x01, 0x00, 0xFF, 0xFF, 0x00, 0x80};
    std::fwrite(bytes, 1, sizeof bytes, r);
    std::fclose(r);
    ASSERT_TRUE(loadSpeechFile(raw, samples, message));
    EXPECT_EQ(samples, (std::vector<int16_t>{1, -1, -32768}));
    EXPECT_FALSE(loadSpeechFile(dir + "brimvox_no_such_mic.wav", samples, message));
    EXPECT_FALSE(message.empty());
    std::remove(wav.c_str());
    std::remove(raw.c_str());
}

TEST_F(WaveApi, SpeakerWritesAWavFile) {
    const std::string path = ::testing::TempDir() + "brimvox_speaker.wav";
    VirtualCard::setOutputFile(path);
    HWAVEOUT out = nullptr;
    Event done(true);
    const WAVEFORMATEX f = pcmFormat();
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(done.callbackHandle()),
                          0, CALLBACK_EVENT),
              MMSYSERR_NOERROR);
    std::vector<int16_t> a(500);
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<int16_t>(i * 37 - 9000);
    WAVEHDR h{};
    h.lpData = reinterpret_cast<char*>(a.data());
    h.dwBufferLength = 1000;
    ASSERT_EQ(waveOutPrepareHeader(out, &h, sizeof h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &h, sizeof h), MMSYSERR_NOERROR);
    ASSERT_TRUE(waitDone(done, h));
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    SF_INFO info{};
    SNDFILE* in = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.channels, 1);
    std::vector<int16_t> got(600);
    got.resize(static_cast<size_t>(sf_readf_short(in, got.data(), 600)));
    sf_close(in);
    EXPECT_EQ(got, a);
    std::remove(path.c_str());
}

TEST_F(WaveApi, ErrorTextsAreFoundAndCut) {
    char text[257];
    EXPECT_EQ(waveOutGetErrorTextA(MMSYSERR_NOMEM, text, sizeof text), MMSYSERR_NOERROR);
    EXPECT_NE(std::strstr(text, "not enough memory"), nullptr);
    char small[8];
    EXPECT_EQ(waveInGetErrorTextA(MMSYSERR_INVALHANDLE, small, sizeof small), MMSYSERR_NOERROR);
    EXPECT_EQ(std::strlen(small), 7u);
    EXPECT_EQ(waveInGetErrorTextA(12345, text, sizeof text), MMSYSERR_BADERRNUM);
}

}  // namespace
}  // namespace brimvox
