#include "sound_reader.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "file.h"

#ifdef BRIMVOX_HAVE_SNDFILE
#include <sndfile.h>
#endif
#ifdef BRIMVOX_HAVE_SAMPLERATE
#include <samplerate.h>
#endif

namespace brimvox {

namespace {

constexpr int TargetRate = SoundReader::SampleRate;
constexpr size_t HeadKeep = 1 << 20;  // bytes of a pipe kept for seeks back into its head
constexpr size_t BlockFrames = 4096;  // input frames per block
constexpr size_t MaxBlockValues = 1 << 16;

uint16_t le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t le64(const unsigned char* p) {
    return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
}

std::string secondsText(double samples, double rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", samples / rate);
    return text;
}

// Bytes from a regular file (seekable, known length), a pipe (read as it arrives; its first
// HeadKeep bytes are kept so that a reader may seek back into the header) or memory.
class ByteSource {
  public:
    ~ByteSource() { closeFd(); }

    bool openPath(const std::string& path, std::string& error) {
        if (path == "-") {
            fd = files::StdinDescriptor;
        } else {
            fd = files::openForReading(path);
            ownFd = fd >= 0;
        }
        if (fd < 0) {
            error = std::strerror(errno);
            return false;
        }
        const files::Status status = files::statusOf(fd);
        if (status.directory) {
            error = std::strerror(EISDIR);
            return false;
        }
        if (status.regular && files::seekTo(fd, 0) == 0) {
            seekable = true;
            size = status.size;
        }
        return true;
    }

    void openMemory(const void* data, size_t bytes) {
        mem = static_cast<const unsigned char*>(data);
        size = static_cast<int64_t>(bytes);
        seekable = true;
    }

    // Reads up to n bytes at the position; fewer only at the end or on an error.
    size_t read(void* out, size_t n) {
        auto* dst = static_cast<unsigned char*>(out);
        size_t done = 0;
        if (mem) {
            const int64_t avail = std::max<int64_t>(0, size - pos);
            done = static_cast<size_t>(std::min<int64_t>(avail, static_cast<int64_t>(n)));
            if (done) std::memcpy(dst, mem + pos, done);
        } else if (seekable) {
            if (fileOffset != pos && files::seekTo(fd, pos) != pos) return fail(errno);
            fileOffset = pos;
            while (done < n) {
                const long got = readFd(dst + done, n - done);
                if (got <= 0) break;
                done += static_cast<size_t>(got);
                fileOffset += got;
            }
        } else {
            done = readStream(dst, n);
        }
        pos += static_cast<int64_t>(done);
        consumed = std::max(consumed, pos);
        return done;
    }

    // Moves the position; false when a pipe would have to go back beyond its kept head.
    bool seek(int64_t to) {
        if (to < 0) return false;
        if (!seekable && to < streamPos && to >= static_cast<int64_t>(head.size())) return false;
        pos = to;
        return true;
    }

    // Copies the rest of a pipe into an anonymous temporary file and reads on from there, for
    // containers that must seek all over their file. Memory stays constant; the output then
    // waits for the end of the input.
    bool spool() {
        if (seekable || mem) return true;
        std::FILE* tmp = std::tmpfile();
        if (!tmp) return fail(errno), false;
        bool ok = std::fwrite(head.data(), 1, head.size(), tmp) == head.size();
        unsigned char chunk[65536];
        int64_t total = static_cast<int64_t>(head.size());
        if (streamPos > total) ok = false;  // bytes past the head were already passed on
        while (ok && !ended) {
            const long got = pullSome(chunk, sizeof chunk);
            if (got < 0) ok = false;
            if (got <= 0) break;
            ok = std::fwrite(chunk, 1, static_cast<size_t>(got), tmp) == static_cast<size_t>(got);
            total += got;
        }
        if (!ok || std::fflush(tmp) != 0) {
            if (err == 0) err = errno ? errno : EIO;
            std::fclose(tmp);
            return false;
        }
        closeFd();
        spoolFile = tmp;
        fd = fileno(tmp);
        seekable = true;
        size = total;
        fileOffset = -1;
        head.clear();
        head.shrink_to_fit();
        return true;
    }

