// brimvox-codec: command-line converter between compressed speech files (bare sequences of
// 18-byte frames, 4800 bit/s) and sound files or raw 16-bit PCM at 8000 Hz. Everything streams
// block by block in constant memory.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifdef BRIMVOX_HAVE_SNDFILE
#include <sndfile.h>
#endif

#include "celp_codec.h"
#include "command_line.h"
#include "file.h"
#include "output_file.h"
#include "pcm_output.h"
#include "sound_reader.h"

namespace {

using namespace brimvox;
using namespace brimvox::cli;

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;  // a file could not be read, understood or written
constexpr int ExitUsage = 2;    // the command line asks for something impossible

constexpr size_t EncodeBlockFrames = 32;    // about 1 s of speech per block
constexpr size_t DecodeBlockFrames = 1024;  // 18 KiB of frames per block

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
    "  brimvox-codec decode speech.bvx -t wav - | aplay\n"
    "  brimvox-codec encode -o compressed/ recordings/*.wav\n"
    "\n"
    "'-' stands for stdin or stdout; '--' ends the options; -t TYPE types the file named after\n"
    "it. Everything streams: output appears as input arrives, in constant memory.\n"
    "'brimvox-codec COMMAND --help' (or 'brimvox-codec --help COMMAND') describes a command;\n"
    "--version prints the version.\n"
    "Exit status: 0 success, 1 a file could not be read, understood or written,\n"
    "2 usage error.\n" BRIMVOX_BUILD_NOTE;

const char* const CommonOptions =
    "  -q, --quiet    print nothing but errors\n"
    "  -v, --verbose  also print notes such as the conversion done on the input\n";

const char* const DecodeUsage =
    "usage: brimvox-codec decode [--force] [-q|-v] IN [-t TYPE] OUT\n"
    "\n"
    "Decodes the compressed frames of IN into 16-bit mono PCM at 8000 Hz. The type of OUT comes\n"
    "from its extension (.wav, .flac, .ogg, .aiff, .au, .raw, ...) or from -t TYPE before it;\n"
    "stdout ('-') gets raw samples unless -t says otherwise. Trailing bytes that do not fill a\n"
    "whole frame are ignored. A file that starts like a sound file (WAV, FLAC, Ogg, MP3, AIFF,\n"
    "AU) is refused, and a warning tells when many frames are bad. OUT is written as the frames\n"
    "are decoded, to a temporary file renamed over OUT at the end: an existing OUT is replaced\n"
    "(by a new file with its permissions) only on success. stdout gets raw and WAV samples as\n"
    "they are decoded; other types when they are complete.\n"
    "\n"
    "  -t TYPE        type of OUT, one of\n"
    "                 %s\n"
    "  --force        decode IN even if it starts like a sound file\n"
    "%s"
    "\n"
    "examples:\n"
    "  brimvox-codec decode message.bvx message.wav\n"
    "  brimvox-codec decode message.bvx -t wav - | aplay\n"
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
    "little-endian, mono, 8000 Hz) are read with --raw, and from stdin ('-') unless -t TYPE\n"
    "before it names a sound file type (stdin starting with a RIFF, RF64, fLaC, OggS or FORM\n"
    "header is refused without -t). A last partial frame is padded with silence.\n"
    "OUT receives the frames as they are encoded ('-' for stdout); a sound file name such as\n"
    "OUT.wav is refused (use 'roundtrip' to hear the coded speech). OUT is written to a\n"
    "temporary file renamed over it at the end, so it is whole or not there.\n"
    "Live input: when IN is stdin or another pipe, Ctrl-C (SIGINT) or SIGTERM ends the input:\n"
    "every whole frame read so far is encoded, OUT is completed and the exit status is 0, with\n"
    "a note of what was kept. For a file IN, a signal aborts and leaves no partial OUT.\n"
    "With -o, every IN is encoded into DIR/NAME.bvx (NAME: IN without directory and\n"
    "extension; DIR is created when missing), several files at once on all processor cores,\n"
    "and a summary line follows; a file that fails is named and the others go on.\n"
    "\n"
    "  --raw          IN is headerless 8000 Hz 16-bit little-endian mono PCM\n"
    "  -t TYPE        type of IN (before it): raw (as --raw), or a sound file type\n"
    "  --vad          write the voice-activity decision of every frame to stderr, one line each:\n"
    "                 frame number, start time in seconds, 1 (speech) or 0 (no speech)\n"
    "  -o DIR         output directory for several inputs\n"
    "%s"
    "\n"
    "examples:\n"
    "  brimvox-codec encode speech.wav speech.bvx\n"
    "  brimvox-codec encode --raw capture.pcm capture.bvx\n"
    "  arecord -f S16_LE -r 8000 -c 1 -t raw | brimvox-codec encode - live.bvx\n"
    "  sox speech.flac -t wav - | brimvox-codec encode -t wav - speech.bvx\n"
    "  brimvox-codec encode -o bvx/ *.flac\n"
    "\n"
    "Progress is shown on stderr when it is a terminal.\n" BRIMVOX_BUILD_NOTE;

const char* const RoundtripUsage =
    "usage: brimvox-codec roundtrip [--raw] [--vad] [-q|-v] [-t TYPE] IN [-t TYPE] OUT\n"
    "\n"
    "Encodes IN as 'encode' does and decodes the frames again as 'decode' does; OUT's type\n"
    "comes from its extension or -t TYPE before it ('-' for stdout: raw unless -t says\n"
    "otherwise). A -t before IN types IN, as for encode. The coded speech is one 7.5 ms\n"
    "subframe (60 samples) late against the input.\n"
    "\n"
    "  --raw          IN is headerless 8000 Hz 16-bit little-endian mono PCM\n"
    "  -t TYPE        before IN: its type; before OUT: its type, one of\n"
    "                 %s\n"
    "  --vad          write the voice-activity decision of every frame to stderr\n"
    "%s"
    "\n"
    "example:\n"
    "  brimvox-codec roundtrip speech.flac coded.wav && play coded.wav\n" BRIMVOX_BUILD_NOTE;

// ---- messages ----

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
    if (!opt.quiet && !text.empty()) message("warning: ", text);
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
    std::printf(EncodeUsage, SoundReaderFormats, CommonOptions);
}

