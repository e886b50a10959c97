// brimvox-codec: command-line converter between compressed speech files (bare sequences of
// 18-byte frames, 4800 bit/s) and sound files or raw 16-bit PCM at 8000 Hz.
#include <algorithm>
#include <atomic>
#include <chrono>
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
#ifdef BRIMVOX_HAVE_SNDFILE
#include <sndfile.h>
#endif

#include "celp_codec.h"
#include "output_file.h"
#include "pcm_input.h"
#include "pcm_output.h"

namespace {

using namespace brimvox;
using namespace brimvox::cli;

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;  // a file could not be read, understood or written
constexpr int ExitUsage = 2;    // the command line asks for something impossible

#ifdef BRIMVOX_HAVE_SNDFILE
#define BRIMVOX_BUILD_NOTE ""
#else
#define BRIMVOX_BUILD_NOTE                                                                       \
    "\nThis Windows build has no libsndfile: it reads WAV files of 16-bit mono PCM at 8000 Hz\n" \
    "and raw PCM, and writes WAV and raw PCM only.\n"
#endif

const char* const MainUsage =
    "usage: brimvox-codec COMMAND [OPTIONS] ARGS\n"
    "\n"
    "Converts speech to and from the brimvox compressed format: bare 18-byte frames of 30 ms,\n"
    "4800 bit/s, 8000 Hz mono (files usually named .bvx).\n"
    "\n"
    "commands:\n"
    "  encode IN OUT          sound file (or raw PCM with --raw) -> compressed frames\n"
    "  encode -o DIR IN...    several files in parallel, DIR/NAME.bvx each\n"
    "  decode IN OUT          compressed frames -> sound file (type from OUT's extension)\n"
    "  roundtrip IN OUT       encode and decode in one go, to hear the codec\n"
    "  info IN                frame count, duration and bad frames of a compressed file\n"
    "\n"
    "examples:\n"
    "  brimvox-codec encode speech.mp3 speech.bvx\n"
    "  brimvox-codec decode speech.bvx speech.wav\n"
    "  brimvox-codec decode -t wav speech.bvx - | aplay\n"
    "  brimvox-codec encode -o compressed/ recordings/*.wav\n"
    "\n"
    "'-' stands for stdin or stdout; '--' ends the options. 'brimvox-codec COMMAND --help'\n"
    "describes a command; --version prints the version.\n"
    "Exit status: 0 success, 1 a file could not be read, understood or written,\n"
    "2 usage error.\n" BRIMVOX_BUILD_NOTE;

const char* const CommonOptions =
    "  -q, --quiet    print nothing but errors\n"
    "  -v, --verbose  also print notes such as the conversion done on the input\n";

const char* const DecodeUsage =
    "usage: brimvox-codec decode [-t TYPE] [--force] [-q|-v] IN OUT\n"
    "\n"
    "Decodes the compressed frames of IN into 16-bit mono PCM at 8000 Hz. The type of OUT comes\n"
    "from its extension (.wav, .flac, .ogg, .aiff, .au, .raw, ...) or from -t TYPE; stdout ('-')\n"
    "gets raw samples unless -t says otherwise. Trailing bytes that do not fill a whole frame\n"
    "are ignored. A file that starts like a sound file (WAV, FLAC, Ogg, MP3, AIFF, AU) is\n"
    "refused, and a warning tells when many frames are bad. OUT is written whole or not at\n"
    "all: an existing OUT is replaced only on success.\n"
    "\n"
    "  -t TYPE        output type, one of\n"
    "                 %s\n"
    "  --force        decode IN even if it starts like a sound file\n"
    "%s"
    "\n"
    "examples:\n"
    "  brimvox-codec decode message.bvx message.wav\n"
    "  brimvox-codec decode -t wav message.bvx - | aplay\n"
    "  brimvox-codec decode message.bvx - | aplay -f S16_LE -r 8000 -c 1\n" BRIMVOX_BUILD_NOTE;

const char* const InfoUsage =
    "usage: brimvox-codec info [--force] [-q] IN\n"
    "\n"
    "Prints the number of frames of IN, its duration, its bit rate and the number of frames the\n"
    "decoder treats as bad (invalid gain or pitch lag codes); '-' reads stdin. A file that\n"
    "starts like a sound file is refused unless --force is given.\n"
    "\n"
    "  --force        read IN even if it starts like a sound file\n"
    "  -q, --quiet    no warnings\n"
    "\n"
    "example:\n"
    "  brimvox-codec info message.bvx\n";

const char* const EncodeUsage =
    "usage: brimvox-codec encode [--raw | -t TYPE] [--vad] [-q|-v] IN OUT\n"
    "       brimvox-codec encode [--raw | -t TYPE] [--vad] [-q|-v] -o DIR IN...\n"
    "\n"
    "Encodes speech into compressed frames (18 bytes per 30 ms, 4800 bit/s). IN is\n"
    "%s.\n"
    "Its type is found from its content, whatever its name. Headerless samples (signed 16-bit\n"
    "little-endian, mono, 8000 Hz) are read only with --raw, and from stdin ('-') unless -t\n"
    "names a sound file type. A last partial frame is padded with silence.\n"
    "OUT receives the frames ('-' for stdout); a sound file name such as OUT.wav is refused\n"
    "(use 'roundtrip' to hear the coded speech). OUT is written whole or not at all.\n"
    "With -o, every IN is encoded into DIR/NAME.bvx (NAME: IN without directory and\n"
    "extension; DIR is created when missing), several files at once on all processor cores,\n"
    "and a summary line follows.\n"
    "\n"
    "  --raw          IN is headerless 8000 Hz 16-bit little-endian mono PCM\n"
    "  -t TYPE        type of IN: raw (as --raw), or a sound file type (needed for stdin)\n"
    "  --vad          write the voice-activity decision of every frame to stderr, one line each:\n"
    "                 frame number, start time in seconds, 1 (speech) or 0 (no speech)\n"
    "  -o DIR         output directory for several inputs\n"
    "%s"
    "\n"
    "examples:\n"
    "  brimvox-codec encode speech.wav speech.bvx\n"
    "  brimvox-codec encode --raw capture.pcm capture.bvx\n"
    "  arecord -f S16_LE -r 8000 -c 1 -t raw | brimvox-codec encode - live.bvx\n"
    "  brimvox-codec encode -o bvx/ *.flac\n"
    "\n"
    "Progress is shown on stderr when it is a terminal.\n" BRIMVOX_BUILD_NOTE;

const char* const RoundtripUsage =
    "usage: brimvox-codec roundtrip [--raw] [-t TYPE] [--vad] [-q|-v] IN OUT\n"
    "\n"
    "Encodes IN as 'encode' does and decodes the frames again as 'decode' does; OUT's type\n"
    "comes from its extension or -t TYPE ('-' for stdout: raw unless -t says otherwise). The\n"
    "coded speech is one 7.5 ms subframe (60 samples) late against the input.\n"
    "\n"
    "  --raw          IN is headerless 8000 Hz 16-bit little-endian mono PCM\n"
    "  -t TYPE        output type, one of\n"
    "                 %s\n"
    "  --vad          write the voice-activity decision of every frame to stderr\n"
    "%s"
    "\n"
    "example:\n"
    "  brimvox-codec roundtrip speech.flac coded.wav && play coded.wav\n" BRIMVOX_BUILD_NOTE;

// ---- messages ----

struct Options {
    bool quiet = false;
    bool verbose = false;
    bool raw = false;
    bool force = false;
    bool vad = false;
    std::string type;    // -t
    std::string outDir;  // -o
    std::vector<std::string> files;
};

std::mutex printLock;

void message(const char* prefix, const std::string& text) {
    std::lock_guard<std::mutex> lock(printLock);
    std::fprintf(stderr, "brimvox-codec: %s%s\n", prefix, text.c_str());
}

int failure(const std::string& text) {
    message("", text);
    return ExitFailure;
}

void note(const Options& opt, const std::string& text) {
    if (!opt.quiet && !text.empty()) message("note: ", text);
}

void warning(const Options& opt, const std::string& text) {
    if (!opt.quiet) message("warning: ", text);
}

int usageError(const std::string& text, const char* command) {
    std::fprintf(stderr, "brimvox-codec: %s\n(see 'brimvox-codec %s--help')\n", text.c_str(),
                 command[0] ? (std::string(command) + " ").c_str() : "");
    return ExitUsage;
}

void printUsage(const char* format) {
    std::printf(format, writableTypes(92, 17).c_str(), CommonOptions);
}

void printEncodeUsage() {
    std::printf(EncodeUsage, InputFormatsText, CommonOptions);
}

std::string displayName(const std::string& path) {
    return path == "-" ? "stdin" : path;
}

// ---- command line ----

enum OptionSet : unsigned {
    AllowType = 1,
    AllowRaw = 2,
    AllowForce = 4,
    AllowVad = 8,
    AllowDir = 16,
};

// Parses the options and positional arguments of a command; `--` ends the options and '-'
// alone is a file (stdin or stdout).
bool parseArgs(const std::vector<std::string>& args, unsigned allowed, Options& opt,
               std::string& error) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            opt.files.push_back(a);
            continue;
        }
        // An option with a value: "-t wav", "-twav", "--type wav" or "--type=wav".
        auto value = [&](const std::string& shortName, const std::string& longName,
                         std::string& out) {
            if (a == shortName || a == longName) {
                if (i + 1 >= args.size()) {
                    error = "option " + a + " needs a value";
                    return false;
                }
                out = args[++i];
            } else if (!longName.empty() &&
                       a.compare(0, longName.size() + 1, longName + "=") == 0) {
                out = a.substr(longName.size() + 1);
            } else {
                out = a.substr(shortName.size());
            }
            if (out.empty()) error = "option " + a + " needs a value";
            return !out.empty();
        };
        auto isValued = [&](const std::string& shortName, const std::string& longName) {
            return a.compare(0, shortName.size(), shortName) == 0 ||
                   (!longName.empty() &&
                    (a == longName || a.compare(0, longName.size() + 1, longName + "=") == 0));
        };
        if (a == "--") {
            optionsEnded = true;
        } else if (a == "-q" || a == "--quiet") {
            opt.quiet = true;
        } else if (a == "-v" || a == "--verbose") {
            opt.verbose = true;
        } else if ((allowed & AllowRaw) && a == "--raw") {
            opt.raw = true;
        } else if ((allowed & AllowForce) && a == "--force") {
            opt.force = true;
        } else if ((allowed & AllowVad) && a == "--vad") {
            opt.vad = true;
        } else if ((allowed & AllowType) && isValued("-t", "--type")) {
            if (!value("-t", "--type", opt.type)) return false;
        } else if ((allowed & AllowDir) && isValued("-o", "")) {
            if (!value("-o", "", opt.outDir)) return false;
        } else {
            error = "unknown option '" + a + "'";
            return false;
        }
    }
    if (opt.quiet && opt.verbose) {
        error = "-q and -v exclude each other";
        return false;
    }
    return true;
}

