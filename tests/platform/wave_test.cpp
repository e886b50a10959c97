// The waveform-audio API over the virtual sound card.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
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
    ASSERT_EQ(waveOutPrepareHeader(out, &h, sizeof h), MMSYSERR_NOERROR);
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
