#include "sound_io.h"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "sound_reader.h"
#include "stream_codec.h"

namespace brimvox::py {

namespace {

constexpr sf_count_t ReadRows = 4096;
constexpr size_t ReadBytes = FrameBytes * 4096;

FileError systemError(const std::string& path) {
    const int e = errno;
    return FileError(e, std::strerror(e), path);
}

// A file descriptor closed on every path out.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

struct SoundFile {
    SNDFILE* f = nullptr;
    ~SoundFile() {
        if (f) sf_close(f);
    }
};

// Opens a sound file on a duplicate of `fd` that libsndfile owns. libsndfile closes the
// descriptor it was given when the open fails, even when asked not to; closing ours as well
// would then close whatever another thread had opened under the same number meanwhile.
SNDFILE* openSound(int fd, int mode, SF_INFO& info, const std::string& path) {
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) throw systemError(path);
    return sf_open_fd(own, mode, &info, SF_TRUE);
}

void writeAll(int fd, const char* data, size_t size, const std::string& path) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw systemError(path);
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Flushes the file to the disk and closes it, so a rename afterwards publishes whole data.
void syncAndClose(Descriptor& d, const std::string& path) {
    if (::fsync(d.fd) != 0 && errno != EINVAL && errno != EROFS) throw systemError(path);
    const int fd = d.fd;
    d.fd = -1;
    if (::close(fd) != 0) throw systemError(path);
}

size_t readSome(int fd, uint8_t* buf, size_t size, const std::string& path) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buf + got, size - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw systemError(path);
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

int formatOf(const std::string& type) {
    if (type == "wav") return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    if (type == "flac") return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    if (type == "ogg") return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    if (type == "opus") return SF_FORMAT_OGG | SF_FORMAT_OPUS;
    return 0;
}

}  // namespace

std::string containerName(const uint8_t* p, size_t n) {
    auto starts = [&](const char* magic, size_t at = 0) {
        const size_t len = std::strlen(magic);
        return n >= at + len && std::memcmp(p + at, magic, len) == 0;
    };
    if (starts("RIFF") && starts("WAVE", 8)) return "WAV";
    if (starts("RF64") || starts("BW64")) return "WAV (RF64)";
    if (starts("fLaC")) return "FLAC";
    if (starts("OggS")) return "Ogg";
    if (starts("ID3")) return "MP3";
    if (starts("FORM") && (starts("AIFF", 8) || starts("AIFC", 8))) return "AIFF";
    if (starts(".snd")) return "AU";
    if (starts("caff")) return "CAF";
    return "";
}

bool canWrite(const std::string& type) {
    SF_INFO info{};
    info.samplerate = TargetRate;
    info.channels = 1;
    info.format = formatOf(type);
    return info.format != 0 && sf_format_check(&info);
}

ConversionResult encodeSoundFile(const std::string& src, const std::string& dst) {
    {
        // A file that cannot be opened is an OSError with the system's number and the path.
        Descriptor in;
        in.fd = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
        if (in.fd < 0) throw systemError(src);
    }
    // The samples the command-line tool reads from the same file, so the frames are the same.
    SoundReader reader;
    std::string error;
    if (!reader.openFile(src, src, SoundReader::Kind::SoundFile, error)) throw InputError(error);
    StreamEncoder encoder(TargetRate);
    Descriptor out;
    out.fd = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out.fd < 0) throw systemError(dst);

    ConversionResult result;
    std::vector<int16_t> pcm(static_cast<size_t>(ReadRows));
    std::string frames;
    while (const size_t got = reader.read(pcm.data(), pcm.size())) {
        encoder.encode(pcm.data(), got, 1, frames);
        writeAll(out.fd, frames.data(), frames.size(), dst);
        result.frames += frames.size() / FrameBytes;
        frames.clear();
    }
    if (reader.failed()) throw InputError(reader.error());
    encoder.flush(frames);
    writeAll(out.fd, frames.data(), frames.size(), dst);
    result.frames += frames.size() / FrameBytes;
    syncAndClose(out, dst);
    result.seconds = static_cast<double>(reader.samplesRead()) / TargetRate;
    return result;
}

ConversionResult decodeToSoundFile(const std::string& src, const std::string& dst,
                                   const std::string& type, bool force) {
    const int format = formatOf(type);
    if (format == 0 || !canWrite(type)) {
        throw InputError("cannot write sound as '" + type + "' (this build writes wav, flac, ogg" +
                         (canWrite("opus") ? ", opus)" : ")"));
    }
    Descriptor in;
    in.fd = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in.fd < 0) throw systemError(src);
    std::vector<uint8_t> buf(ReadBytes);
    size_t got = readSome(in.fd, buf.data(), buf.size(), src);
    const std::string kind = containerName(buf.data(), got);
    if (!kind.empty() && !force) {
        throw InputError(src + ": starts like a " + kind + " file, not compressed frames");
    }

    Descriptor out;
    out.fd = ::open(dst.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out.fd < 0) throw systemError(dst);
    SF_INFO info{};
    info.samplerate = TargetRate;
    info.channels = 1;
    info.format = format;
    SoundFile sound;
    sound.f = openSound(out.fd, SFM_WRITE, info, dst);
    if (!sound.f) throw FileError(0, sf_strerror(nullptr), dst);

    ConversionResult result;
    StreamDecoder decoder;
    std::vector<int16_t> pcm;
    while (got > 0) {
        result.badFrames += countBadFrames(buf.data(), got - got % FrameBytes);
        pcm.resize(decoder.outputSamples(got));
        decoder.decode(buf.data(), got, pcm.data());
        const sf_count_t rows = static_cast<sf_count_t>(pcm.size());
        if (sf_writef_short(sound.f, pcm.data(), rows) != rows) {
            throw FileError(0, sf_strerror(sound.f), dst);
        }
        result.frames += pcm.size() / FrameSamples;
        got = readSome(in.fd, buf.data(), buf.size(), src);
    }
    result.trailingBytes = decoder.pendingBytes();
    // sf_close writes the headers and the last encoded pages, and closes its descriptor; ours
    // then flushes the same file to the disk.
    SNDFILE* f = sound.f;
    sound.f = nullptr;
    if (sf_close(f) != 0) throw FileError(0, "could not finish the sound file", dst);
    syncAndClose(out, dst);
    result.seconds = static_cast<double>(result.frames) * FrameSamples / TargetRate;
    return result;
}

}  // namespace brimvox::py