bool wantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--") return false;
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

bool expectFiles(const Options& opt, size_t count, std::string& error) {
    if (opt.files.size() == count) return true;
    error = opt.files.size() < count ? "missing argument" : "too many arguments";
    return false;
}

// The type of a sound output: -t TYPE, else OUT's extension; stdout, a device or a pipe
// without -t gets raw samples. A name whose extension says another sound type than -t is refused.
bool outputType(const std::string& out, const std::string& typeName, SoundType& type,
                std::string& error) {
    const std::string ext = out == "-" ? "" : extensionOf(out);
    const std::string known = " (this build writes " + writableTypes() + ")";
    if (!typeName.empty()) {
        if (!findSoundType(typeName, type)) {
            error = "unknown output type '" + typeName + "'" + known;
            return false;
        }
        SoundType named;
        if (!ext.empty() && isSoundType(ext) &&
            !(findSoundType(ext, named) && named.format == type.format)) {
            error = out + ": the name says ." + ext + " but -t says " + typeName;
            return false;
        }
        return true;
    }
    if (out == "-" || (ext.empty() && isDeviceOrPipe(out))) return findSoundType("raw", type);
    if (ext.empty()) {
        error = out + ": no extension to tell the sound type by; add one or use -t TYPE" + known;
        return false;
    }
    if (!findSoundType(ext, type)) {
        error = out + ": cannot write sound as ." + ext + known;
        return false;
    }
    return true;
}

