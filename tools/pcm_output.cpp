#include "pcm_output.h"

#include <algorithm>
#include <cstring>

#ifdef BRIMVOX_HAVE_SNDFILE
#include <sndfile.h>
#endif

namespace brimvox::cli {

namespace {

constexpr int SampleRate = 8000;
constexpr int RawFormat = 0;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return s;
}

void putLe16(std::string& out, uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}

// Sound file types every user is likely to name, whether or not this build writes them; a
// compressed-frame file must never carry one of these names.
const char* const CommonSoundTypes[] = {
    "wav", "wave", "bwf", "rf64", "w64", "flac", "ogg",  "oga", "opus", "mp3", "mp2",
    "m1a", "aac",  "m4a", "wma",  "aif", "aiff", "aifc", "au",  "snd",  "caf", "raw",
    "pcm", "voc",  "sf",  "iff",  "svx", "paf",  "htk",  "mat", "avr",  "sd2", "wve",
    "xi",  "pvf",  "sds", "mpc",  "mp4", "webm", "mka",  "ac3", "amr",  "ape", "wv"};

struct NamedFormat {
    std::string name;
    int format;
};

#ifdef BRIMVOX_HAVE_SNDFILE
// The subtype this tool writes in a major format: the first of these it accepts for 8000 Hz
// mono.
int writableFormat(int major) {
    static const int Subtypes[] = {SF_FORMAT_PCM_16, SF_FORMAT_VORBIS, SF_FORMAT_MPEG_LAYER_III,
                                   SF_FORMAT_OPUS};
    for (int sub : Subtypes) {
        SF_INFO info{};
        info.samplerate = SampleRate;
        info.channels = 1;
        info.format = major | sub;
        if (sf_format_check(&info)) return info.format;
    }
    return 0;
}

// Every type libsndfile writes, named by its extension, plus the names people use for some.
std::vector<NamedFormat> buildTypes() {
    std::vector<NamedFormat> types;
    auto add = [&](const std::string& name, int format) {
        if (format == 0) return;
        for (const NamedFormat& t : types) {
            if (t.name == name) return;
        }
        types.push_back({name, format});
    };
    // The usual types first, then whatever else libsndfile writes.
    SF_INFO probe{};
    probe.samplerate = SampleRate;
    probe.channels = 1;
    add("wav", writableFormat(SF_FORMAT_WAV));
    add("flac", writableFormat(SF_FORMAT_FLAC));
    add("ogg", writableFormat(SF_FORMAT_OGG));
    probe.format = SF_FORMAT_OGG | SF_FORMAT_OPUS;
    if (sf_format_check(&probe)) add("opus", probe.format);
    probe.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    if (sf_format_check(&probe)) add("mp3", probe.format);
    add("aiff", writableFormat(SF_FORMAT_AIFF));
    add("aif", writableFormat(SF_FORMAT_AIFF));
    add("au", writableFormat(SF_FORMAT_AU));
    add("snd", writableFormat(SF_FORMAT_AU));
    types.push_back({"raw", RawFormat});
    types.push_back({"pcm", RawFormat});
    add("wave", writableFormat(SF_FORMAT_WAV));
    add("aifc", writableFormat(SF_FORMAT_AIFF));
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO info{};
        info.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info) != 0) continue;
        // Raw samples are written here; Sound Designer II needs a resource fork.
        if (info.format == SF_FORMAT_RAW || info.format == SF_FORMAT_SD2) continue;
        // ".mpc" is far better known as another codec's files than as this sampler format,
        // so it goes by its longer name.
        if (info.format == SF_FORMAT_MPC2K) {
            add("mpc2k", writableFormat(info.format));
            continue;
        }
        add(lower(info.extension), writableFormat(info.format));
    }
    return types;
}

#else
constexpr int WavFormat = 1;

std::vector<NamedFormat> buildTypes() {
    return {{"wav", WavFormat}, {"raw", RawFormat}, {"pcm", RawFormat}, {"wave", WavFormat}};
}
#endif

void putLe32(std::string& out, uint32_t v) {
    putLe16(out, v & 0xFFFF);
    putLe16(out, v >> 16);
}

// A canonical 44-byte PCM WAV header for `samples` samples (sizes saturate at 4 GiB, as
// streamed WAV files of unknown length say).
std::string wavHeader(uint64_t samples) {
    const uint64_t dataBytes = std::min<uint64_t>(samples * 2, 0xFFFFFFFFull - 36);
    std::string out = "RIFF";
    putLe32(out, static_cast<uint32_t>(36 + dataBytes));
    out += "WAVEfmt ";
    putLe32(out, 16);
    putLe16(out, 1);  // PCM
    putLe16(out, 1);  // mono
    putLe32(out, SampleRate);
    putLe32(out, SampleRate * 2);
    putLe16(out, 2);
    putLe16(out, 16);
    out += "data";
    putLe32(out, static_cast<uint32_t>(dataBytes));
    return out;
}

bool isWav(const SoundType& type) {
#ifdef BRIMVOX_HAVE_SNDFILE
    return type.format == (SF_FORMAT_WAV | SF_FORMAT_PCM_16);
#else
    return type.format == WavFormat;
#endif
}

const std::vector<NamedFormat>& types() {
    static const std::vector<NamedFormat> all = buildTypes();
    return all;
}

}  // namespace

std::string extensionOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    if (dot == (slash == std::string::npos ? 0 : slash + 1)) return "";  // ".name" only
    return lower(path.substr(dot + 1));
}

bool findSoundType(const std::string& name, SoundType& type) {
    const std::string key = lower(name);
    for (const NamedFormat& t : types()) {
        if (t.name == key) {
            type.name = key;
            type.format = t.format;
            return true;
        }
    }
    return false;
}