std::string displayName(const std::string& path) {
    return path == "-" ? "stdin" : path;
}

std::string plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string secondsOf(uint64_t samples) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(samples) / 8000.0);
    return text;
}

// ---- command line ----

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

// The type given to an input: raw, a sound file type, or nothing. --raw and a sound type
// exclude each other.
bool checkInputType(const Options& opt, const std::string& type, std::string& error) {
    if (type.empty()) return true;
    const bool raw = type == "raw" || type == "pcm";
    if (!raw && !isSoundType(type)) {
        error = "unknown input type '" + type + "'";
        return false;
    }
    if (opt.raw) {
        error = "--raw and -t " + type + " both type the input; give one of them";
        return false;
    }
    return true;
}

bool refuseSameFile(const std::string& in, const std::string& out, std::string& error) {
    if (!sameFile(in, out)) return false;
    error = out + ": is the input file itself; choose another output name";
    return true;
}

bool stderrIsTerminal() {
    return files::isTerminal(stderr);
}

// Progress on a terminal: the share of the input read, or the audio done when the input's
// length is unknown.
struct TerminalProgress {
    std::string label;
    bool enabled;
    int shown = -1;
    bool any = false;
    void update(double fraction, uint64_t samples) {
        if (!enabled) return;
        const int step =
            fraction >= 0 ? static_cast<int>(fraction * 100.0) : static_cast<int>(samples / 8000);
        if (step == shown) return;
        shown = step;
        any = true;
        if (fraction >= 0) {
            std::fprintf(stderr, "\r%s: %3d%%", label.c_str(), step);
        } else {
            std::fprintf(stderr, "\r%s: %s", label.c_str(), secondsOf(samples).c_str());
        }
        std::fflush(stderr);
    }
    void finish() {
        if (enabled && any) std::fputc('\n', stderr);
    }
};

// ---- frames in ----

// "a WAV", "an MP3": the article as the kind's name is spoken.
std::string article(const std::string& kind) {
    return (std::strchr("AEIMO", kind[0]) != nullptr ? "an " : "a ") + kind;
}

