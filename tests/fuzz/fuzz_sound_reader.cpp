// Feeds arbitrary bytes to the command-line tool's sound input: libsndfile through its virtual
// I/O over memory (every container it knows, found from the content), the WAV header parser,
// mixing down and resampling to 8000 Hz. The first byte picks how the bytes are taken (as a
// sound file, as raw samples, or as stdin takes them), the rest is the input. Reading must end
// without a crash, a sanitizer report or an allocation beyond the limit, and every sample
// delivered must count.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "sound_reader.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

// libsndfile 1.2 leaks its Vorbis decoder state when an Ogg stream breaks off inside its
// headers (a few KiB per such file, freed at exit by the tool); that is the library's, not ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libvorbis.so\nleak:libsndfile.so\nleak:libogg.so\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    using Kind = brimvox::SoundReader::Kind;
    const Kind kinds[] = {Kind::SoundFile, Kind::SoundFile, Kind::Raw, Kind::RawUnlessContainer};
    const Kind kind = kinds[data[0] & 3];
    brimvox::SoundReader reader;
    std::string error;
    if (!reader.openMemory(data + 1, size - 1, "fuzz", kind, error)) {
        require(!error.empty() && error.compare(0, 6, "fuzz: ") == 0);
        return 0;
    }
    std::vector<int16_t> block(4000);
    uint64_t total = 0;
    // An input of at most a few KiB cannot give more than minutes of 8000 Hz samples (a
    // sample rate of 1 Hz in a header stretches each byte into 8000 samples at most).
    for (int rounds = 0; rounds < 100000; ++rounds) {
        const size_t got = reader.read(block.data(), block.size());
        total += got;
        if (got < block.size()) break;
    }
    require(total == reader.samplesRead());
    if (reader.failed()) require(reader.error().compare(0, 6, "fuzz: ") == 0);
    (void)reader.remarks();
    return 0;
}
