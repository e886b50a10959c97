// The ALSA backend: ALSA's default device (PipeWire and PulseAudio are reached through it), in
// 16-bit mono at 8000 Hz with ALSA's own rate and format conversion.
#include <alsa/asoundlib.h>

#include <cerrno>

#include "pcm_backend.h"

namespace brimvox {

namespace {

constexpr unsigned LatencyUs = 200000;

class AlsaStream : public PcmBackend {
  public:
    explicit AlsaStream(snd_pcm_t* p) : pcm(p) {}
    ~AlsaStream() override {
        snd_pcm_drop(pcm);
        snd_pcm_close(pcm);
    }

    bool write(const int16_t* samples, size_t count) override {
        while (count > 0) {
            snd_pcm_sframes_t n = snd_pcm_writei(pcm, samples, count);
            if (n == -EAGAIN) continue;
            if (n < 0) {
                if (snd_pcm_recover(pcm, static_cast<int>(n), 1) < 0) return false;
                continue;
            }
            samples += n;
            count -= static_cast<size_t>(n);
        }
        return true;
    }

    bool read(int16_t* samples, size_t count) override {
        if (snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED) snd_pcm_start(pcm);
        while (count > 0) {
            snd_pcm_sframes_t n = snd_pcm_readi(pcm, samples, count);
            if (n == -EAGAIN) continue;
            if (n < 0) {
                if (snd_pcm_recover(pcm, static_cast<int>(n), 1) < 0) return false;
                continue;
            }
            samples += n;
            count -= static_cast<size_t>(n);
        }
        return true;
    }

    size_t delay() override {
        snd_pcm_sframes_t d = 0;
        if (snd_pcm_state(pcm) != SND_PCM_STATE_RUNNING) {
            // Not running: a stream that never started or ran dry has nothing left to be heard,
            // unless it waits for its start threshold, which a drain completes.
            if (snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED && snd_pcm_delay(pcm, &d) == 0 &&
                d > 0)
                snd_pcm_start(pcm);
            return 0;
        }
        if (snd_pcm_delay(pcm, &d) != 0 || d < 0) return 0;
        return static_cast<size_t>(d);
    }

    void drop() override {
        snd_pcm_drop(pcm);
        snd_pcm_prepare(pcm);
        paused = false;
    }

    void hold(bool on) override {
        if (on == paused) return;
        const snd_pcm_state_t state = snd_pcm_state(pcm);
        if (on && state != SND_PCM_STATE_RUNNING) return;
        if (snd_pcm_pause(pcm, on ? 1 : 0) == 0) {
            paused = on;
        } else if (on) {
            // No hardware pause: throw the queued samples away so the stream stops at once.
            snd_pcm_drop(pcm);
            snd_pcm_prepare(pcm);
        }
    }

  private:
    snd_pcm_t* pcm;
    bool paused = false;
};

snd_pcm_t* openDefault(bool capture) {
    snd_pcm_t* pcm = nullptr;
    const snd_pcm_stream_t stream = capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
    if (snd_pcm_open(&pcm, "default", stream, 0) < 0) return nullptr;
    if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, 8000, 1,
                           LatencyUs) < 0) {
        snd_pcm_close(pcm);
        return nullptr;
    }
    return pcm;
}

}  // namespace

std::unique_ptr<PcmBackend> openAlsaStream(bool capture) {
    snd_pcm_t* pcm = openDefault(capture);
    if (!pcm) return nullptr;
    return std::make_unique<AlsaStream>(pcm);
}

bool alsaDeviceAvailable(bool capture) {
    snd_pcm_t* pcm = nullptr;
    const snd_pcm_stream_t stream = capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
    if (snd_pcm_open(&pcm, "default", stream, SND_PCM_NONBLOCK) < 0) return false;
    snd_pcm_close(pcm);
    return true;
}

}  // namespace brimvox