bool isSoundType(const std::string& name) {
    const std::string key = lower(name);
    for (const char* t : CommonSoundTypes) {
        if (key == t) return true;
    }
    SoundType found;
    return findSoundType(key, found);
}

std::string writableTypes(size_t width, size_t indent) {
    std::string list;
    size_t column = indent;
    for (const NamedFormat& t : types()) {
        if (!list.empty()) {
            list += ",";
            ++column;
            if (column + 1 + t.name.size() > width) {
                list += "\n" + std::string(indent, ' ');
                column = indent;
            } else {
                list += " ";
                ++column;
            }
        }
        list += t.name;
        column += t.name.size();
    }
    return list;
}

#ifdef BRIMVOX_HAVE_SNDFILE
// libsndfile writes onto the output through these callbacks.
struct SoundWriter::Sndfile {
    SNDFILE* file = nullptr;
};

namespace {
sf_count_t outLength(void* user) {
    return static_cast<OutputFile*>(user)->length();
}
sf_count_t outSeek(sf_count_t offset, int whence, void* user) {
    auto* out = static_cast<OutputFile*>(user);
    sf_count_t to = offset;
    if (whence == SEEK_CUR) to = out->tell() + offset;
    if (whence == SEEK_END) to = out->length() + offset;
    return out->seek(to) ? to : -1;
}
sf_count_t outRead(void* ptr, sf_count_t count, void* user) {
    if (count <= 0) return 0;
    return static_cast<sf_count_t>(
        static_cast<OutputFile*>(user)->readBack(ptr, static_cast<size_t>(count)));
}
sf_count_t outWrite(const void* ptr, sf_count_t count, void* user) {
    if (count <= 0) return 0;
    return static_cast<OutputFile*>(user)->write(ptr, static_cast<size_t>(count)) ? count : 0;
}
sf_count_t outTell(void* user) {
    return static_cast<OutputFile*>(user)->tell();
}
}  // namespace
#else
struct SoundWriter::Sndfile {};
#endif

SoundWriter::~SoundWriter() {
#ifdef BRIMVOX_HAVE_SNDFILE
    if (sndfile && sndfile->file) sf_close(sndfile->file);
#endif
    delete sndfile;
}

bool SoundWriter::needsSeek(const SoundType& type) {
    return type.format != RawFormat && !isWav(type);
}

bool SoundWriter::open(OutputFile& output, const SoundType& kind, int64_t expectedSamples,
                       std::string& error) {
    out = &output;
    type = kind;
    samples = 0;
    if (isWav(type)) {
        // A file gets its sizes at the end; a stream the expected ones, or "unknown".
        uint64_t announced = 0;
        if (!out->seekable()) {
            announced = expectedSamples >= 0 ? static_cast<uint64_t>(expectedSamples) : ~0ull / 4;
        }
        const std::string header = wavHeader(announced);
        if (!out->write(header.data(), header.size())) return error = out->error(), false;
        return true;
    }
    if (type.format == RawFormat) return true;
#ifdef BRIMVOX_HAVE_SNDFILE
    static SF_VIRTUAL_IO io{outLength, outSeek, outRead, outWrite, outTell};
    SF_INFO info{};
    info.samplerate = SampleRate;
    info.channels = 1;
    info.format = type.format;
    sndfile = new Sndfile;
    sndfile->file = sf_open_virtual(&io, SFM_WRITE, &info, out);
    if (!sndfile->file) {
        error = out->error().empty() ? sf_strerror(nullptr) : out->error();
        return false;
    }
    return true;
#else
    (void)expectedSamples;
    error = "cannot write this type";
    return false;
#endif
}

bool SoundWriter::write(const int16_t* pcm, size_t count, std::string& error) {
    samples += count;
#ifdef BRIMVOX_HAVE_SNDFILE
    if (sndfile) {
        // In blocks: some encoders keep a whole call's samples on the stack.
        constexpr size_t Block = 4096;
        for (size_t at = 0; at < count; at += Block) {
            const auto n = static_cast<sf_count_t>(std::min(Block, count - at));
            if (sf_write_short(sndfile->file, pcm + at, n) != n) {
                error = out->error().empty() ? sf_strerror(sndfile->file) : out->error();
                return false;
            }
        }
        return true;
    }
#endif
    bytes.resize(count * 2);
    for (size_t i = 0; i < count; ++i) {
        const auto v = static_cast<uint16_t>(pcm[i]);
        bytes[2 * i] = static_cast<unsigned char>(v & 0xFF);
        bytes[2 * i + 1] = static_cast<unsigned char>(v >> 8);
    }
    if (!out->write(bytes.data(), bytes.size())) return error = out->error(), false;
    return true;
}

bool SoundWriter::finish(std::string& error) {
#ifdef BRIMVOX_HAVE_SNDFILE
    if (sndfile) {
        // libsndfile writes a FLAC or MP3 header only with the first samples: a file with none gets
        // it here, so that it is still a valid (empty) FLAC file.
        if (samples == 0 && ((type.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC ||
                             (type.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG)) {
            sf_command(sndfile->file, SFC_UPDATE_HEADER_NOW, nullptr, 0);
        }
        const int rc = sf_close(sndfile->file);
        sndfile->file = nullptr;
        if (!out->error().empty()) return error = out->error(), false;
        if (rc != 0) return error = sf_error_number(rc), false;
        return true;
    }
#endif
    if (isWav(type) && out->seekable()) {
        const std::string header = wavHeader(samples);
        const int64_t end = out->tell();
        if (!out->seek(0) || !out->write(header.data(), header.size()) || !out->seek(end)) {
            return error = out->error(), false;
        }
    }
    return true;
}

}  // namespace brimvox::cli
