#include "pcm_io.h"

#include <cerrno>
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

std::string systemError(const std::string& path) {
    return path + ": " + std::strerror(errno);
}

void putLe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Raw little-endian samples to a file or stdout.
class RawWriter : public PcmWriter {
  public:
    RawWriter(FILE* f, std::string path, bool owned)
        : f_(f), path_(std::move(path)), owned_(owned) {}
    ~RawWriter() override {
        if (owned_ && f_) std::fclose(f_);
    }
    bool write(const int16_t* samples, size_t count) override {
        uint8_t buf[2 * 480];
        while (count > 0) {
            const size_t n = count < 480 ? count : 480;
            for (size_t i = 0; i < n; ++i) putLe16(buf + 2 * i, static_cast<uint16_t>(samples[i]));
            if (std::fwrite(buf, 2, n, f_) != n) {
                error_ = systemError(path_);
                return false;
            }
            samples += n;
            count -= n;
        }
        return true;
    }
    bool close() override {
        bool ok = std::fflush(f_) == 0;
        if (owned_) {
            ok = std::fclose(f_) == 0 && ok;
            f_ = nullptr;
        }
        if (!ok) error_ = systemError(path_);
        return ok;
    }

  protected:
    FILE* f_;
    std::string path_;
    bool owned_;
};

#ifdef BRIMVOX_HAVE_SNDFILE
class SndfileWavWriter : public PcmWriter {
  public:
    explicit SndfileWavWriter(SNDFILE* f) : f_(f) {}
    ~SndfileWavWriter() override {
        if (f_) sf_close(f_);
    }
    bool write(const int16_t* samples, size_t count) override {
        if (sf_write_short(f_, samples, static_cast<sf_count_t>(count)) !=
            static_cast<sf_count_t>(count)) {
            error_ = sf_strerror(f_);
            return false;
        }
        return true;
    }
    bool close() override {
        const int rc = sf_close(f_);
        f_ = nullptr;
        if (rc != 0) error_ = sf_error_number(rc);
        return rc == 0;
    }

  private:
    SNDFILE* f_;
};
#else
void putLe32(uint8_t* p, uint32_t v) {
    putLe16(p, v);
    putLe16(p + 2, v >> 16);
}

// A canonical 44-byte-header PCM WAV file, sizes patched on close.
class PlainWavWriter : public RawWriter {
  public:
    PlainWavWriter(FILE* f, std::string path) : RawWriter(f, std::move(path), true) {}
    bool writeHeader() { return writeHeaderFor(0); }
    bool write(const int16_t* samples, size_t count) override {
        samples_ += count;
        return RawWriter::write(samples, count);
    }
    bool close() override {
        if (std::fseek(f_, 0, SEEK_SET) != 0 || !writeHeaderFor(samples_)) {
            error_ = systemError(path_);
            return false;
        }
        return RawWriter::close();
    }

  private:
    bool writeHeaderFor(uint64_t samples) {
        const uint32_t dataBytes = static_cast<uint32_t>(samples * 2);
        uint8_t h[44];
        std::memcpy(h, "RIFF", 4);
        putLe32(h + 4, 36 + dataBytes);
        std::memcpy(h + 8, "WAVEfmt ", 8);
        putLe32(h + 16, 16);
        putLe16(h + 20, 1);  // PCM
        putLe16(h + 22, 1);  // mono
        putLe32(h + 24, SampleRate);
        putLe32(h + 28, SampleRate * 2);
        putLe16(h + 32, 2);
        putLe16(h + 34, 16);
        std::memcpy(h + 36, "data", 4);
        putLe32(h + 40, dataBytes);
        return std::fwrite(h, 1, sizeof h, f_) == sizeof h;
    }
    uint64_t samples_ = 0;
};
#endif

}  // namespace

bool isWavPath(const std::string& path) {
    if (path.size() < 4) return false;
    std::string ext = path.substr(path.size() - 4);
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return ext == ".wav";
}

bool readAll(const std::string& path, std::string& data, std::string& error) {
    const bool useStdin = path == "-";
    FILE* f = useStdin ? stdin : std::fopen(path.c_str(), "rb");
    if (!f) {
        error = systemError(path);
        return false;
    }
    data.clear();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    const bool failed = std::ferror(f) != 0;
    if (failed) error = systemError(useStdin ? "stdin" : path);
    if (!useStdin) std::fclose(f);
    return !failed;
}

std::unique_ptr<PcmWriter> openPcmWriter(const std::string& path, std::string& error) {
    if (path == "-") return std::make_unique<RawWriter>(stdout, "stdout", false);
    if (isWavPath(path)) {
#ifdef BRIMVOX_HAVE_SNDFILE
        SF_INFO info{};
        info.samplerate = SampleRate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        if (!f) {
            error = path + ": " + sf_strerror(nullptr);
            return nullptr;
        }
        return std::make_unique<SndfileWavWriter>(f);
#else
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) {
            error = systemError(path);
            return nullptr;
        }
        auto w = std::make_unique<PlainWavWriter>(f, path);
        if (!w->writeHeader()) {
            error = systemError(path);
            return nullptr;
        }
        return w;
#endif
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        error = systemError(path);
        return nullptr;
    }
    return std::make_unique<RawWriter>(f, path, true);
}

void setBinaryStdio() {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

}  // namespace brimvox::cli