// A frame file must not carry a sound file's name: it would be taken for one.
bool checkFrameOutput(const std::string& out, std::string& error) {
    const std::string ext = out == "-" ? "" : extensionOf(out);
    if (ext.empty() || !isSoundType(ext)) return true;
    error = out + ": ." + ext +
            " names a sound file, but encode writes compressed frames (name it .bvx, or use "
            "'roundtrip' to get coded speech as a sound file)";
    return false;
}

bool checkInputType(const Options& opt, std::string& error) {
    if (opt.type.empty() || opt.type == "raw" || isSoundType(opt.type)) return true;
    error = "unknown input type '" + opt.type + "'";
    return false;
}

bool refuseSameFile(const std::string& in, const std::string& out, std::string& error) {
    if (!sameFile(in, out)) return false;
    error = out + ": is the input file itself; choose another output name";
    return true;
}

// ---- frames in ----

// "a WAV", "an MP3": the article as the kind's name is spoken.
std::string article(const std::string& kind) {
    return (std::strchr("AEIMO", kind[0]) != nullptr ? "an " : "a ") + kind;
}

// Refuses bytes that start like a sound file unless forced: decoding them gives only noise.
bool checkFrameInput(const std::string& name, const std::string& data, bool force,
                     std::string& error) {
    const std::string kind = containerName(data);
    if (kind.empty() || force) return true;
    error = name + ": looks like " + article(kind) +
            " file, not compressed speech frames (use --force to read it anyway)";
    return false;
}

