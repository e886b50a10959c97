#include "pulse_rig.h"

#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "sync.h"

extern char** environ;

namespace brimvox {
namespace rig {

namespace {

bool socketAnswers(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

bool onPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

pid_t spawn(const std::vector<std::string>& argv, const std::string& stdoutPath) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!stdoutPath.empty())
        posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int r = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return r == 0 ? pid : -1;
}

int reap(pid_t pid, uint32_t timeoutMs) {
    const uint64_t until = monotonicMs() + timeoutMs;
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 || monotonicMs() > until) break;
        sleepMs(10);
    }
    ::kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

bool PulseServer::start(std::string& why) {
    if (!onPath("pulseaudio")) {
        why =
            "pulseaudio is not installed (Debian packages pulseaudio, pulseaudio-utils, "
            "libasound2-plugins)";
        return false;
    }
    char pattern[] = "/tmp/brimvox-rig-XXXXXX";
    if (!mkdtemp(pattern)) {
        why = "cannot make a directory for the sound server";
        return false;
    }
    dir = pattern;
    {
        std::ofstream conf(dir + "/pa.conf");
        // No rewinds: a sink that rewinds to mix a new stream in sooner shows its monitor the
        // first render (silence) of what it rewound, and the start of every stream is lost there.
        conf << "load-module module-null-sink sink_name=spk rate=8000 channels=1 norewinds=1\n"
             << "load-module module-null-sink sink_name=mic rate=8000 channels=1 norewinds=1\n"
             << "set-default-sink spk\n"
             << "set-default-source mic.monitor\n"
             << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << dir
             << "/native\n";
        // Clients never start a server of their own (after a kill, for instance).
        std::ofstream client(dir + "/client.conf");
        client << "autospawn = no\n";
        // ALSA's default device is the server, whatever the machine's own configuration says.
        std::ofstream alsa(dir + "/.asoundrc");
        alsa << "pcm.!default { type pulse }\nctl.!default { type pulse }\n";
    }
    // Before this process's first ALSA call, so ALSA reads the configuration above.
    setenv("HOME", dir.c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + dir + "/native").c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", (dir + "/client.conf").c_str(), 1);
    setenv("PULSE_RUNTIME_PATH", (dir + "/run").c_str(), 1);
    setenv("BRIMVOX_AUDIO", "alsa", 1);
    return launch(why);
}

bool PulseServer::launch(std::string& why) {
    unlink((dir + "/native").c_str());
    pid = spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "-F",
                 dir + "/pa.conf", "--use-pid-file=no", "--log-target=file:" + dir + "/log.txt"});
    if (pid < 0) {
        why = "cannot start pulseaudio";
        return false;
    }
    frozen = false;
    const uint64_t until = monotonicMs() + 10000;
    while (!socketAnswers(dir + "/native")) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid || monotonicMs() > until) {
            why = "pulseaudio did not start; its log is " + dir + "/log.txt";
            if (monotonicMs() > until) reap(pid, 0);
            pid = -1;
            return false;
        }
        sleepMs(20);
    }
    return true;
}

void PulseServer::freeze() {
    if (pid > 0 && !frozen) ::kill(pid, SIGSTOP);
    frozen = pid > 0;
}

void PulseServer::thaw() {
    if (pid > 0 && frozen) ::kill(pid, SIGCONT);
    frozen = false;
}

void PulseServer::kill() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    frozen = false;
}

bool PulseServer::restart(std::string& why) {
    kill();
    return launch(why);
}

PulseServer::~PulseServer() {
    if (pid > 0) {
        thaw();
        ::kill(pid, SIGTERM);
        reap(pid, 3000);
    }
    if (!dir.empty() && !std::getenv("BRIMVOX_RT_KEEP")) {
        const std::string command = "rm -rf '" + dir + "'";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "cannot remove %s\n", dir.c_str());
    }
}

PulseServer* server(std::string& why) {
    static std::unique_ptr<PulseServer> instance;
    static bool tried = false;
    static std::string reason;
    if (!tried) {
        tried = true;
        auto s = std::make_unique<PulseServer>();
        if (s->start(reason)) instance = std::move(s);
    }
    why = reason;
    return instance.get();
}

std::vector<int16_t> speech(double seconds) {
    std::ifstream in(BRIMVOX_SPEECH_RAW, std::ios::binary);
    std::vector<int16_t> out;
    const size_t n = static_cast<size_t>(seconds * 8000.0);
    unsigned char pair[2];
    while (out.size() < n && in.read(reinterpret_cast<char*>(pair), 2))
        out.push_back(static_cast<int16_t>(pair[0] | (pair[1] << 8)));
    return out;
}

bool writeWav(const std::string& path, const std::vector<int16_t>& samples) {
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    sf_write_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
    return true;
}

std::vector<int16_t> readWav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<int16_t> samples(static_cast<size_t>(info.frames * info.channels));
    samples.resize(static_cast<size_t>(
        sf_read_short(f, samples.data(), static_cast<sf_count_t>(samples.size()))));
    sf_close(f);
    return samples;
}

namespace {

// Segmental SNR (dB) of decoded against fed placed `lead` samples into the recording, over
// 240-sample segments with speech energy; the decoder's output runs 60 samples behind.
double segmentalSnr(const std::vector<int16_t>& fed, size_t lead,
                    const std::vector<int16_t>& decoded) {
    double total = 0.0;
    int count = 0;
    for (size_t f = 0; (f + 1) * 240 <= fed.size() && lead + (f + 1) * 240 + 60 <= decoded.size();
         ++f) {
        double signal = 0.0, noise = 0.0;
        for (size_t n = 0; n < 240; ++n) {
            const double x = fed[f * 240 + n];
            const double y = decoded[lead + f * 240 + n + 60];
            signal += x * x;
            noise += (x - y) * (x - y);
        }
        if (signal < 240 * 100.0 * 100.0) continue;
        total += std::clamp(10.0 * std::log10(signal / std::max(noise, 1e-9)), -10.0, 40.0);
        ++count;
    }
    return count ? total / count : -100.0;
}

size_t firstLoud(const std::vector<int16_t>& x, size_t from = 0) {
    for (size_t i = from; i < x.size(); ++i)
        if (std::abs(static_cast<int>(x[i])) > 1000) return i;
    return x.size();
}

}  // namespace

Alignment alignRecording(const std::vector<int16_t>& fed, const std::vector<int16_t>& decoded) {
    Alignment best;
    const size_t d = firstLoud(decoded);
    const size_t f = firstLoud(fed);
    if (d >= decoded.size() || f >= fed.size()) return best;
    const long rough = static_cast<long>(d) - static_cast<long>(f) - 60;
    for (long k = std::max(0L, rough - 400); k <= rough + 400; ++k) {
        const double snr = segmentalSnr(fed, static_cast<size_t>(k), decoded);
        if (snr > best.snr) best = {static_cast<size_t>(k), snr};
    }
    return best;
}

}  // namespace rig
}  // namespace brimvox
