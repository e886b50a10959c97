#include "pcm_input.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#ifdef BRIMVOX_HAVE_SNDFILE
#include <sndfile.h>
#endif
#ifdef BRIMVOX_HAVE_SAMPLERATE
#include <samplerate.h>
#endif

namespace brimvox::cli {

namespace {

constexpr int TargetRate = 8000;

uint16_t le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

std::string notSoundFile(const std::string& name) {
    return name + ": not a sound file (use --raw for headerless 8 kHz 16-bit PCM)";
}

// The error for bytes the reader refused: a plain refusal when they carry no known header,
// otherwise what they look like and why they could not be read.
std::string unreadable(const std::string& name, const std::string& data, const char* why) {
    const std::string kind = containerName(data);
    if (kind.empty()) return notSoundFile(name);
    return name + ": " + kind + " file that cannot be read: " + why;
}

#ifdef BRIMVOX_HAVE_SNDFILE
int16_t toSample(double x) {
    const double v = x * 32768.0;
    if (v >= 32767.0) return 32767;
    if (v <= -32768.0) return -32768;
    return static_cast<int16_t>(v >= 0.0 ? v + 0.5 : v - 0.5);
}

// libsndfile reads from memory through these callbacks.
struct MemoryFile {
    const std::string* data;
    sf_count_t pos;
};

sf_count_t memLength(void* user) {
    return static_cast<sf_count_t>(static_cast<MemoryFile*>(user)->data->size());
}
sf_count_t memSeek(sf_count_t offset, int whence, void* user) {
    auto* m = static_cast<MemoryFile*>(user);
    const sf_count_t size = static_cast<sf_count_t>(m->data->size());
    sf_count_t to = offset;
    if (whence == SEEK_CUR) to = m->pos + offset;
    if (whence == SEEK_END) to = size + offset;
    if (to < 0) to = 0;
    if (to > size) to = size;
    m->pos = to;
    return to;
}
sf_count_t memRead(void* ptr, sf_count_t count, void* user) {
    auto* m = static_cast<MemoryFile*>(user);
    const sf_count_t size = static_cast<sf_count_t>(m->data->size());
    const sf_count_t n = count < size - m->pos ? count : size - m->pos;
    if (n > 0) std::memcpy(ptr, m->data->data() + m->pos, static_cast<size_t>(n));
    m->pos += n > 0 ? n : 0;
    return n > 0 ? n : 0;
}
sf_count_t memWrite(const void*, sf_count_t, void*) {
    return 0;
}
sf_count_t memTell(void* user) {
    return static_cast<MemoryFile*>(user)->pos;
}

bool soundFile(const std::string& path, const std::string& data, std::vector<int16_t>& pcm,
               std::string& note, std::string& error) {
    MemoryFile mem{&data, 0};
    SF_VIRTUAL_IO io{memLength, memSeek, memRead, memWrite, memTell};
    SF_INFO info{};
    SNDFILE* f = sf_open_virtual(&io, SFM_READ, &info, &mem);
    if (!f) {
        error = unreadable(path, data, sf_strerror(nullptr));
        return false;
    }
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(f);
        error = path + ": no audio channels or no sample rate";
        return false;
    }
    // Mix down to mono, in the reader's normalised range -1..1.
    std::vector<double> frame(static_cast<size_t>(info.channels));
    std::vector<float> mono;
    mono.reserve(info.frames > 0 ? static_cast<size_t>(info.frames) : 0);
    std::vector<double> block(static_cast<size_t>(info.channels) * 4096);
    sf_count_t got;
    while ((got = sf_readf_double(f, block.data(), 4096)) > 0) {
        for (sf_count_t i = 0; i < got; ++i) {
            double sum = 0.0;
            for (int c = 0; c < info.channels; ++c) {
                sum += block[static_cast<size_t>(i * info.channels + c)];
            }
            mono.push_back(static_cast<float>(sum / info.channels));
        }
    }
    const int readError = sf_error(f);
    sf_close(f);
    if (readError != SF_ERR_NO_ERROR) {
        error = path + ": " + sf_error_number(readError);
        return false;
    }