// The encoder never writes a bad frame. Sound and program files read as frames give 10% to
// 55% bad ones, so more than one in ten says the input is probably something else.
void warnBadFrames(const Options& opt, const std::string& name, size_t bad, size_t frames) {
    if (frames == 0 || bad * 10 <= frames) return;
    warning(opt, name + ": " + std::to_string(bad) + " of " + std::to_string(frames) +
                     " frames are bad; this may not be a compressed speech file");
}

size_t countBadFrames(const std::string& data) {
    size_t bad = 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    for (size_t i = 0; i < data.size() / FrameBytes; ++i) {
        if (unpackFrame(bytes + i * FrameBytes, 0).badFrame != 0) ++bad;
    }
    return bad;
}

void decodeFrames(const std::string& frames, std::vector<int16_t>& pcm) {
    const size_t count = frames.size() / FrameBytes;
    pcm.resize(count * FrameSamples);
    CelpCodec codec;
    const auto* bytes = reinterpret_cast<const uint8_t*>(frames.data());
    for (size_t i = 0; i < count; ++i) {
        codec.decodeFrame(bytes + i * FrameBytes, &pcm[i * FrameSamples], 0);
    }
}

bool writeSound(const std::string& out, const SoundType& type, const std::vector<int16_t>& pcm,
                std::string& error) {
    std::string bytes;
    if (!renderSound(type, pcm, bytes, error)) {
        error = out + ": " + error;
        return false;
    }
    return writeOutputFile(out, bytes, error);
}

int runDecode(const std::vector<std::string>& args) {
    if (wantsHelp(args)) return printUsage(DecodeUsage), ExitOk;
    Options opt;
    std::string error;
    SoundType type;
    if (!parseArgs(args, AllowType | AllowForce, opt, error) || !expectFiles(opt, 2, error) ||
        !outputType(opt.files[1], opt.type, type, error)) {
        return usageError(error, "decode");
    }
    const std::string& in = opt.files[0];
    const std::string& out = opt.files[1];
    if (refuseSameFile(in, out, error)) return failure(error);

    std::string data;
    if (!readAll(in, data, error)) return failure(error);
    if (!checkFrameInput(displayName(in), data, opt.force, error)) return failure(error);
    const size_t frames = data.size() / FrameBytes;
    if (data.size() % FrameBytes != 0) {
        note(opt, "ignoring " + std::to_string(data.size() % FrameBytes) + " trailing bytes of " +
                      displayName(in));
    }
    warnBadFrames(opt, displayName(in), countBadFrames(data), frames);

    std::vector<int16_t> pcm;
    decodeFrames(data, pcm);
    if (!writeSound(out, type, pcm, error)) return failure(error);
    return ExitOk;
}