    int64_t position() const { return pos; }
    int64_t length() const { return size; }  // -1 when unknown
    bool isSeekable() const { return seekable; }
    bool isStream() const { return !seekable; }
    int64_t bytesConsumed() const { return consumed; }
    int errorCode() const { return err; }
    // Ends the input as if it were closed: a pipe whose producer is interrupted.
    void setStopFlag(const volatile int* flag) { stop = flag; }

  private:
    size_t fail(int e) {
        err = e;
        return 0;
    }

    long readFd(unsigned char* dst, size_t n) {
        for (;;) {
            if (stop && *stop) return 0;
            const long got = files::readOnce(fd, dst, n);
            if (got >= 0) return got;
            if (errno == EINTR) continue;
            err = errno;
            return -1;
        }
    }

    // Reads from a pipe: from the kept head, or onwards from the pipe (skipping forward when
    // the position is ahead of it).
    size_t readStream(unsigned char* dst, size_t n) {
        size_t done = 0;
        const int64_t kept = static_cast<int64_t>(head.size());
        if (pos < kept) {
            done = static_cast<size_t>(std::min<int64_t>(kept - pos, static_cast<int64_t>(n)));
            std::memcpy(dst, head.data() + pos, done);
        }
        const int64_t at = pos + static_cast<int64_t>(done);
        if (done == n || ended) return done;
        if (at < streamPos) return fail(ESPIPE), done;  // behind the pipe: cannot go back
        unsigned char skip[4096];
        while (streamPos < at && !ended) {  // skip forward
            const size_t want = static_cast<size_t>(std::min<int64_t>(at - streamPos, sizeof skip));
            if (!pull(skip, want)) break;
        }
        while (done < n && !ended && streamPos == at + static_cast<int64_t>(done)) {
            const long got = pullSome(dst + done, n - done);
            if (got <= 0) break;
            done += static_cast<size_t>(got);
        }
        return done;
    }

    // One read from the pipe; what arrives is kept when it belongs to the head.
    long pullSome(unsigned char* dst, size_t n) {
        const long got = readFd(dst, n);
        if (got <= 0) {
            ended = true;
            return got;
        }
        if (streamPos < static_cast<int64_t>(HeadKeep) &&
            streamPos == static_cast<int64_t>(head.size())) {
            const size_t keep = std::min<size_t>(static_cast<size_t>(got),
                                                 HeadKeep - static_cast<size_t>(streamPos));
            head.insert(head.end(), dst, dst + keep);
        }
        streamPos += got;
        return got;
    }

    bool pull(unsigned char* dst, size_t n) {
        size_t done = 0;
        while (done < n) {
            const long got = pullSome(dst + done, n - done);
            if (got <= 0) return false;
            done += static_cast<size_t>(got);
        }
        return true;
    }

    void closeFd() {
        if (spoolFile) {
            std::fclose(spoolFile);
            spoolFile = nullptr;
            fd = -1;
            return;
        }
        if (ownFd && fd >= 0) files::closeDescriptor(fd);
        fd = -1;
    }

