// What a Java VM gives brimvox.dll, made by hand: a JNIEnv whose function table provides the JNI
// functions the library calls, over byte arrays, double arrays and strings of our own, and the
// DLL loaded with LoadLibrary with each native method found under its exact export name.
#pragma once

#include <jni.h>

#include <cstdint>
#include <string>
#include <vector>

namespace harness {

// A Java byte[]: elements handed out are a copy, as a VM may make, so only a release with mode
// 0 or JNI_COMMIT brings the library's writes back into the array.
struct ByteArray : _jbyteArray {
    explicit ByteArray(size_t n, jbyte fill = 0);
    ~ByteArray();
    ByteArray(const ByteArray&) = delete;
    ByteArray& operator=(const ByteArray&) = delete;
    std::vector<jbyte> elements;
};

struct DoubleArray : _jdoubleArray {
    explicit DoubleArray(size_t n, double fill = 0.0);
    ~DoubleArray();
    DoubleArray(const DoubleArray&) = delete;
    DoubleArray& operator=(const DoubleArray&) = delete;
    std::vector<jdouble> elements;
};

// A Java String; the library sees its modified UTF-8 form.
struct JavaString : _jstring {
    explicit JavaString(std::string text) : utf(std::move(text)) {}
    std::string utf;
};

// The JNIEnv and its bookkeeping.
class Env {
  public:
    Env();
    JNIEnv* env() { return &jniEnv; }
    // Element and character buffers handed out and not yet released.
    int outstanding() const;
    // Calls of GetArrayLength, Get*ArrayElements, GetStringUTFChars and GetStringChars so far.
    int calls() const;

  private:
    JNINativeInterface_ table;
    JNIEnv jniEnv;
};

// The exported native methods of NativeAudio, found by their exact names.
struct Brimvox {
    using NoArgs = jboolean(JNICALL*)(JNIEnv*, jclass);
    using IntNoArgs = jint(JNICALL*)(JNIEnv*, jclass);
    using WithString = jboolean(JNICALL*)(JNIEnv*, jclass, jstring);
    using WithBytes = jboolean(JNICALL*)(JNIEnv*, jclass, jbyteArray);
    using WithDoubles = jboolean(JNICALL*)(JNIEnv*, jclass, jdoubleArray);
    using SetBufferCall = jboolean(JNICALL*)(JNIEnv*, jclass, jbyteArray, jshort, jboolean);

    IntNoArgs GetVersion = nullptr;
    NoArgs NewJavaClass4800 = nullptr;
    NoArgs DeleteJavaClass4800 = nullptr;
    WithString RecordFile = nullptr;
    NoArgs RecordBuffer = nullptr;
    WithString PlayFile = nullptr;
    NoArgs PlayBuffer = nullptr;
    NoArgs Stop = nullptr;
    NoArgs Pause = nullptr;
    WithBytes GetBuffer = nullptr;
    SetBufferCall SetBuffer = nullptr;
    WithDoubles FunIsStopPlaying = nullptr;
    WithDoubles FunGetTimePlaying = nullptr;
    WithDoubles FunIsStopRecording = nullptr;
    WithDoubles FunGetTimeRecording = nullptr;
    WithBytes FunGetError = nullptr;
    IntNoArgs FunGetMaxSample = nullptr;
    NoArgs FunGetIsBuffering = nullptr;

    // Names that were not found, empty when all eighteen were.
    std::vector<std::string> missing;
};

// The export name of a native method on this architecture: decorated on x86, plain on x64.
std::string exportName(const char* method, int javaParameters);
// Loads the DLL (once per process) and looks up every method; a method not found stays null.
const Brimvox& loadBrimvox(const char* dllPath);
// The loaded module, for GetProcAddress checks of names that must not exist.
void* brimvoxModule();

}  // namespace harness
