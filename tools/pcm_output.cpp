#include "pcm_output.h"

#include <algorithm>
#include <cstring>

#ifdef BRIMVOX_HAVE_SNDFILE
#include <sndfile.h>
#endif
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
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

void rawBytes(const std::vector<int16_t>& pcm, std::string& out) {
    out.reserve(out.size() + pcm.size() * 2);
    for (int16_t s : pcm) putLe16(out, static_cast<uint16_t>(s));
}

// Sound file types every user is likely to name, whether or not this build writes them; a
// compressed-frame file must never carry one of these names.
const char* const CommonSoundTypes[] = {
    "wav", "wave", "bwf", "rf64", "w64",  "flac", "ogg", "oga", "opus", "mp3", "mp2", "m1a",
    "aac", "m4a",  "wma", "aif",  "aiff", "aifc", "au",  "snd", "caf",  "raw", "pcm", "voc",
    "sf",  "iff",  "svx", "paf",  "htk",  "mat",  "avr", "sd2", "wve",  "xi",  "pvf", "sds"};

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
        add(lower(info.extension), writableFormat(info.format));
    }
    return types;
}

// libsndfile writes into memory through these callbacks.
struct MemorySink {
    std::string* bytes;
    sf_count_t pos;
};

sf_count_t sinkLength(void* user) {
    return static_cast<sf_count_t>(static_cast<MemorySink*>(user)->bytes->size());
}
sf_count_t sinkSeek(sf_count_t offset, int whence, void* user) {
    auto* m = static_cast<MemorySink*>(user);
    sf_count_t to = offset;
    if (whence == SEEK_CUR) to = m->pos + offset;
    if (whence == SEEK_END) to = static_cast<sf_count_t>(m->bytes->size()) + offset;
    m->pos = to < 0 ? 0 : to;
    return m->pos;
}
sf_count_t sinkRead(void* ptr, sf_count_t count, void* user) {
    auto* m = static_cast<MemorySink*>(user);
    const sf_count_t size = static_cast<sf_count_t>(m->bytes->size());
    const sf_count_t n = m->pos < size ? std::min(count, size - m->pos) : 0;
    if (n > 0) std::memcpy(ptr, m->bytes->data() + m->pos, static_cast<size_t>(n));
    m->pos += n;
    return n;
}
sf_count_t sinkWrite(const void* ptr, sf_count_t count, void* user) {
    auto* m = static_cast<MemorySink*>(user);
    const size_t end = static_cast<size_t>(m->pos + count);
    if (m->bytes->size() < end) m->bytes->resize(end);
    std::memcpy(&(*m->bytes)[static_cast<size_t>(m->pos)], ptr, static_cast<size_t>(count));
    m->pos += count;
    return count;
}
sf_count_t sinkTell(void* user) {
    return static_cast<MemorySink*>(user)->pos;
}

bool renderWithSndfile(int format, const std::vector<int16_t>& pcm, std::string& bytes,
                       std::string& error) {
    MemorySink sink{&bytes, 0};
    SF_VIRTUAL_IO io{sinkLength, sinkSeek, sinkRead, sinkWrite, sinkTell};
    SF_INFO info{};
    info.samplerate = SampleRate;
    info.channels = 1;
    info.format = format;
    SNDFILE* f = sf_open_virtual(&io, SFM_WRITE, &info, &sink);
    if (!f) {
        error = sf_strerror(nullptr);
        return false;
    }
    const auto count = static_cast<sf_count_t>(pcm.size());
    const bool written = sf_write_short(f, pcm.data(), count) == count;
    if (!written) error = sf_strerror(f);
    const int rc = sf_close(f);
    if (written && rc != 0) error = sf_error_number(rc);
    return written && rc == 0;
}
#else
constexpr int WavFormat = 1;

std::vector<NamedFormat> buildTypes() {
    return {{"wav", WavFormat}, {"raw", RawFormat}, {"pcm", RawFormat}, {"wave", WavFormat}};
}

void putLe32(std::string& out, uint32_t v) {
    putLe16(out, v & 0xFFFF);
    putLe16(out, v >> 16);
}

// A canonical 44-byte-header PCM WAV file.
void wavBytes(const std::vector<int16_t>& pcm, std::string& out) {
    const auto dataBytes = static_cast<uint32_t>(pcm.size() * 2);
    out += "RIFF";
    putLe32(out, 36 + dataBytes);
    out += "WAVEfmt ";
    putLe32(out, 16);
    putLe16(out, 1);  // PCM
    putLe16(out, 1);  // mono
    putLe32(out, SampleRate);
    putLe32(out, SampleRate * 2);
    putLe16(out, 2);
    putLe16(out, 16);
    out += "data";
    putLe32(out, dataBytes);
    rawBytes(pcm, out);
}
#endif

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

bool renderSound(const SoundType& type, const std::vector<int16_t>& pcm, std::string& bytes,
                 std::string& error) {
    bytes.clear();
    if (type.format == RawFormat) {
        rawBytes(pcm, bytes);
        return true;
    }
#ifdef BRIMVOX_HAVE_SNDFILE
    return renderWithSndfile(type.format, pcm, bytes, error);
#else
    (void)error;
    wavBytes(pcm, bytes);
    return true;
#endif
}

void setBinaryStdio() {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

}  // namespace brimvox::cli