    int fd = -1;
    bool ownFd = false;
    std::FILE* spoolFile = nullptr;
    const unsigned char* mem = nullptr;
    bool seekable = false;
    int64_t size = -1;
    int64_t pos = 0;
    int64_t fileOffset = -1;
    int64_t consumed = 0;
    int err = 0;
    const volatile int* stop = nullptr;
    // pipes
    std::vector<unsigned char> head;
    int64_t streamPos = 0;
    bool ended = false;
};

// The header of a WAV (RIFF or RF64) file, up to the start of its data chunk.
struct WavLayout {
    bool found = false;  // a fmt and a data chunk were found
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint16_t bits = 0;
    int64_t dataOffset = 0;
    uint64_t dataSize = 0;
    bool sizeUnknown = false;  // declared 0 or "unknown" (streamed)
};

WavLayout parseWav(ByteSource& src) {
    WavLayout w;
    unsigned char h[12];
    src.seek(0);
    if (src.read(h, 12) != 12) return w;
    const bool rf64 = std::memcmp(h, "RF64", 4) == 0 || std::memcmp(h, "BW64", 4) == 0;
    if ((!rf64 && std::memcmp(h, "RIFF", 4) != 0) || std::memcmp(h + 8, "WAVE", 4) != 0) return w;
    uint64_t ds64Data = 0;
    bool haveFormat = false;
    int64_t at = 12;
    while (at < static_cast<int64_t>(HeadKeep)) {
        unsigned char c[8];
        if (!src.seek(at) || src.read(c, 8) != 8) return w;
        const uint32_t size = le32(c + 4);
        const int64_t body = at + 8;
        if (std::memcmp(c, "ds64", 4) == 0 && size >= 16) {
            unsigned char d[16];
            if (src.read(d, 16) != 16) return w;
            ds64Data = le64(d + 8);
        } else if (std::memcmp(c, "fmt ", 4) == 0 && size >= 16) {
            unsigned char f[40] = {};
            const size_t want = std::min<size_t>(size, sizeof f);
            if (src.read(f, want) != want) return w;
            w.formatTag = le16(f);
            w.channels = le16(f + 2);
            w.rate = le32(f + 4);
            w.bits = le16(f + 14);
            if (w.formatTag == 0xFFFE && want >= 26) w.formatTag = le16(f + 24);  // extensible
            haveFormat = true;
        } else if (std::memcmp(c, "data", 4) == 0) {
            if (!haveFormat) return w;
            w.found = true;
            w.dataOffset = body;
            w.dataSize = size;
            if (rf64 && size == 0xFFFFFFFFu) w.dataSize = ds64Data;
            w.sizeUnknown =
                w.dataSize == 0 || (!rf64 && size == 0xFFFFFFFFu) || w.dataSize == ~0ull;
            return w;
        }
        at = body + size + (size & 1);
    }
    return w;
}

#ifdef BRIMVOX_HAVE_SNDFILE
// The file types libsndfile reads, by their usual extensions: "wav, aiff, au, ...".
std::string readableTypes() {
    std::string list;
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO format{};
        format.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &format, sizeof format) != 0) continue;
        if (format.format == SF_FORMAT_RAW || !format.extension) continue;
        std::string ext = format.extension;
        if (format.format == SF_FORMAT_OGG) ext = "ogg (Vorbis, Opus)";
        if (format.format == SF_FORMAT_MPEG) ext = "mp3";
        if (format.format == SF_FORMAT_MPC2K) ext = "mpc2k";  // not the other codec's .mpc
        if (list.find(ext) != std::string::npos) continue;
        list += (list.empty() ? "" : ", ") + ext;
    }
    return list;
}

// Containers libsndfile reads from a pipe front to back; others are spooled first.
bool streamable(const unsigned char* p, size_t n) {
    if (n >= 4 && std::memcmp(p, "fLaC", 4) == 0) return true;
    const std::string kind = containerName(p, n);
    return kind == "MP3" || kind == "MPEG audio";
}

// libsndfile reads through these callbacks; positions are relative to `base` (the start of a
// WAV data chunk read as raw samples, or 0).
struct VirtualFile {
    ByteSource* src;
    int64_t base;
    int64_t end;  // the end of a WAV data chunk of known size, or -1
};