    if (info.samplerate == TargetRate) {
        pcm.resize(mono.size());
        for (size_t i = 0; i < mono.size(); ++i) pcm[i] = toSample(mono[i]);
    } else {
#ifdef BRIMVOX_HAVE_SAMPLERATE
        const double ratio = static_cast<double>(TargetRate) / info.samplerate;
        std::vector<float> out(
            static_cast<size_t>(std::ceil(static_cast<double>(mono.size()) * ratio)) + 16);
        SRC_DATA src{};
        src.data_in = mono.data();
        src.input_frames = static_cast<long>(mono.size());
        src.data_out = out.data();
        src.output_frames = static_cast<long>(out.size());
        src.src_ratio = ratio;
        src.end_of_input = 1;
        const int rc = mono.empty() ? 0 : src_simple(&src, SRC_SINC_MEDIUM_QUALITY, 1);
        if (rc != 0) {
            error = path + ": resampling failed: " + src_strerror(rc);
            return false;
        }
        pcm.resize(static_cast<size_t>(src.output_frames_gen));
        for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = toSample(out[i]);
#else
        error = path + ": sample rate " + std::to_string(info.samplerate) +
                " Hz; this build reads only 8000 Hz input";
        return false;
#endif
    }
    if (info.samplerate != TargetRate || info.channels != 1) {
        note = "converted " + std::to_string(info.channels) + " channel(s) at " +
               std::to_string(info.samplerate) + " Hz to mono at 8000 Hz";
    }
    return true;
}
#else
uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Builds without libsndfile read plain PCM WAV: 16-bit mono at 8000 Hz.
bool soundFile(const std::string& path, const std::string& data, std::vector<int16_t>& pcm,
               std::string&, std::string& error) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    if (data.size() < 12 || std::memcmp(p, "RIFF", 4) != 0 || std::memcmp(p + 8, "WAVE", 4) != 0) {
        const std::string kind = containerName(data);
        error = kind.empty() ? notSoundFile(path)
                             : path + ": " + kind +
                                   " file: this build reads only WAV (16-bit mono 8000 Hz) and, "
                                   "with --raw, headerless PCM";
        return false;
    }
    bool haveFormat = false;
    size_t at = 12;
    while (at + 8 <= data.size()) {
        const uint32_t size = le32(p + at + 4);
        const size_t body = at + 8;
        const size_t avail = data.size() - body;
        if (std::memcmp(p + at, "fmt ", 4) == 0) {
            if (size < 16 || avail < 16) break;
            const uint16_t format = le16(p + body), channels = le16(p + body + 2);
            const uint32_t rate = le32(p + body + 4);
            const uint16_t bits = le16(p + body + 14);
            if (format != 1 || channels != 1 || rate != TargetRate || bits != 16) {
                error = path + ": this build reads only 16-bit mono PCM WAV at 8000 Hz";
                return false;
            }
            haveFormat = true;
        } else if (std::memcmp(p + at, "data", 4) == 0) {
            if (!haveFormat) break;
            std::string note;
            rawSamples(data.substr(body, size < avail ? size : avail), pcm, note);
            return true;
        }
        if (size > avail) break;
        at = body + size + (size & 1);
    }
    error = unreadable(path, data, "no format or data chunk");
    return false;
}
#endif

}  // namespace

const char* const InputFormatsText =
#ifdef BRIMVOX_HAVE_SNDFILE
    "any sound file libsndfile reads (WAV, FLAC, Ogg, AIFF, MP3, ...; any sample rate and\n"
    "channel count: mixed down to mono and resampled to 8000 Hz)";
#else
    "a WAV file of 16-bit mono PCM at 8000 Hz (this Windows build has no libsndfile, so it\n"
    "reads no other sound file types)";
#endif

bool readAll(const std::string& path, std::string& data, std::string& error) {
    const bool useStdin = path == "-";
    FILE* f = useStdin ? stdin : std::fopen(path.c_str(), "rb");
    if (!f) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    data.clear();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    const bool failed = std::ferror(f) != 0;
    if (failed) error = (useStdin ? std::string("stdin") : path) + ": " + std::strerror(errno);
    if (!useStdin) std::fclose(f);
    return !failed;
}

std::string containerName(const std::string& data) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const size_t n = data.size();
    auto starts = [&](const char* magic, size_t at = 0) {
        const size_t len = std::strlen(magic);
        return n >= at + len && std::memcmp(p + at, magic, len) == 0;
    };
    if (starts("RIFF") && starts("WAVE", 8)) return "WAV";
    if (starts("RF64") || starts("BW64")) return "WAV (RF64)";
    if (starts("RIFF")) return "RIFF";
    if (starts("fLaC")) return "FLAC";
    if (starts("OggS")) return "Ogg";
    if (starts("ID3")) return "MP3";
    if (starts("FORM") && (starts("AIFF", 8) || starts("AIFC", 8))) return "AIFF";
    if (starts("FORM")) return "IFF";
    if (starts(".snd")) return "AU";
    if (starts("caff")) return "CAF";
    // An MPEG audio frame header: 11 sync bits, a valid version, layer, bit rate and rate.
    if (n >= 4 && p[0] == 0xFF && (p[1] & 0xE0) == 0xE0 && (p[1] & 0x18) != 0x08 &&
        (p[1] & 0x06) != 0 && (p[2] & 0xF0) != 0xF0 && (p[2] & 0x0C) != 0x0C) {
        return "MPEG audio";
    }
    return "";
}

void rawSamples(const std::string& data, std::vector<int16_t>& pcm, std::string& note) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    pcm.resize(data.size() / 2);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(le16(p + 2 * i));
    note = data.size() % 2 != 0 ? "ignoring 1 trailing byte (not a whole 16-bit sample)" : "";
}

bool soundFileSamples(const std::string& name, const std::string& data, std::vector<int16_t>& pcm,
                      std::string& note, std::string& error) {
    note.clear();
    return soundFile(name, data, pcm, note, error);
}

}  // namespace brimvox::cli
