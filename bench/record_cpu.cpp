// CPU cost of a real-time recording to a compressed file: the virtual sound card runs at speed 1,
// its microphone plays a speech file (or a synthetic signal), and the process's CPU time over
// the recording is compared with the wall time.
// usage: record_cpu [SECONDS] [MICROPHONE_WAV]
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "native_audio.h"
#include "sync.h"
#include "virtual_card.h"

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace brimvox;
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    setenv("BRIMVOX_AUDIO", "virtual", 1);
    VirtualCard::setSpeed(1.0);
    if (argc > 2) {
        VirtualCard::setInputFile(argv[2]);
    } else {
        std::vector<int16_t> tone(static_cast<size_t>(seconds * 8000) + 8000);
        for (size_t i = 0; i < tone.size(); ++i)
            tone[i] = static_cast<int16_t>(8000.0 * std::sin(0.05 * static_cast<double>(i)) *
                                           std::sin(0.0007 * static_cast<double>(i)));
        VirtualCard::setInput(tone);
    }
    const std::string path = "/tmp/brimvox_record_cpu.bvx";
    if (!native::newEngine()) return 1;
    const double wall0 = static_cast<double>(monotonicMs()) * 1e-3;
    const double cpu0 = cpuSeconds();
    if (!native::recordFile(path.c_str())) return 1;
    double t = 0;
    while (!(native::getTimeRecording(&t, 1) && t >= seconds - 1e-9)) sleepMs(20);
    native::stop();
    const double cpu = cpuSeconds() - cpu0;
    const double wall = static_cast<double>(monotonicMs()) * 1e-3 - wall0;
    char text[257];
    const bool failed = native::getError(text, sizeof text);
    native::deleteEngine();
    std::remove(path.c_str());
    if (failed) {
        std::fprintf(stderr, "record_cpu: %s\n", text);
        return 1;
    }
    std::printf("recorded %.2f s in %.2f s wall, CPU %.3f s = %.2f%% of one core\n", t, wall, cpu,
                100.0 * cpu / wall);
    return 0;
}