sf_count_t vLength(void* user) {
    auto* v = static_cast<VirtualFile*>(user);
    const int64_t len = v->src->length();
    // A pipe's length is unknown: it is taken as unbounded, and its reads end where it ends.
    if (len < 0) return static_cast<sf_count_t>(1) << 60;
    if (v->end >= 0) return static_cast<sf_count_t>(std::min(len, v->end) - v->base);
    return static_cast<sf_count_t>(len - v->base);
}
sf_count_t vSeek(sf_count_t offset, int whence, void* user) {
    auto* v = static_cast<VirtualFile*>(user);
    int64_t to = offset;
    if (whence == SEEK_CUR) to = v->src->position() - v->base + offset;
    if (whence == SEEK_END) {
        if (v->src->length() < 0) return -1;
        to = v->src->length() - v->base + offset;
    }
    if (to < 0 || !v->src->seek(to + v->base)) return -1;
    return to;
}
sf_count_t vRead(void* ptr, sf_count_t count, void* user) {
    auto* v = static_cast<VirtualFile*>(user);
    if (v->end >= 0) count = std::min<sf_count_t>(count, v->end - v->src->position());
    if (count <= 0) return 0;
    return static_cast<sf_count_t>(v->src->read(ptr, static_cast<size_t>(count)));
}
sf_count_t vWrite(const void*, sf_count_t, void*) {
    return 0;
}
sf_count_t vTell(void* user) {
    auto* v = static_cast<VirtualFile*>(user);
    return v->src->position() - v->base;
}

int16_t toSample(double x) {
    const double v = x * 32768.0;
    if (v >= 32767.0) return 32767;
    if (v <= -32768.0) return -32768;
    return static_cast<int16_t>(v >= 0.0 ? v + 0.5 : v - 0.5);
}

// The libsndfile raw subtype of a WAV data chunk, or 0 when it is none we read as raw.
int rawSubtype(const WavLayout& w) {
    if (w.formatTag == 1) {
        switch (w.bits) {
            case 8:
                return SF_FORMAT_PCM_U8;
            case 16:
                return SF_FORMAT_PCM_16;
            case 24:
                return SF_FORMAT_PCM_24;
            case 32:
                return SF_FORMAT_PCM_32;
        }
    } else if (w.formatTag == 3) {
        if (w.bits == 32) return SF_FORMAT_FLOAT;
        if (w.bits == 64) return SF_FORMAT_DOUBLE;
    }
    return 0;
}
#else
std::string readableTypes() {
    return "wav (16-bit mono 8000 Hz), or raw samples with --raw";
}
#endif

}  // namespace

struct SoundReader::State {
    ByteSource src;
    std::string name;
    Kind kind = Kind::Raw;
    std::string error;
    bool failed = false;
    bool ended = false;
    std::string container;
    std::string conversion;
    std::vector<std::string> remarks;
    uint64_t samples = 0;
    bool unknownType = false;  // the sound file was refused as none of the types we know

    // raw samples
    int64_t rawLimit = -1;  // bytes of samples to read (a WAV data chunk), -1 = to the end
    int64_t rawStart = 0;
    bool oddByte = false;
    int carry = -1;  // a byte waiting for the other half of its sample

    // converted samples waiting to be taken
    std::vector<int16_t> pending;
    size_t pendingAt = 0;

#ifdef BRIMVOX_HAVE_SNDFILE
    VirtualFile vf{nullptr, 0, -1};
    SNDFILE* sf = nullptr;
    SF_INFO info{};
    std::vector<double> block;
    std::vector<float> mono;
    std::vector<float> resampled;
    sf_count_t framesRead = 0;
    int64_t expectFrames = -1;  // the length the header announces, to check the end against
    bool sfEnded = false;
    bool direct16 = false;  // 16-bit PCM, mono, 8000 Hz: its samples need no conversion
#endif
#ifdef BRIMVOX_HAVE_SAMPLERATE
    SRC_STATE* resampler = nullptr;
    double ratio = 1.0;
    bool flushed = false;
#endif

    ~State() {
        closeAll();
    }

    void closeAll() {
#ifdef BRIMVOX_HAVE_SNDFILE
        if (sf) sf_close(sf);
        sf = nullptr;
#endif
#ifdef BRIMVOX_HAVE_SAMPLERATE
        if (resampler) src_delete(resampler);
        resampler = nullptr;
#endif
    }

    bool setError(const std::string& text) {
        error = name + ": " + text;
        failed = true;
        return false;
    }