int runInfo(const std::vector<std::string>& args) {
    if (wantsHelp(args)) return std::fputs(InfoUsage, stdout), ExitOk;
    Options opt;
    std::string error;
    if (!parseArgs(args, AllowForce, opt, error) || !expectFiles(opt, 1, error)) {
        return usageError(error, "info");
    }
    const std::string& in = opt.files[0];
    std::string data;
    if (!readAll(in, data, error)) return failure(error);
    if (!checkFrameInput(displayName(in), data, opt.force, error)) return failure(error);
    const size_t frames = data.size() / FrameBytes;
    const size_t bad = countBadFrames(data);
    const double seconds = static_cast<double>(frames) * FrameSamples / 8000.0;
    std::printf("file:        %s\n", displayName(in).c_str());
    std::printf("frames:      %zu\n", frames);
    std::printf("duration:    %.2f s\n", seconds);
    std::printf("bit rate:    4800 bit/s (18-byte frames of 30 ms)\n");
    std::printf("bad frames:  %zu\n", bad);
    if (data.size() % FrameBytes != 0) {
        std::printf("trailing:    %zu bytes (not a whole frame, ignored)\n",
                    data.size() % FrameBytes);
    }
    std::fflush(stdout);
    warnBadFrames(opt, displayName(in), bad, frames);
    return ExitOk;
}

// ---- encode / roundtrip ----

bool stderrIsTerminal() {
    return BRIMVOX_ISATTY(BRIMVOX_FILENO(stderr)) != 0;
}

