// libsndfile and libsamplerate for the virtual sound card, loaded when the card first uses them.
// Linked into the Java library only: its own definitions of the functions the card and the sound
// reader its microphone uses call stand in for the libraries at link time, so libbrimvox.so needs
// nothing beyond the C and C++ runtimes and ALSA, and a machine without these two libraries can
// still use the real card. Compiled with hidden visibility: these names are not exported from the
// library.
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

SNDFILE* sf_open_virtual(SF_VIRTUAL_IO* io, int mode, SF_INFO* info, void* user) {
    auto* f = find<decltype(sf_open_virtual)>(loaded().sndfile, "sf_open_virtual");
    return f ? f(io, mode, info, user) : nullptr;
}

const char* sf_strerror(SNDFILE* file) {
    auto* f = find<decltype(sf_strerror)>(loaded().sndfile, "sf_strerror");
    return f ? f(file) : MissingSndfile;
}

int sf_error(SNDFILE* file) {
    auto* f = find<decltype(sf_error)>(loaded().sndfile, "sf_error");
    return f ? f(file) : SF_ERR_SYSTEM;
}

const char* sf_error_number(int error) {
    auto* f = find<decltype(sf_error_number)>(loaded().sndfile, "sf_error_number");
    return f ? f(error) : MissingSndfile;
}

int sf_command(SNDFILE* file, int command, void* data, int size) {
    auto* f = find<decltype(sf_command)>(loaded().sndfile, "sf_command");
    return f ? f(file, command, data, size) : 0;
}

sf_count_t sf_readf_double(SNDFILE* file, double* ptr, sf_count_t frames) {
    auto* f = find<decltype(sf_readf_double)>(loaded().sndfile, "sf_readf_double");
    return f ? f(file, ptr, frames) : 0;
}

sf_count_t sf_readf_short(SNDFILE* file, short* ptr, sf_count_t frames) {
    auto* f = find<decltype(sf_readf_short)>(loaded().sndfile, "sf_readf_short");
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

SRC_STATE* src_new(int converterType, int channels, int* error) {
    auto* f = find<decltype(src_new)>(loaded().samplerate, "src_new");
    if (f) return f(converterType, channels, error);
    // Any non-zero code is a failure; src_strerror below explains this one.
    if (error) *error = -1;
    return nullptr;
}

SRC_STATE* src_delete(SRC_STATE* state) {
    auto* f = find<decltype(src_delete)>(loaded().samplerate, "src_delete");
    return f ? f(state) : nullptr;
}

int src_process(SRC_STATE* state, SRC_DATA* data) {
    auto* f = find<decltype(src_process)>(loaded().samplerate, "src_process");
    return f ? f(state, data) : -1;
}

int src_is_valid_ratio(double ratio) {
    auto* f = find<decltype(src_is_valid_ratio)>(loaded().samplerate, "src_is_valid_ratio");
    // Missing, any ratio passes here and src_new then says what is missing.
    return f ? f(ratio) : 1;
}

const char* src_strerror(int error) {
    auto* f = find<decltype(src_strerror)>(loaded().samplerate, "src_strerror");
    return f ? f(error) : MissingSamplerate;
}

}  // extern "C"