    bool open(Kind k, std::string& err) {
        kind = k;
        unsigned char peek[12] = {};
        const size_t got = src.read(peek, sizeof peek);
        src.seek(0);
        if (src.errorCode() != 0) {
            err = name + ": " + std::strerror(src.errorCode());
            return false;
        }
        if (kind == Kind::RawUnlessContainer) {
            if (isMarkedContainer(peek, got)) {
                container = containerName(peek, got);
                err = name + ": looks like a " + container + " file";
                return false;
            }
            kind = Kind::Raw;
        }
        if (kind == Kind::Raw) return true;
        const bool orRaw = kind == Kind::SoundFileOrRaw;
        kind = Kind::SoundFile;
        if (!openSound(peek, got)) {
            if (orRaw && unknownType) {
                // Bytes of no type we know: taken as headerless samples.
                closeAll();
                error.clear();
                failed = false;
                src.seek(0);
                kind = Kind::Raw;
                return true;
            }
            err = error;
            return false;
        }
        return true;
    }

    std::string refusal(const unsigned char* peek, size_t got, const std::string& why) {
        const std::string kindName = containerName(peek, got);
        unknownType = kindName.empty();
        if (kindName.empty()) return "not a sound file";
        if (kindName == "MP4/M4A" || kindName == "Matroska/WebM") {
            return kindName + " files are not read here; convert to one of " + readableTypes();
        }
        return kindName + " file that cannot be read: " + why;
    }