// Reads one input as PCM. Headerless samples only with --raw (or -t raw), and from stdin when
// no sound type is given; everything else must be a sound file. `typeIsInput`: -t names the
// input's type (encode) rather than the output's (roundtrip).
bool loadInput(const Options& opt, bool typeIsInput, const std::string& path,
               std::vector<int16_t>& pcm, std::string& error) {
    const std::string name = displayName(path);
    std::string data, remark, conversion;
    if (!readAll(path, data, error)) return false;
    const bool raw = opt.raw || (typeIsInput && opt.type == "raw");
    const bool sound = typeIsInput && !opt.type.empty() && opt.type != "raw";
    if (raw || (path == "-" && !sound)) {
        const std::string kind = containerName(data);
        if (!raw && !kind.empty()) {
            error = name + ": looks like " + article(kind) + " file; " +
                    (typeIsInput ? "use -t TYPE to read it as one"
                                 : "give it as a file name to read it as one") +
                    ", or --raw to take the bytes as samples";
            return false;
        }
        rawSamples(data, pcm, remark);
    } else if (!soundFileSamples(name, data, pcm, conversion, error)) {
        return false;
    }
    if (!remark.empty()) note(opt, name + ": " + remark);
    if (opt.verbose && !conversion.empty()) note(opt, name + ": " + conversion);
    return true;
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

// Encodes IN into frames for OUT, or with `decodeToo` decodes them again into a sound file of
// the given type.
int encodeOne(const Options& opt, bool decodeToo, const SoundType& type) {
    const std::string& in = opt.files[0];
    const std::string& out = opt.files[1];
    std::string error;
    if (refuseSameFile(in, out, error)) return failure(error);

    std::vector<int16_t> pcm;
    if (!loadInput(opt, !decodeToo, in, pcm, error)) return failure(error);
    std::string frames, vadText;
    TerminalProgress progress{decodeToo ? "roundtrip" : "encoding",
                              !opt.quiet && !opt.vad && stderrIsTerminal() && pcm.size() > 80000};
    encodeSamples(pcm, frames, opt.vad ? &vadText : nullptr, std::ref(progress));
    progress.finish();
    if (opt.vad) std::fputs(vadText.c_str(), stderr);

    if (!decodeToo) {
        if (!writeOutputFile(out, frames, error)) return failure(error);
        return ExitOk;
    }
    std::vector<int16_t> decoded;
    decodeFrames(frames, decoded);
    if (!writeSound(out, type, decoded, error)) return failure(error);
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

// Encodes every input into DIR on all cores, one codec per file, and sums up.
int encodeBatch(const Options& opt) {
    const auto started = std::chrono::steady_clock::now();
    const size_t count = opt.files.size();
    std::vector<std::string> outputs(count);
    std::set<std::string> seen;
    for (size_t i = 0; i < count; ++i) {
        if (opt.files[i] == "-") return usageError("'-' cannot be used with -o", "encode");
        outputs[i] = outputName(opt.outDir, opt.files[i]);
        if (!seen.insert(outputs[i]).second) {
            return failure("two inputs would both be written to " + outputs[i]);
        }
    }
    std::string error;
    if (!makeDirectories(opt.outDir, error)) return failure(error);

    std::atomic<size_t> next{0}, done{0}, failed{0}, samples{0};
    const bool showProgress = !opt.quiet && !opt.vad && stderrIsTerminal() && count > 1;
    auto worker = [&]() {
        for (size_t i = next++; i < count; i = next++) {
            std::string fileError, frames, vadText;
            std::vector<int16_t> pcm;
            bool ok = !refuseSameFile(opt.files[i], outputs[i], fileError) &&
                      loadInput(opt, true, opt.files[i], pcm, fileError);
            if (ok) {
                encodeSamples(pcm, frames, opt.vad ? &vadText : nullptr, [](double) {});
                ok = writeOutputFile(outputs[i], frames, fileError);
            }
            if (ok) samples += pcm.size();
            if (!ok) ++failed;
            const size_t finished = ++done;
            std::lock_guard<std::mutex> lock(printLock);
            if (!ok)
                std::fprintf(stderr, "%sbrimvox-codec: %s\n", showProgress ? "\r" : "",
                             fileError.c_str());
            if (opt.vad && ok)
                std::fprintf(stderr, "# %s\n%s", opt.files[i].c_str(), vadText.c_str());
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

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double audio = static_cast<double>(samples.load()) / 8000.0;
    if (!opt.quiet) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "%zu file%s, %zu failed, %.1f s of audio in %.2f s (%.0fx real time)", count,
                      count == 1 ? "" : "s", failed.load(), audio, seconds,
                      seconds > 0 ? audio / seconds : 0.0);
        message("", line);
    }
    return failed == 0 ? ExitOk : ExitFailure;
}

int runEncode(const std::vector<std::string>& args) {
    if (wantsHelp(args)) return printEncodeUsage(), ExitOk;
    Options opt;
    std::string error;
    if (!parseArgs(args, AllowType | AllowRaw | AllowVad | AllowDir, opt, error) ||
        !checkInputType(opt, error)) {
        return usageError(error, "encode");
    }
    if (!opt.outDir.empty()) {
        if (opt.files.empty()) return usageError("missing argument", "encode");
        return encodeBatch(opt);
    }
    if (!expectFiles(opt, 2, error) || !checkFrameOutput(opt.files[1], error)) {
        return usageError(error, "encode");
    }
    return encodeOne(opt, false, SoundType{});
}

int runRoundtrip(const std::vector<std::string>& args) {
    if (wantsHelp(args)) return printUsage(RoundtripUsage), ExitOk;
    Options opt;
    std::string error;
    SoundType type;
    if (!parseArgs(args, AllowType | AllowRaw | AllowVad, opt, error) ||
        !expectFiles(opt, 2, error) || !outputType(opt.files[1], opt.type, type, error)) {
        return usageError(error, "roundtrip");
    }
    return encodeOne(opt, true, type);
}

int printVersion() {
    std::printf("brimvox-codec %s\n", BRIMVOX_VERSION);
    std::printf("codec: 4800 bit/s CELP, 18-byte frames of 30 ms, 8000 Hz mono 16-bit PCM\n");
#ifdef BRIMVOX_HAVE_SNDFILE
    std::printf("sound files: %s\n", sf_version_string());
#else
    std::printf("sound files: WAV (16-bit mono 8000 Hz) and raw PCM only (no libsndfile)\n");
#endif
    return ExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    setBinaryStdio();
    prepareOutputCleanup();
    // -q and -v may also come before the command.
    std::vector<std::string> args;
    int at = 1;
    for (; at < argc; ++at) {
        const std::string a = argv[at];
        if (a != "-q" && a != "--quiet" && a != "-v" && a != "--verbose") break;
        args.push_back(a);
    }
    if (at >= argc) return usageError("missing command", "");
    const std::string command = argv[at];
    args.insert(args.end(), argv + at + 1, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(MainUsage, stdout);
        return ExitOk;
    }
    if (command == "--version" || command == "-V") return printVersion();
    if (command == "encode") return runEncode(args);
    if (command == "roundtrip") return runRoundtrip(args);
    if (command == "decode") return runDecode(args);
    if (command == "info") return runInfo(args);
    return usageError("unknown command '" + command + "'", "");
}