// Compressed frames read block by block from a file or stdin.
class FrameInput {
  public:
    ~FrameInput() {
        if (fd > 0) files::closeDescriptor(fd);
    }
    bool open(const std::string& path, std::string& error) {
        name = displayName(path);
        fd = path == "-" ? files::StdinDescriptor : files::openForReading(path);
        if (fd < 0) return error = path + ": " + files::errorText(errno), false;
        const files::Status status = files::statusOf(fd);
        if (status.directory) return error = path + ": " + files::errorText(EISDIR), false;
        size = status.size;
        return true;
    }
    // Reads whole frames: up to `max` bytes (a multiple of 18), at least one frame unless the
    // input ended. A pipe gives what has arrived, so output follows input closely.
    size_t read(unsigned char* buf, size_t max, std::string& error) {
        size_t have = carried;
        std::memcpy(buf, carry, carried);
        carried = 0;
        while (!ended && (have < FrameBytes || (size >= 0 && have < max))) {
            const long got = readSome(buf + have, max - have);
            if (got < 0) return error = name + ": " + files::errorText(errno), 0;
            if (got == 0) ended = true;
            have += static_cast<size_t>(got);
            consumed += got;
        }
        const size_t whole = have / FrameBytes * FrameBytes;
        carried = have - whole;
        std::memcpy(carry, buf + whole, carried);
        if (ended) trailing = carried;
        return whole;
    }
    double progress() const {
        return size > 0 ? static_cast<double>(consumed) / static_cast<double>(size) : -1.0;
    }
    int64_t knownSize() const { return size; }
    size_t trailingBytes() const { return trailing; }

  private:
    long readSome(unsigned char* buf, size_t n) {
        for (;;) {
            const long got = files::readOnce(fd, buf, n);
            if (got < 0 && errno == EINTR) continue;
            return got;
        }
    }
    std::string name;
    int fd = -1;
    int64_t size = -1;
    int64_t consumed = 0;
    bool ended = false;
    unsigned char carry[FrameBytes] = {};
    size_t carried = 0;
    size_t trailing = 0;
};