    bool checkWavSize(const WavLayout& w) {
        if (w.sizeUnknown || src.length() < 0) return true;
        const int64_t avail = src.length() - w.dataOffset;
        if (static_cast<int64_t>(w.dataSize) > avail && avail >= 0) {
            const double frameBytes = std::max(1, w.channels * ((w.bits + 7) / 8));
            remarks.push_back(
                "ends after " + secondsText(static_cast<double>(avail) / frameBytes, w.rate) +
                " of the " + secondsText(static_cast<double>(w.dataSize) / frameBytes, w.rate) +
                " its header announces (truncated file?)");
        }
        return true;
    }

#ifdef BRIMVOX_HAVE_SNDFILE
    bool openSound(const unsigned char* peek, size_t got) {
        const WavLayout wav = parseWav(src);
        src.seek(0);
        vf = VirtualFile{&src, 0, -1};
        SF_VIRTUAL_IO io{vLength, vSeek, vRead, vWrite, vTell};
        info = SF_INFO{};
        const bool pcmWav = wav.found && rawSubtype(wav) != 0 && wav.channels > 0 &&
                            wav.channels <= 1024 && wav.rate > 0;
        // A WAV stream, or a WAV whose header gives no length, is read as the raw samples of
        // its data chunk: to the end of the chunk, or to the end of the input.
        const bool rawData = pcmWav && (wav.sizeUnknown || src.isStream());
        if (rawData) {
            vf.base = wav.dataOffset;
            src.seek(wav.dataOffset);
            info.format = SF_FORMAT_RAW | rawSubtype(wav) | SF_ENDIAN_LITTLE;
            info.channels = wav.channels;
            info.samplerate = static_cast<int>(std::min<uint32_t>(wav.rate, 1u << 30));
            if (!wav.sizeUnknown) {
                vf.end = wav.dataOffset + static_cast<int64_t>(wav.dataSize);
                expectFrames = static_cast<int64_t>(
                    wav.dataSize / static_cast<uint64_t>(wav.channels * ((wav.bits + 7) / 8)));
            }
        } else if (src.isStream() && !streamable(peek, got) && !src.spool()) {
            return setError(std::strerror(src.errorCode()));
        }
        sf = sf_open_virtual(&io, SFM_READ, &info, &vf);
        if (!sf) {
            if (src.errorCode() != 0) return setError(std::strerror(src.errorCode()));
            return setError(refusal(peek, got, sf_strerror(nullptr)));
        }
        if (wav.found && !rawData) checkWavSize(wav);
        if (info.channels < 1 || info.samplerate < 1) {
            return setError("no audio channels or no sample rate");
        }
        const int major = info.format & SF_FORMAT_TYPEMASK;
        if (!rawData && info.frames > 0 && info.frames < SF_COUNT_MAX && major != SF_FORMAT_WAV &&
            major != SF_FORMAT_RAW) {
            expectFrames = info.frames;  // checked against what the file really holds
        }
        const size_t frames = std::max<size_t>(
            1, std::min(BlockFrames, MaxBlockValues / static_cast<size_t>(info.channels)));
        block.resize(frames * static_cast<size_t>(info.channels));
        mono.reserve(frames);
        if (info.samplerate != TargetRate) {
#ifdef BRIMVOX_HAVE_SAMPLERATE
            ratio = static_cast<double>(TargetRate) / info.samplerate;
            if (src_is_valid_ratio(ratio) == 0) {
                return setError("sample rate " + std::to_string(info.samplerate) +
                                " Hz cannot be converted to 8000 Hz");
            }
            int rc = 0;
            resampler = src_new(SRC_SINC_MEDIUM_QUALITY, 1, &rc);
            if (!resampler) return setError(std::string("resampling failed: ") + src_strerror(rc));
            resampled.resize(static_cast<size_t>(std::ceil(static_cast<double>(frames) * ratio)) +
                             64);
#else
            return setError("sample rate " + std::to_string(info.samplerate) +
                            " Hz; this build reads only 8000 Hz input");
#endif
        }
        direct16 = info.channels == 1 && info.samplerate == TargetRate &&
                   (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
        if (info.samplerate != TargetRate || info.channels != 1) {
            conversion = "converted " + std::to_string(info.channels) + " channel(s) at " +
                         std::to_string(info.samplerate) + " Hz to mono at 8000 Hz";
        }
        return true;
    }

    // libsndfile gave no more samples: false, with the error if that was one, or with a remark
    // when the file holds less than its header announces.
    bool endOfSound() {
        sfEnded = true;
        const int e = sf_error(sf);
        if (src.errorCode() != 0) return setError(std::strerror(src.errorCode()));
        if (e != SF_ERR_NO_ERROR) return setError(sf_error_number(e));
        if (expectFrames >= 0 && framesRead < expectFrames) {
            remarks.push_back(
                "ends after " + secondsText(static_cast<double>(framesRead), info.samplerate) +
                " of the " + secondsText(static_cast<double>(expectFrames), info.samplerate) +
                " its header announces (truncated file?)");
        }
        return false;
    }

    // Reads one block of 16-bit mono samples at 8000 Hz straight into `pending`: the same
    // samples the conversion to -1..1 and back gives, without its work.
    bool readDirect() {
        if (sfEnded) return false;
        pending.resize(block.size());
        const sf_count_t got =
            sf_readf_short(sf, pending.data(), static_cast<sf_count_t>(pending.size()));
        if (got <= 0) {
            pending.clear();
            return endOfSound();
        }
        framesRead += got;
        pending.resize(static_cast<size_t>(got));
        return true;
    }

    // Reads one block from libsndfile, mixed down to mono in the range -1..1.
    bool readBlock() {
        mono.clear();
        if (sfEnded) return false;
        const auto want =
            static_cast<sf_count_t>(block.size() / static_cast<size_t>(info.channels));
        const sf_count_t got = sf_readf_double(sf, block.data(), want);
        if (got <= 0) return endOfSound();
        framesRead += got;
        for (sf_count_t i = 0; i < got; ++i) {
            double sum = 0.0;
            for (int c = 0; c < info.channels; ++c) {
                sum += block[static_cast<size_t>(i * info.channels + c)];
            }
            mono.push_back(static_cast<float>(sum / info.channels));
        }
        return true;
    }

    // Refills `pending` with converted samples; false at the end or on an error.
    bool refill() {
        pending.clear();
        pendingAt = 0;
        if (direct16) return readDirect();
#ifdef BRIMVOX_HAVE_SAMPLERATE
        if (resampler) {
            while (pending.empty()) {
                if (flushed) return false;
                const bool more = readBlock();
                if (failed) return false;
                const float* in = mono.data();
                long left = static_cast<long>(mono.size());
                do {
                    SRC_DATA d{};
                    d.data_in = in;
                    d.input_frames = left;
                    d.data_out = resampled.data();
                    d.output_frames = static_cast<long>(resampled.size());
                    d.src_ratio = ratio;
                    d.end_of_input = more ? 0 : 1;
                    const int rc = src_process(resampler, &d);
                    if (rc != 0)
                        return setError(std::string("resampling failed: ") + src_strerror(rc));
                    for (long i = 0; i < d.output_frames_gen; ++i) {
                        pending.push_back(toSample(resampled[static_cast<size_t>(i)]));
                    }
                    in += d.input_frames_used;
                    left -= d.input_frames_used;
                    if (!more && d.output_frames_gen == 0 && left == 0) flushed = true;
                } while (left > 0 || (!more && !flushed));
            }
            return true;
        }
#endif
        if (!readBlock()) return false;
        pending.resize(mono.size());
        for (size_t i = 0; i < mono.size(); ++i) pending[i] = toSample(mono[i]);
        return true;
    }
#else
    // Builds without libsndfile read plain PCM WAV: 16-bit mono at 8000 Hz.
    bool openSound(const unsigned char* peek, size_t got) {
        const WavLayout wav = parseWav(src);
        const bool riff =
            got >= 12 && std::memcmp(peek, "RIFF", 4) == 0 && std::memcmp(peek + 8, "WAVE", 4) == 0;
        if (!riff && !(got >= 4 && std::memcmp(peek, "RF64", 4) == 0)) {
            const std::string kindName = containerName(peek, got);
            unknownType = kindName.empty();
            return setError(kindName.empty()
                                ? "not a sound file"
                                : kindName +
                                      " file: this build reads only WAV (16-bit mono 8000 Hz) "
                                      "and, with --raw, headerless PCM");
        }
        if (!wav.found) return setError("WAV file that cannot be read: no format or data chunk");
        if (wav.formatTag != 1 || wav.channels != 1 || wav.rate != TargetRate || wav.bits != 16) {
            return setError("this build reads only 16-bit mono PCM WAV at 8000 Hz");
        }
        checkWavSize(wav);
        rawStart = wav.dataOffset;
        rawLimit = wav.sizeUnknown ? -1 : static_cast<int64_t>(wav.dataSize);
        src.seek(rawStart);
        kind = Kind::Raw;
        return true;
    }

    bool refill() {
        return false;
    }
#endif

    bool refillRaw() {
        pending.clear();
        pendingAt = 0;
        unsigned char bytes[16384];
        size_t have = 0;
        if (carry >= 0) bytes[have++] = static_cast<unsigned char>(carry);
        carry = -1;
        size_t want = sizeof bytes - have;
        if (rawLimit >= 0) {
            const int64_t left = rawStart + rawLimit - src.position();
            want = static_cast<size_t>(
                std::max<int64_t>(0, std::min<int64_t>(left, static_cast<int64_t>(want))));
        }
        have += want ? src.read(bytes + have, want) : 0;
        if (src.errorCode() != 0) return setError(std::strerror(src.errorCode()));
        if (have % 2 != 0) carry = bytes[--have];  // half a sample: completed by the next read
        if (have == 0) {
            oddByte = carry >= 0;
            return false;
        }
        const size_t n = have / 2;
        pending.resize(n);
        for (size_t i = 0; i < n; ++i) pending[i] = static_cast<int16_t>(le16(bytes + 2 * i));
        return true;
    }
};

SoundReader::SoundReader() = default;
SoundReader::~SoundReader() = default;

bool SoundReader::openFile(const std::string& path, const std::string& name, Kind kind,
                           std::string& error) {
    close();
    state.reset(new State);
    state->name = name;
    std::string why;
    if (!state->src.openPath(path, why)) {
        error = name + ": " + why;
        state.reset();
        return false;
    }
    return start(kind, error);
}

bool SoundReader::start(Kind kind, std::string& error) {
    if (state->open(kind, error)) return true;
    // What the refusal found stays known after the state is gone.
    if (!state->container.empty()) containerSeen = state->container;
    unknownSeen = state->unknownType;
    state.reset();
    return false;
}

bool SoundReader::openMemory(const void* data, size_t size, const std::string& name, Kind kind,
                             std::string& error) {
    close();
    state.reset(new State);
    state->name = name;
    state->src.openMemory(data, size);
    return start(kind, error);
}

void SoundReader::setStopFlag(const volatile int* flag) {
    stopFlag = flag;
    if (state) state->src.setStopFlag(flag);
}

size_t SoundReader::read(int16_t* out, size_t count) {
    if (!state || state->failed) return 0;
    State& s = *state;
    s.src.setStopFlag(stopFlag);
    size_t done = 0;
    while (done < count) {
        if (s.pendingAt == s.pending.size()) {
            if (s.ended) break;
            const bool more = s.kind == Kind::Raw ? s.refillRaw() : s.refill();
            if (!more) {
                s.ended = true;
                break;
            }
        }
        const size_t n = std::min(count - done, s.pending.size() - s.pendingAt);
        std::copy_n(s.pending.data() + s.pendingAt, n, out + done);
        s.pendingAt += n;
        done += n;
    }
    s.samples += done;
    return done;
}

bool SoundReader::failed() const {
    return state && state->failed;
}

const std::string& SoundReader::error() const {
    static const std::string none;
    return state ? state->error : none;
}

const std::string& SoundReader::container() const {
    return containerSeen;
}

bool SoundReader::unknownType() const {
    return unknownSeen;
}

const std::string& SoundReader::conversion() const {
    static const std::string none;
    return state ? state->conversion : none;
}

std::string SoundReader::remarks() const {
    if (!state) return "";
    std::string text;
    for (const std::string& r : state->remarks) text += (text.empty() ? "" : "; ") + r;
    if (state->oddByte) {
        text += std::string(text.empty() ? "" : "; ") +
                "ignoring 1 trailing byte (not a whole 16-bit sample)";
    }
    return text;
}

double SoundReader::progress() const {
    if (!state || state->src.length() <= 0) return -1.0;
    return std::min(1.0, static_cast<double>(state->src.bytesConsumed()) /
                             static_cast<double>(state->src.length()));
}

bool SoundReader::isStream() const {
    return state && state->src.isStream();
}

uint64_t SoundReader::samplesRead() const {
    return state ? state->samples : 0;
}

void SoundReader::close() {
    state.reset();
    containerSeen.clear();
    unknownSeen = false;
}

const char* const SoundReaderFormats =
#ifdef BRIMVOX_HAVE_SNDFILE
    "any sound file libsndfile reads (WAV, FLAC, Ogg Vorbis and Opus, AIFF, MP3, ...; any\n"
    "sample rate and channel count: mixed down to mono and resampled to 8000 Hz)";
#else
    "a WAV file of 16-bit mono PCM at 8000 Hz (this Windows build has no libsndfile, so it\n"
    "reads no other sound file types)";
#endif

std::string containerName(const void* data, size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
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
    if (starts("ftyp", 4)) return "MP4/M4A";
    if (starts("\x1a\x45\xdf\xa3")) return "Matroska/WebM";
    // An MPEG audio frame header: 11 sync bits, a valid version, layer, bit rate and rate.
    if (n >= 4 && p[0] == 0xFF && (p[1] & 0xE0) == 0xE0 && (p[1] & 0x18) != 0x08 &&
        (p[1] & 0x06) != 0 && (p[2] & 0xF0) != 0xF0 && (p[2] & 0x0C) != 0x0C) {
        return "MPEG audio";
    }
    return "";
}

bool isMarkedContainer(const void* data, size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    if (n < 4) return false;
    for (const char* magic : {"RIFF", "RF64", "BW64", "fLaC", "OggS", "FORM"}) {
        if (std::memcmp(p, magic, 4) == 0) return true;
    }
    return false;
}

}  // namespace brimvox
