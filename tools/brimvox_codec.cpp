// brimvox-codec: command-line converter for compressed speech files (bare sequences of
// 18-byte frames, 4800 bit/s) and 16-bit PCM at 8000 Hz.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define BRIMVOX_ISATTY _isatty
#define BRIMVOX_FILENO _fileno
#else
#include <unistd.h>
#define BRIMVOX_ISATTY isatty
#define BRIMVOX_FILENO fileno
#endif

#include "celp_codec.h"
#include "pcm_input.h"
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
    "  encode IN OUT   encode PCM (WAV or other sound file, or raw 8000 Hz) to compressed frames\n"
    "  encode -o DIR IN...  encode several files in parallel into DIR\n"
    "  roundtrip IN OUT  encode and decode in one go (to hear the codec)\n"
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

const char* const EncodeUsage =
    "usage: brimvox-codec encode [--vad] IN OUT\n"
    "       brimvox-codec encode [--vad] -o DIR IN...\n"
    "\n"
    "Encodes speech into compressed frames (18 bytes per 30 ms, 4800 bit/s). IN is a sound file\n"
    "(WAV or another format libsndfile reads, any sample rate and channel count: mixed down to\n"
    "mono and resampled to 8000 Hz) or raw signed 16-bit little-endian mono samples at 8000 Hz;\n"
    "a file is taken as a sound file when its name ends in .wav or its content starts with a\n"
    "sound file header. '-' reads stdin or writes stdout. A last partial frame is padded with\n"
    "silence. With -o, every IN is encoded into DIR/NAME.bvx (NAME: IN without directory and\n"
    "extension), several files at once on all processor cores.\n"
    "\n"
    "  --vad     write the voice-activity decision of every frame to stderr, one line each:\n"
    "            frame number, start time in seconds, 1 (speech) or 0 (no speech)\n"
    "  -o DIR    output directory for several inputs\n"
    "\n"
    "Progress is shown on stderr when it is a terminal.\n";

const char* const RoundtripUsage =
    "usage: brimvox-codec roundtrip [--vad] IN OUT\n"
    "\n"
    "Encodes IN as 'encode' does and decodes the frames again as 'decode' does: OUT is a WAV file\n"
    "when its name ends in .wav, raw 16-bit samples otherwise ('-' for stdout). The coded\n"
    "speech is one 7.5 ms subframe (60 samples) late against the input.\n";

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

// ---- encode / roundtrip ----

struct EncodeOptions {
    bool vad = false;
    std::string outDir;
    std::vector<std::string> files;
};

bool parseEncodeArgs(const std::vector<std::string>& args, bool allowDir, EncodeOptions& opt,
                     std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--vad") {
            opt.vad = true;
        } else if (allowDir && a == "-o") {
            if (i + 1 >= args.size()) {
                error = "option -o needs a directory";
                return false;
            }
            opt.outDir = args[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            error = "unknown option '" + a + "'";
            return false;
        } else {
            opt.files.push_back(a);
        }
    }
    if (!opt.outDir.empty()) {
        if (opt.files.empty()) {
            error = "missing argument";
            return false;
        }
        return true;
    }
    if (opt.files.size() != 2) {
        error = opt.files.size() < 2 ? "missing argument" : "too many arguments";
        return false;
    }
    return true;
}

bool stderrIsTerminal() {
    return BRIMVOX_ISATTY(BRIMVOX_FILENO(stderr)) != 0;
}

// Encodes all samples (the last frame padded with zeros) into frames. Decisions go to `vad`
// as text when it is non-null; `progress` is called with the fraction done.
template <typename Progress>
void encodeSamples(const std::vector<int16_t>& pcm, std::string& frames, std::string* vad,
                   Progress progress) {
    CelpCodec codec;
    const size_t count = (pcm.size() + FrameSamples - 1) / FrameSamples;
    frames.resize(count * FrameBytes);
    for (size_t i = 0; i < count; ++i) {
        int16_t block[FrameSamples] = {};
        const size_t n = std::min<size_t>(FrameSamples, pcm.size() - i * FrameSamples);
        std::copy_n(pcm.begin() + static_cast<std::ptrdiff_t>(i * FrameSamples), n, block);
        const int16_t decision =
            codec.encodeFrame(block, reinterpret_cast<uint8_t*>(&frames[i * FrameBytes]), 50);
        if (vad) {
            char line[64];
            std::snprintf(line, sizeof line, "%zu %.3f %d\n", i, static_cast<double>(i) * 0.03,
                          decision);
            *vad += line;
        }
        if ((i & 63) == 63) progress(static_cast<double>(i + 1) / static_cast<double>(count));
    }
}

bool writeBytes(const std::string& path, const std::string& bytes, std::string& error) {
    const bool toStdout = path == "-";
    FILE* f = toStdout ? stdout : std::fopen(path.c_str(), "wb");
    if (!f) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (toStdout ? std::fflush(f) == 0 : std::fclose(f) == 0) && ok;
    if (!ok) error = (toStdout ? std::string("stdout") : path) + ": " + std::strerror(errno);
    return ok;
}

// Reads and converts one input; prints a note for the user when there is one.
bool loadInput(const std::string& path, std::vector<int16_t>& pcm, std::string& error) {
    std::string data, note;
    if (!readAll(path, data, error)) return false;
    if (!decodePcmInput(path == "-" ? "stdin" : path, data, pcm, note, error)) return false;
    if (!note.empty()) {
        std::fprintf(stderr, "brimvox-codec: note: %s: %s\n", path == "-" ? "stdin" : path.c_str(),
                     note.c_str());
    }
    return true;
}

