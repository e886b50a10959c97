// brimvox-codec: command-line converter for compressed speech files (bare sequences of
// 18-byte frames, 4800 bit/s) and 16-bit PCM at 8000 Hz.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "celp_codec.h"
#include "pcm_io.h"

namespace {

using namespace brimvox;
using namespace brimvox::cli;

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;  // I/O or format error
constexpr int ExitUsage = 2;

const char* const MainUsage =
    "usage: brimvox-codec COMMAND [ARGS]\n"
    "\n"
    "Converts compressed speech (18-byte frames of 30 ms, 4800 bit/s) and 16-bit PCM at 8000 Hz.\n"
    "\n"
    "commands:\n"
    "  decode IN OUT   decode compressed frames to PCM (WAV if OUT ends in .wav, else raw)\n"
    "  info IN         print the frame count, duration and bad frames of a compressed file\n"
    "\n"
    "'-' stands for stdin or stdout. 'brimvox-codec COMMAND --help' describes a command.\n"
    "Exit status: 0 success, 1 I/O or format error, 2 usage error.\n";

const char* const DecodeUsage =
    "usage: brimvox-codec decode IN OUT\n"
    "\n"
    "Decodes the compressed frames of IN into 16-bit PCM at 8000 Hz, mono. OUT is a WAV file\n"
    "when its name ends in .wav, raw signed 16-bit little-endian samples otherwise; '-' reads\n"
    "stdin or writes stdout (raw). Trailing bytes that do not fill a whole 18-byte frame are\n"
    "ignored. Nothing is written when IN cannot be read.\n";

const char* const InfoUsage =
    "usage: brimvox-codec info IN\n"
    "\n"
    "Prints the number of frames of IN, its duration, its bit rate and the number of frames the\n"
    "decoder treats as bad (invalid gain or pitch lag codes); '-' reads stdin.\n";

int usageError(const char* message, const char* usage) {
    std::fprintf(stderr, "brimvox-codec: %s\n%s", message, usage);
    return ExitUsage;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "brimvox-codec: %s\n", message.c_str());
    return ExitFailure;
}

bool wantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

// Positional arguments of a command; anything else that starts with '-' is rejected.
bool positional(const std::vector<std::string>& args, size_t count, std::vector<std::string>& out,
                std::string& error) {
    for (const std::string& a : args) {
        if (a.size() > 1 && a[0] == '-') {
            error = "unknown option '" + a + "'";
            return false;
        }
        out.push_back(a);
    }
    if (out.size() != count) {
        error = out.size() < count ? "missing argument" : "too many arguments";
        return false;
    }
    return true;
}

int runDecode(const std::vector<std::string>& args) {
    if (wantsHelp(args)) return std::fputs(DecodeUsage, stdout), ExitOk;
    std::vector<std::string> files;
    std::string error;
    if (!positional(args, 2, files, error)) return usageError(error.c_str(), DecodeUsage);

    std::string data;
    if (!readAll(files[0], data, error)) return failure(error);
    const size_t frames = data.size() / FrameBytes;
    if (data.size() % FrameBytes != 0) {
        std::fprintf(stderr, "brimvox-codec: note: ignoring %zu trailing bytes of %s\n",
                     data.size() % FrameBytes, files[0].c_str());
    }

    std::unique_ptr<PcmWriter> out = openPcmWriter(files[1], error);
    if (!out) return failure(error);
    CelpCodec codec;
    int16_t pcm[FrameSamples];
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    for (size_t i = 0; i < frames; ++i) {
        codec.decodeFrame(bytes + i * FrameBytes, pcm, 0);
        if (!out->write(pcm, FrameSamples)) return failure(out->error());
    }
    if (!out->close()) return failure(out->error());
    return ExitOk;
}

int runInfo(const std::vector<std::string>& args) {
    if (wantsHelp(args)) return std::fputs(InfoUsage, stdout), ExitOk;
    std::vector<std::string> files;
    std::string error;
    if (!positional(args, 1, files, error)) return usageError(error.c_str(), InfoUsage);

    std::string data;
    if (!readAll(files[0], data, error)) return failure(error);
    const size_t frames = data.size() / FrameBytes;
    size_t bad = 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    for (size_t i = 0; i < frames; ++i) {
        if (unpackFrame(bytes + i * FrameBytes, 0).badFrame != 0) ++bad;
    }
    const double seconds = static_cast<double>(frames) * FrameSamples / 8000.0;
    std::printf("file:        %s\n", files[0].c_str());
    std::printf("frames:      %zu\n", frames);
    std::printf("duration:    %.2f s\n", seconds);
    std::printf("bit rate:    4800 bit/s (18-byte frames of 30 ms)\n");
    std::printf("bad frames:  %zu\n", bad);
    if (data.size() % FrameBytes != 0) {
        std::printf("trailing:    %zu bytes (not a whole frame, ignored)\n",
                    data.size() % FrameBytes);
    }
    return ExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    setBinaryStdio();
    if (argc < 2) return usageError("missing command", MainUsage);
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(MainUsage, stdout);
        return ExitOk;
    }
    if (command == "decode") return runDecode(args);
    if (command == "info") return runInfo(args);
    return usageError(("unknown command '" + command + "'").c_str(), MainUsage);
}
