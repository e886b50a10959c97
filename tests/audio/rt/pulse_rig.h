// The real-time rig: a PulseAudio server of the test's own (its own directory and socket, a null
// sink `spk` as the speaker and a null sink `mic` whose monitor is the microphone), ALSA's default
// device going through it, and the programs that feed the microphone and listen to the speaker.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace brimvox {
namespace rig {

class PulseServer {
  public:
    // Starts the server and points this process (ALSA's default device, the tools started by
    // spawn) at it. False with the reason if it cannot run here.
    bool start(std::string& why);
    // SIGSTOP / SIGCONT: every client's reads and writes stall, then go on.
    void freeze();
    void thaw();
    // Kills the server (devices vanish under running streams) and, for restart, starts it again
    // on the same socket.
    void kill();
    bool restart(std::string& why);
    bool running() const { return pid > 0; }
    const std::string& directory() const { return dir; }
    ~PulseServer();

  private:
    bool launch(std::string& why);
    std::string dir;
    pid_t pid = -1;
    bool frozen = false;
};

// The one server of this test process, started on first use; null (with the reason) if it
// cannot start here.
PulseServer* server(std::string& why);

// Starts a program (found on PATH) with this process's environment; -1 if it cannot start.
pid_t spawn(const std::vector<std::string>& argv, const std::string& stdoutPath = "");
// Waits for the process to end, at most timeoutMs; its exit status, or -1 (then it is killed).
int reap(pid_t pid, uint32_t timeoutMs);

// The speech the tests play: the first `seconds` of the project's sample speech, 8 kHz mono.
std::vector<int16_t> speech(double seconds);
bool writeWav(const std::string& path, const std::vector<int16_t>& samples);
std::vector<int16_t> readWav(const std::string& path);

// Where `fed` starts in `decoded` (the decoder's output of a recording that began before the
// speech did): the number of samples captured before the speech, and the segmental SNR there.
struct Alignment {
    size_t lead = 0;
    double snr = -100.0;
};
Alignment alignRecording(const std::vector<int16_t>& fed, const std::vector<int16_t>& decoded);

}  // namespace rig
}  // namespace brimvox