// Progress on a terminal for inputs longer than ten seconds.
struct TerminalProgress {
    std::string label;
    bool enabled;
    int shown = -1;
    void operator()(double fraction) {
        if (!enabled) return;
        const int percent = static_cast<int>(fraction * 100.0);
        if (percent == shown) return;
        shown = percent;
        std::fprintf(stderr, "\r%s: %3d%%", label.c_str(), percent);
        std::fflush(stderr);
    }
    void finish() {
        if (enabled && shown >= 0) std::fprintf(stderr, "\r%s: 100%%\n", label.c_str());
    }
};

int encodeOne(const EncodeOptions& opt, bool decodeToo) {
    std::vector<int16_t> pcm;
    std::string error;
    if (!loadInput(opt.files[0], pcm, error)) return failure(error);

    std::string frames, vadText;
    TerminalProgress progress{decodeToo ? "roundtrip" : "encoding",
                              !opt.vad && stderrIsTerminal() && pcm.size() > 10 * 8000};
    encodeSamples(pcm, frames, opt.vad ? &vadText : nullptr, std::ref(progress));
    progress.finish();
    if (opt.vad) std::fputs(vadText.c_str(), stderr);

    if (!decodeToo) {
        if (!writeBytes(opt.files[1], frames, error)) return failure(error);
        return ExitOk;
    }
    std::unique_ptr<PcmWriter> out = openPcmWriter(opt.files[1], error);
    if (!out) return failure(error);
    CelpCodec codec;
    int16_t block[FrameSamples];
    for (size_t i = 0; i < frames.size() / FrameBytes; ++i) {
        codec.decodeFrame(reinterpret_cast<const uint8_t*>(&frames[i * FrameBytes]), block, 0);
        if (!out->write(block, FrameSamples)) return failure(out->error());
    }
    if (!out->close()) return failure(out->error());
    return ExitOk;
}

std::string outputName(const std::string& dir, const std::string& in) {
    size_t slash = in.find_last_of("/\\");
    std::string base = slash == std::string::npos ? in : in.substr(slash + 1);
    const size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && dot > 0) base.erase(dot);
    std::string d = dir;
    if (!d.empty() && d.back() != '/' && d.back() != '\\') d += '/';
    return d + base + ".bvx";
}

// Encodes every input into DIR on all cores, one codec per file.
int encodeBatch(const EncodeOptions& opt) {
    const size_t count = opt.files.size();
    std::vector<std::string> outputs(count);
    std::set<std::string> seen;
    for (size_t i = 0; i < count; ++i) {
        if (opt.files[i] == "-") return usageError("'-' cannot be used with -o", EncodeUsage);
        outputs[i] = outputName(opt.outDir, opt.files[i]);
        if (!seen.insert(outputs[i]).second) {
            return failure("two inputs would both be written to " + outputs[i]);
        }
    }

    std::vector<std::string> errors(count), notes(count), vadTexts(count);
    std::atomic<size_t> next{0}, done{0};
    std::mutex printLock;
    const bool showProgress = !opt.vad && stderrIsTerminal() && count > 1;
    auto worker = [&]() {
        for (size_t i = next++; i < count; i = next++) {
            std::string data, error;
            std::vector<int16_t> pcm;
            if (readAll(opt.files[i], data, error) &&
                decodePcmInput(opt.files[i], data, pcm, notes[i], error)) {
                std::string frames;
                encodeSamples(pcm, frames, opt.vad ? &vadTexts[i] : nullptr, [](double) {});
                writeBytes(outputs[i], frames, error);
            }
            errors[i] = error;
            const size_t finished = ++done;
            std::lock_guard<std::mutex> lock(printLock);
            if (!notes[i].empty()) {
                std::fprintf(stderr, "%sbrimvox-codec: note: %s: %s\n", showProgress ? "\r" : "",
                             opt.files[i].c_str(), notes[i].c_str());
            }
            if (opt.vad && error.empty()) {
                std::fprintf(stderr, "# %s\n%s", opt.files[i].c_str(), vadTexts[i].c_str());
            }
            if (showProgress) {
                std::fprintf(stderr, "\rencoded %zu of %zu files", finished, count);
                std::fflush(stderr);
            }
        }
    };
    unsigned cores = std::thread::hardware_concurrency();
    if (cores == 0) cores = 1;
    const size_t threads = std::min<size_t>(cores, count);
    std::vector<std::thread> pool;
    for (size_t t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool) t.join();
    if (showProgress) std::fputc('\n', stderr);

    int status = ExitOk;
    for (size_t i = 0; i < count; ++i) {
        if (!errors[i].empty()) status = failure(errors[i]);
    }
    return status;
}

int runEncode(const std::vector<std::string>& args) {
    if (wantsHelp(args)) return std::fputs(EncodeUsage, stdout), ExitOk;
    EncodeOptions opt;
    std::string error;
    if (!parseEncodeArgs(args, true, opt, error)) return usageError(error.c_str(), EncodeUsage);
    if (!opt.outDir.empty()) return encodeBatch(opt);
    return encodeOne(opt, false);
}

int runRoundtrip(const std::vector<std::string>& args) {
    if (wantsHelp(args)) return std::fputs(RoundtripUsage, stdout), ExitOk;
    EncodeOptions opt;
    std::string error;
    if (!parseEncodeArgs(args, false, opt, error)) return usageError(error.c_str(), RoundtripUsage);
    return encodeOne(opt, true);
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
    if (command == "encode") return runEncode(args);
    if (command == "roundtrip") return runRoundtrip(args);
    if (command == "decode") return runDecode(args);
    if (command == "info") return runInfo(args);
    return usageError(("unknown command '" + command + "'").c_str(), MainUsage);
}
