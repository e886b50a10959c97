// libsndfile and libsamplerate for the virtual sound card, loaded when the card first uses them.
// Linked into the Java library only: its own definitions of the few functions the card calls
// stand in for the libraries at link time, so libbrimvox.so needs nothing beyond the C and C++
// runtimes and ALSA, and a machine without these two libraries can still use the real card.
// Compiled with hidden visibility: these names are not exported from the library.
#include <dlfcn.h>
#include <samplerate.h>
#include <sndfile.h>

#include <mutex>

namespace {

constexpr const char* MissingSndfile =
    "libsndfile.so.1 is not installed; the virtual sound card needs it";
constexpr const char* MissingSamplerate =
    "libsamplerate.so.0 is not installed; the virtual sound card needs it";

struct Loaded {
    void* sndfile = nullptr;
    void* samplerate = nullptr;
};

const Loaded& loaded() {
    static Loaded libs;
    static std::once_flag once;
    std::call_once(once, [] {
        libs.sndfile = dlopen("libsndfile.so.1", RTLD_NOW | RTLD_LOCAL);
        libs.samplerate = dlopen("libsamplerate.so.0", RTLD_NOW | RTLD_LOCAL);
    });
    return libs;
}

template <class F>
F* find(void* library, const char* name) {
    return library ? reinterpret_cast<F*>(dlsym(library, name)) : nullptr;
}

}  // namespace

extern "C" {

SNDFILE* sf_open(const char* path, int mode, SF_INFO* info) {
    auto* f = find<decltype(sf_open)>(loaded().sndfile, "sf_open");
    return f ? f(path, mode, info) : nullptr;
}

const char* sf_strerror(SNDFILE* file) {
    auto* f = find<decltype(sf_strerror)>(loaded().sndfile, "sf_strerror");
    return f ? f(file) : MissingSndfile;
}

sf_count_t sf_readf_short(SNDFILE* file, short* ptr, sf_count_t frames) {
    auto* f = find<decltype(sf_readf_short)>(loaded().sndfile, "sf_readf_short");
    return f ? f(file, ptr, frames) : 0;
}

sf_count_t sf_readf_float(SNDFILE* file, float* ptr, sf_count_t frames) {
    auto* f = find<decltype(sf_readf_float)>(loaded().sndfile, "sf_readf_float");
    return f ? f(file, ptr, frames) : 0;
}

sf_count_t sf_write_short(SNDFILE* file, const short* ptr, sf_count_t items) {
    auto* f = find<decltype(sf_write_short)>(loaded().sndfile, "sf_write_short");
    return f ? f(file, ptr, items) : 0;
}

int sf_close(SNDFILE* file) {
    auto* f = find<decltype(sf_close)>(loaded().sndfile, "sf_close");
    return f ? f(file) : 0;
}

int src_simple(SRC_DATA* data, int converterType, int channels) {
    auto* f = find<decltype(src_simple)>(loaded().samplerate, "src_simple");
    // Any non-zero code is a failure; src_strerror below explains this one.
    return f ? f(data, converterType, channels) : -1;
}

const char* src_strerror(int error) {
    auto* f = find<decltype(src_strerror)>(loaded().samplerate, "src_strerror");
    return f ? f(error) : MissingSamplerate;
}

}  // extern "C"
