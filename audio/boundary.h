// The boundaries C++ exceptions must never cross: the JNI entry points (a Java VM's frames cannot
// be unwound, so an escaping exception terminates it) and the entries of the engine's threads.
#pragma once

#include <new>

namespace brimvox {

constexpr const char* MemoryErrorText = "Memory allocation error.";

// Runs body() and returns its result; an exception it throws is reported through report(text)
// (memory exhaustion as MemoryErrorText, anything else as a general failure text) and `failed`
// is returned instead. report must not throw; what it throws is swallowed.
template <typename R, typename Body, typename Report>
R guarded(R failed, Body&& body, Report&& report) noexcept {
    const char* text;
    try {
        return body();
    } catch (const std::bad_alloc&) {
        text = MemoryErrorText;
    } catch (...) {
        text = "Internal error of the sound library.";
    }
    try {
        report(text);
    } catch (...) {
    }
    return failed;
}

}  // namespace brimvox