// Refuses bytes that start like a sound file unless forced: decoding them gives only noise.
bool checkFrameInput(const std::string& name, const unsigned char* data, size_t size, bool force,
                     std::string& error) {
    const std::string kind = containerName(data, size);
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

size_t countBadFrames(const unsigned char* bytes, size_t frames) {
    size_t bad = 0;
    for (size_t i = 0; i < frames; ++i) {
        if (unpackFrame(bytes + i * FrameBytes, 0).badFrame != 0) ++bad;
    }
    return bad;
}

void noteTrailing(const Options& opt, const std::string& name, size_t trailing) {
    if (trailing == 0) return;
    note(opt, "ignoring " + plural(trailing, "trailing byte", "trailing bytes") + " of " + name);
}

int runDecode(const std::vector<std::string>& args) {
    if (wantsHelp(args)) return printUsage(DecodeUsage), ExitOk;
    Options opt;
    std::string error;
    SoundType type;
    if (!parseArgs(args, AllowType | AllowForce, opt, error) || !expectFiles(opt, 2, error)) {
        return usageError(error, "decode");
    }
    // IN is always frames: a -t before it is taken as OUT's type, as earlier versions did.
    std::string outType = opt.fileTypes[1];
    if (!opt.fileTypes[0].empty()) {
        if (!outType.empty())
            return usageError("IN holds compressed frames; it takes no -t", "decode");
        outType = opt.fileTypes[0];
    }
    if (!outputType(opt.files[1], outType, type, error)) return usageError(error, "decode");
    const std::string& in = opt.files[0];
    const std::string& out = opt.files[1];
    if (refuseSameFile(in, out, error)) return failure(error);

    FrameInput input;
    if (!input.open(in, error)) return failure(error);
    const std::string name = displayName(in);
    std::vector<unsigned char> frames(DecodeBlockFrames * FrameBytes);
    std::vector<int16_t> pcm(DecodeBlockFrames * FrameSamples);
    size_t got = input.read(frames.data(), frames.size(), error);
    if (!error.empty()) return failure(error);
    if (!checkFrameInput(name, frames.data(), got, opt.force, error)) return failure(error);

    OutputFile output;
    SoundWriter writer;
    const int64_t expected =
        input.knownSize() >= 0 ? input.knownSize() / FrameBytes * FrameSamples : -1;
    if (!output.open(out, SoundWriter::needsSeek(type), error) ||
        !writer.open(output, type, expected, error)) {
        return failure(error);
    }
    TerminalProgress progress{"decoding", !opt.quiet && stderrIsTerminal()};
    CelpCodec codec;
    size_t total = 0, bad = 0;
    while (got > 0) {
        const size_t count = got / FrameBytes;
        for (size_t i = 0; i < count; ++i) {
            codec.decodeFrame(&frames[i * FrameBytes], &pcm[i * FrameSamples], 0);
        }
        bad += countBadFrames(frames.data(), count);
        total += count;
        if (!writer.write(pcm.data(), count * FrameSamples, error)) return failure(error);
        if (!output.seekable() && !output.flush()) return failure(output.error());
        progress.update(input.progress(), total * FrameSamples);
        got = input.read(frames.data(), frames.size(), error);
        if (!error.empty()) return failure(error);
    }
    if (!writer.finish(error)) return failure(error);
    if (!output.commit()) return failure(output.error());
    progress.finish();
    noteTrailing(opt, name, input.trailingBytes());
    warnBadFrames(opt, name, bad, total);
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
    FrameInput input;
    if (!input.open(in, error)) return failure(error);
    std::vector<unsigned char> frames(DecodeBlockFrames * FrameBytes);
    size_t got = input.read(frames.data(), frames.size(), error);
    if (!error.empty()) return failure(error);
    if (!checkFrameInput(displayName(in), frames.data(), got, opt.force, error)) {
        return failure(error);
    }
    size_t count = 0, bad = 0;
    while (got > 0) {
        count += got / FrameBytes;
        bad += countBadFrames(frames.data(), got / FrameBytes);
        got = input.read(frames.data(), frames.size(), error);
        if (!error.empty()) return failure(error);
    }
    const double seconds = static_cast<double>(count) * FrameSamples / 8000.0;
    std::printf("file:        %s\n", displayName(in).c_str());
    std::printf("frames:      %zu\n", count);
    std::printf("duration:    %.2f s\n", seconds);
    std::printf("bit rate:    4800 bit/s (18-byte frames of 30 ms)\n");
    std::printf("bad frames:  %zu\n", bad);
    if (input.trailingBytes() != 0) {
        std::printf("trailing:    %s (not a whole frame, ignored)\n",
                    plural(input.trailingBytes(), "byte", "bytes").c_str());
    }
    std::fflush(stdout);
    warnBadFrames(opt, displayName(in), bad, count);
    return ExitOk;
}

// ---- encode / roundtrip ----

// Opens one input as PCM. Headerless samples with --raw (or -t raw), and from stdin when no
// sound type is given; everything else must be a sound file.
bool openInput(const Options& opt, const std::string& path, const std::string& type,
               SoundReader& reader, SoundReader::Kind& kind, std::string& error) {
    const std::string name = displayName(path);
    kind = SoundReader::Kind::SoundFile;
    if (opt.raw || type == "raw" || type == "pcm") {
        kind = SoundReader::Kind::Raw;
    } else if (path == "-" && type.empty()) {
        kind = SoundReader::Kind::RawUnlessContainer;
    }
    if (reader.openFile(path, name, kind, error)) return true;
    if (reader.unknownType()) error += " (use --raw for headerless 8 kHz 16-bit PCM)";
    if (!reader.container().empty()) {
        error = name + ": looks like " + article(reader.container()) +
                " file; use -t TYPE before it to read it as one, or --raw to take the bytes as "
                "samples";
    }
    return false;
}

// Encodes one input into frames for OUT, or with `decodeToo` decodes them again into a sound
// file of the given type. `quietProgress` keeps batch runs from printing per-file progress.
struct EncodeResult {
    bool ok = false;
    uint64_t samples = 0;
    std::string error;
};

EncodeResult encodeStream(const Options& opt, const std::string& in, const std::string& inType,
                          const std::string& out, bool decodeToo, const SoundType& type,
                          bool interactive, std::string* vadText) {
    EncodeResult result;
    std::string& error = result.error;
    if (refuseSameFile(in, out, error)) return result;
    SoundReader reader;
    SoundReader::Kind kind;
    if (!openInput(opt, in, inType, reader, kind, error)) return result;
    const std::string name = displayName(in);
    const bool live = interactive && reader.isStream();
    if (live) {
        setLiveInput(true);
        reader.setStopFlag(liveStopFlag());
    }

    OutputFile output;
    SoundWriter writer;
    if (!output.open(out, decodeToo && SoundWriter::needsSeek(type), error)) return result;
    if (decodeToo && !writer.open(output, type, -1, error)) return result;

    TerminalProgress progress{decodeToo ? "roundtrip" : "encoding",
                              interactive && !opt.quiet && !opt.vad && stderrIsTerminal()};
    CelpCodec encoder, decoder;
    std::vector<int16_t> pcm(EncodeBlockFrames * FrameSamples);
    std::vector<int16_t> decoded(EncodeBlockFrames * FrameSamples);
    std::vector<uint8_t> frames(EncodeBlockFrames * FrameBytes);
    size_t frameNumber = 0;
    for (;;) {
        const size_t got = reader.read(pcm.data(), pcm.size());
        if (got == 0) break;
        const size_t count = (got + FrameSamples - 1) / FrameSamples;
        std::fill(pcm.begin() + static_cast<std::ptrdiff_t>(got),
                  pcm.begin() + static_cast<std::ptrdiff_t>(count * FrameSamples), 0);
        std::string vadLines;
        for (size_t i = 0; i < count; ++i, ++frameNumber) {
            const int16_t decision =
                encoder.encodeFrame(&pcm[i * FrameSamples], &frames[i * FrameBytes], 50);
            if (opt.vad) {
                char line[64];
                std::snprintf(line, sizeof line, "%zu %.3f %d\n", frameNumber,
                              static_cast<double>(frameNumber) * 0.03, decision);
                vadLines += line;
            }
            if (decodeToo) {
                decoder.decodeFrame(&frames[i * FrameBytes], &decoded[i * FrameSamples], 0);
            }
        }
        if (vadText) {
            *vadText += vadLines;
        } else if (opt.vad) {
            std::lock_guard<std::mutex> lock(printLock);
            std::fputs(vadLines.c_str(), stderr);
        }
        const bool written = decodeToo ? writer.write(decoded.data(), count * FrameSamples, error)
                                       : output.write(frames.data(), count * FrameBytes) ||
                                             (error = output.error(), false);
        if (!written) return result;
        if (!output.seekable() && !output.flush()) return error = output.error(), result;
        result.samples += got;
        progress.update(reader.progress(), reader.samplesRead());
        if (got < pcm.size()) break;
    }
    progress.finish();
    if (reader.failed()) return error = reader.error(), result;
    const bool interrupted = live && *liveStopFlag() != 0;
    if (reader.samplesRead() == 0 && !interrupted) {
        // Bytes that give no sample are no input: say so rather than write an empty file.
        if (kind == SoundReader::Kind::SoundFile) {
            return error = name + ": no audio samples in the file", result;
        }
        if (!reader.remarks().empty()) {
            return error = name + ": no audio samples (" + reader.remarks() + ")", result;
        }
    }
    if (decodeToo && !writer.finish(error)) return result;
    if (!output.commit()) return error = output.error(), result;
    const std::string remarks = reader.remarks();
    if (!remarks.empty()) {
        // A truncated file is worth a warning; a dropped odd byte only a note.
        if (remarks.find("truncated") != std::string::npos) {
            warning(opt, name + ": " + remarks);
        } else {
            note(opt, name + ": " + remarks);
        }
    }
    if (opt.verbose && !reader.conversion().empty()) note(opt, name + ": " + reader.conversion());
    if (interrupted) {
        note(opt, name + ": input interrupted; kept the " + plural(frameNumber, "frame", "frames") +
                      " (" + secondsOf(frameNumber * FrameSamples) + ") read before it");
    }
    result.ok = true;
    return result;
}

int encodeOne(const Options& opt, bool decodeToo, const SoundType& type,
              const std::string& inType) {
    const EncodeResult r =
        encodeStream(opt, opt.files[0], inType, opt.files[1], decodeToo, type, true, nullptr);
    return r.ok ? ExitOk : failure(r.error);
}

// Encodes every input into DIR on all cores, one codec per file, and sums up. A file that
// fails is reported and the others go on.
int encodeBatch(const Options& opt, const std::string& inType) {
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

    std::atomic<size_t> next{0}, done{0}, failed{0};
    std::atomic<uint64_t> samples{0};
    const bool showProgress = !opt.quiet && !opt.vad && stderrIsTerminal() && count > 1;
    auto worker = [&]() {
        for (size_t i = next++; i < count; i = next++) {
            std::string vadText;
            EncodeResult r;
            try {
                r = encodeStream(opt, opt.files[i], inType, outputs[i], false, SoundType{}, false,
                                 opt.vad ? &vadText : nullptr);
            } catch (const std::exception& e) {
                r.ok = false;
                r.error = opt.files[i] + ": " + e.what();
            }
            if (r.ok) samples += r.samples;
            if (!r.ok) ++failed;
            const size_t finished = ++done;
            std::lock_guard<std::mutex> lock(printLock);
            if (!r.ok)
                std::fprintf(stderr, "%sbrimvox-codec: %s\n", showProgress ? "\r" : "",
                             r.error.c_str());
            if (opt.vad && r.ok)
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
    if (!parseArgs(args, AllowType | AllowRaw | AllowVad | AllowDir, opt, error)) {
        return usageError(error, "encode");
    }
    if (!opt.outDir.empty()) {
        if (opt.files.empty()) return usageError("missing argument", "encode");
        // A -t before the first input types every input.
        const std::string inType = opt.fileTypes[0];
        for (size_t i = 1; i < opt.fileTypes.size(); ++i) {
            if (!opt.fileTypes[i].empty() && opt.fileTypes[i] != inType) {
                return usageError("with -o, one -t before the first input types them all",
                                  "encode");
            }
        }
        if (!checkInputType(opt, inType, error)) return usageError(error, "encode");
        return encodeBatch(opt, inType);
    }
    if (!expectFiles(opt, 2, error) || !checkInputType(opt, opt.fileTypes[0], error) ||
        !checkFrameOutput(opt.files[1], error)) {
        return usageError(error, "encode");
    }
    if (!opt.fileTypes[1].empty()) {
        return usageError("encode writes compressed frames; -t " + opt.fileTypes[1] +
                              " cannot type OUT (put -t before IN to type the input)",
                          "encode");
    }
    return encodeOne(opt, false, SoundType{}, opt.fileTypes[0]);
}

int runRoundtrip(const std::vector<std::string>& args) {
    if (wantsHelp(args)) return printUsage(RoundtripUsage), ExitOk;
    Options opt;
    std::string error;
    SoundType type;
    if (!parseArgs(args, AllowType | AllowRaw | AllowVad, opt, error) ||
        !expectFiles(opt, 2, error) || !checkInputType(opt, opt.fileTypes[0], error) ||
        !outputType(opt.files[1], opt.fileTypes[1], type, error)) {
        return usageError(error, "roundtrip");
    }
    return encodeOne(opt, true, type, opt.fileTypes[0]);
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

int run(int argc, char** argv) {
    // -q and -v may also come before the command.
    std::vector<std::string> args;
    int at = 1;
    for (; at < argc; ++at) {
        const std::string a = argv[at];
        if (a != "-q" && a != "--quiet" && a != "-v" && a != "--verbose") break;
        args.push_back(a);
    }
    if (at >= argc) return usageError("missing command", "");
    std::string command = argv[at];
    args.insert(args.end(), argv + at + 1, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        // "--help COMMAND" is "COMMAND --help".
        if (at + 1 < argc) {
            const std::string topic = argv[at + 1];
            if (topic == "encode" || topic == "decode" || topic == "roundtrip" || topic == "info") {
                command = topic;
                args = {"--help"};
            }
        }
        if (command == "--help" || command == "-h" || command == "help") {
            std::fputs(MainUsage, stdout);
            return ExitOk;
        }
    }
    if (command == "--version" || command == "-V") return printVersion();
    if (command == "encode") return runEncode(args);
    if (command == "roundtrip") return runRoundtrip(args);
    if (command == "decode") return runDecode(args);
    if (command == "info") return runInfo(args);
    return usageError("unknown command '" + command + "'", "");
}

}  // namespace

int main(int argc, char** argv) {
    files::setBinaryStdio();
    prepareOutputCleanup();
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        // Nothing should get here; if something does, it is still one line and exit 1.
        return failure(std::string("internal error: ") + e.what());
    }
}
