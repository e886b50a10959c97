// The ALSA backend: ALSA's default device (PipeWire and PulseAudio are reached through it), in
// 16-bit mono at 8000 Hz with ALSA's own rate and format conversion. The stream is non-blocking:
// every transfer waits on the stream's descriptors for a bounded time, so the device's worker
// always gets control back and sees a stop, however the device or its sound server behaves.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "pcm_backend.h"

namespace brimvox {

namespace {

constexpr unsigned LatencyUs = 200000;

class AlsaStream : public PcmBackend {
  public:
    AlsaStream(snd_pcm_t* p, bool input) : pcm(p), capture(input) {}
    ~AlsaStream() override { snd_pcm_close(pcm); }

    long write(const int16_t* samples, size_t count, int waitMs) override {
        const bool idle = snd_pcm_state(pcm) != SND_PCM_STATE_RUNNING;
        const long n = transfer(const_cast<int16_t*>(samples), count, waitMs);
        if (n > 0) {
            // What was written plays at 8000 samples/s after what is already queued; a stream
            // that is not running yet first has to fill the device's latency.
            const double now = seconds() + (idle ? LatencyUs / 1e6 : 0.0);
            playedBy = std::max(playedBy, now) + static_cast<double>(n) / 8000.0;
        }
        return n;
    }

    long read(int16_t* samples, size_t count, int waitMs) override {
        if (snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED) snd_pcm_start(pcm);
        return transfer(samples, count, waitMs);
    }

    size_t delay() override {
        snd_pcm_sframes_t d = 0;
        snd_pcm_state_t state = snd_pcm_state(pcm);
        if (state == SND_PCM_STATE_PREPARED && !paused && playedBy > seconds()) {
            // Below its start threshold the stream has not begun: start it, or what is queued
            // (a short last block, the tail after an underrun) would never be heard.
            snd_pcm_start(pcm);
            state = snd_pcm_state(pcm);
        }
        d = 0;
        if (state == SND_PCM_STATE_RUNNING || state == SND_PCM_STATE_DRAINING) {
            if (snd_pcm_delay(pcm, &d) != 0 || d < 0) d = 0;
        }
        // A sound server's plugin counts what it has handed to the server as played and may even
        // report an underrun while the server still plays it: nothing written can have been
        // heard sooner than the clock allows.
        const double ahead = (playedBy - seconds()) * 8000.0;
        if (!paused && ahead > static_cast<double>(d)) d = static_cast<snd_pcm_sframes_t>(ahead);
        return static_cast<size_t>(d);
    }

    void drop() override {
        snd_pcm_drop(pcm);
        snd_pcm_prepare(pcm);
        paused = false;
        playedBy = 0.0;
    }

    bool hold(bool on) override {
        if (capture) {
            // Input stops: what was captured and not read is thrown away; a read restarts it.
            if (on) drop();
            return true;
        }
        if (on == paused) return true;
        if (on && snd_pcm_state(pcm) != SND_PCM_STATE_RUNNING) return true;
        if (snd_pcm_pause(pcm, on ? 1 : 0) == 0) {
            // The time held does not count as playing.
            if (on) {
                pausedAt = seconds();
            } else if (playedBy > pausedAt) {
                playedBy += seconds() - pausedAt;
            }
            paused = on;
            return true;
        }
        // No hardware pause: the caller stops feeding and what is queued plays out.
        return !on;
    }

    bool resume() override {
        const int r = snd_pcm_resume(pcm);
        if (r == -EAGAIN) return false;
        if (r < 0) return snd_pcm_prepare(pcm) == 0;
        return true;
    }

  private:
    long transfer(int16_t* samples, size_t count, int waitMs) {
        bool waited = false;
        for (int attempt = 0; attempt < 4; ++attempt) {
            const snd_pcm_sframes_t n =
                capture ? snd_pcm_readi(pcm, samples, count) : snd_pcm_writei(pcm, samples, count);
            if (n > 0) return static_cast<long>(n);
            if (n == 0 || n == -EAGAIN) {
                if (waited) return 0;
                const int r = snd_pcm_wait(pcm, waitMs);
                waited = true;
                if (r < 0 && r != -EPIPE && r != -ESTRPIPE) return r;
                continue;
            }
            if (n == -EPIPE) {
                // Under- or overrun: make the stream ready and go on.
                if (snd_pcm_prepare(pcm) < 0) return -EIO;
                if (capture) snd_pcm_start(pcm);
                continue;
            }
            return static_cast<long>(n);  // -ESTRPIPE (suspended), -ENODEV (gone), ...
        }
        return 0;
    }

    static double seconds() {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    snd_pcm_t* pcm;
    bool capture;
    double playedBy = 0.0;  // output: the earliest time all that was written can have played
    double pausedAt = 0.0;
    bool paused = false;
};

}  // namespace

std::unique_ptr<PcmBackend> openAlsaStream(bool capture, int& error) {
    snd_pcm_t* pcm = nullptr;
    const snd_pcm_stream_t stream = capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
    error = snd_pcm_open(&pcm, "default", stream, SND_PCM_NONBLOCK);
    if (error < 0) return nullptr;
    error = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, 8000,
                               1, LatencyUs);
    if (error < 0) {
        snd_pcm_close(pcm);
        return nullptr;
    }
    error = 0;
    return std::make_unique<AlsaStream>(pcm, capture);
}

int probeAlsaDevice(bool capture) {
    snd_pcm_t* pcm = nullptr;
    const snd_pcm_stream_t stream = capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
    const int r = snd_pcm_open(&pcm, "default", stream, SND_PCM_NONBLOCK);
    if (r < 0) return r;
    snd_pcm_close(pcm);
    return 0;
}

bool deviceExistsAfter(int error) {
    return error == 0 || error == -EBUSY || error == -EAGAIN || error == -EACCES || error == -EPERM;
}

}  // namespace brimvox
