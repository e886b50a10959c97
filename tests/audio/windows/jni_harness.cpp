#include "jni_harness.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace harness {
namespace {

// Live arrays, so GetArrayLength can tell what it was given; element copies handed out.
struct Registry {
    std::mutex mutex;
    std::set<const void*> byteArrays;
    std::set<const void*> doubleArrays;
    std::map<const void*, const void*> copies;  // copy -> array or string
    int calls = 0;
};

Registry& registry() {
    static Registry r;
    return r;
}

// Any JNI function the library calls that this table does not provide ends the process with a
// clear message instead of jumping through a null pointer.
void JNICALL unexpectedJniCall() {
    std::fprintf(stderr, "FAIL: brimvox.dll called a JNI function the harness does not provide\n");
    std::fflush(stderr);
    ExitProcess(99);
}

jsize JNICALL getArrayLength(JNIEnv*, jarray array) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    ++r.calls;
    if (r.byteArrays.count(array))
        return static_cast<jsize>(static_cast<ByteArray*>(array)->elements.size());
    if (r.doubleArrays.count(array))
        return static_cast<jsize>(static_cast<DoubleArray*>(array)->elements.size());
    std::fprintf(stderr, "FAIL: GetArrayLength on something that is not an array\n");
    ExitProcess(98);
}

template <typename T, typename Array>
T* getElements(jarray array, const std::set<const void*>& kind, jboolean* isCopy) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    ++r.calls;
    if (!kind.count(array)) {
        std::fprintf(stderr, "FAIL: array elements asked of an array of another type\n");
        ExitProcess(98);
    }
    auto& elements = static_cast<Array*>(array)->elements;
    // One spare element, poisoned, so a write past the end shows at release.
    T* copy = static_cast<T*>(std::malloc((elements.size() + 1) * sizeof(T)));
    if (!copy) return nullptr;
    if (!elements.empty()) std::memcpy(copy, elements.data(), elements.size() * sizeof(T));
    std::memset(copy + elements.size(), 0x7B, sizeof(T));
    r.copies[copy] = array;
    if (isCopy) *isCopy = JNI_TRUE;
    return copy;
}

template <typename T, typename Array>
void releaseElements(jarray array, T* copy, jint mode) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.copies.find(copy);
    if (it == r.copies.end() || it->second != array) {
        std::fprintf(stderr, "FAIL: release of elements that were not handed out for this array\n");
        ExitProcess(97);
    }
    auto& elements = static_cast<Array*>(array)->elements;
    T spare;
    std::memset(&spare, 0x7B, sizeof spare);
    if (std::memcmp(copy + elements.size(), &spare, sizeof(T)) != 0) {
        std::fprintf(stderr, "FAIL: brimvox.dll wrote past the end of a Java array\n");
        ExitProcess(96);
    }
    if (mode == 0 || mode == JNI_COMMIT) {
        if (!elements.empty()) std::memcpy(elements.data(), copy, elements.size() * sizeof(T));
    }
    if (mode == 0 || mode == JNI_ABORT) {
        r.copies.erase(it);
        std::free(copy);
    }
}

jbyte* JNICALL getByteArrayElements(JNIEnv*, jbyteArray array, jboolean* isCopy) {
    return getElements<jbyte, ByteArray>(array, registry().byteArrays, isCopy);
}
void JNICALL releaseByteArrayElements(JNIEnv*, jbyteArray array, jbyte* elements, jint mode) {
    releaseElements<jbyte, ByteArray>(array, elements, mode);
}
jdouble* JNICALL getDoubleArrayElements(JNIEnv*, jdoubleArray array, jboolean* isCopy) {
    return getElements<jdouble, DoubleArray>(array, registry().doubleArrays, isCopy);
}
void JNICALL releaseDoubleArrayElements(JNIEnv*, jdoubleArray array, jdouble* elements, jint mode) {
    releaseElements<jdouble, DoubleArray>(array, elements, mode);
}

const char* JNICALL getStringUTFChars(JNIEnv*, jstring string, jboolean* isCopy) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    ++r.calls;
    const std::string& utf = static_cast<JavaString*>(string)->utf;
    char* copy = static_cast<char*>(std::malloc(utf.size() + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, utf.c_str(), utf.size() + 1);
    r.copies[copy] = string;
    if (isCopy) *isCopy = JNI_TRUE;
    return copy;
}

void JNICALL releaseStringUTFChars(JNIEnv*, jstring string, const char* chars) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.copies.find(chars);
    if (it == r.copies.end() || it->second != string) {
        std::fprintf(stderr, "FAIL: release of string characters that were not handed out\n");
        ExitProcess(97);
    }
    r.copies.erase(it);
    std::free(const_cast<char*>(chars));
}

jsize JNICALL getStringLength(JNIEnv*, jstring string) {
    const std::string& utf = static_cast<JavaString*>(string)->utf;
    return MultiByteToWideChar(CP_UTF8, 0, utf.data(), static_cast<int>(utf.size()), nullptr, 0);
}

// The UTF-16 characters of the string, as a Java VM keeps them.
const jchar* JNICALL getStringChars(JNIEnv* env, jstring string, jboolean* isCopy) {
    const std::string& utf = static_cast<JavaString*>(string)->utf;
    const int n = getStringLength(env, string);
    auto* copy = static_cast<jchar*>(std::malloc((static_cast<size_t>(n) + 1) * sizeof(jchar)));
    if (!copy) return nullptr;
    MultiByteToWideChar(CP_UTF8, 0, utf.data(), static_cast<int>(utf.size()),
                        reinterpret_cast<wchar_t*>(copy), n);
    copy[n] = 0;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    ++r.calls;
    r.copies[copy] = string;
    if (isCopy) *isCopy = JNI_TRUE;
    return copy;
}

void JNICALL releaseStringChars(JNIEnv*, jstring string, const jchar* chars) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.copies.find(chars);
    if (it == r.copies.end() || it->second != string) {
        std::fprintf(stderr, "FAIL: release of string characters that were not handed out\n");
        ExitProcess(97);
    }
    r.copies.erase(it);
    std::free(const_cast<jchar*>(chars));
}

}  // namespace

ByteArray::ByteArray(size_t n, jbyte fill) : elements(n, fill) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().byteArrays.insert(static_cast<jarray>(this));
}
ByteArray::~ByteArray() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().byteArrays.erase(static_cast<jarray>(this));
}
DoubleArray::DoubleArray(size_t n, double fill) : elements(n, fill) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().doubleArrays.insert(static_cast<jarray>(this));
}
DoubleArray::~DoubleArray() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().doubleArrays.erase(static_cast<jarray>(this));
}

Env::Env() : jniEnv() {
    // Every slot, the reserved ones included, first traps; then the functions we provide.
    void(JNICALL * trap)() = unexpectedJniCall;
    auto* slots = reinterpret_cast<unsigned char*>(&table);
    for (size_t offset = 0; offset + sizeof trap <= sizeof table; offset += sizeof trap)
        std::memcpy(slots + offset, &trap, sizeof trap);
    table.GetArrayLength = getArrayLength;
    table.GetByteArrayElements = getByteArrayElements;
    table.ReleaseByteArrayElements = releaseByteArrayElements;
    table.GetDoubleArrayElements = getDoubleArrayElements;
    table.ReleaseDoubleArrayElements = releaseDoubleArrayElements;
    table.GetStringUTFChars = getStringUTFChars;
    table.ReleaseStringUTFChars = releaseStringUTFChars;
    table.GetStringLength = getStringLength;
    table.GetStringChars = getStringChars;
    table.ReleaseStringChars = releaseStringChars;
    jniEnv.functions = &table;
}

int Env::outstanding() const {
    std::lock_guard<std::mutex> lock(registry().mutex);
    return static_cast<int>(registry().copies.size());
}

int Env::calls() const {
    std::lock_guard<std::mutex> lock(registry().mutex);
    return registry().calls;
}

std::string exportName(const char* method, int javaParameters) {
    std::string name = std::string("Java_NativeAudio_") + method;
#if defined(__i386__) || defined(_M_IX86)
    // __stdcall decoration: JNIEnv* and jclass plus 4 bytes per Java parameter.
    name = "_" + name + "@" + std::to_string(8 + 4 * javaParameters);
#else
    (void)javaParameters;  // x64 names carry no argument size
#endif
    return name;
}

namespace {
HMODULE module = nullptr;

template <typename F>
void find(F& target, const char* method, int javaParameters, std::vector<std::string>& missing) {
    const std::string name = exportName(method, javaParameters);
    FARPROC p = GetProcAddress(module, name.c_str());
    if (!p) {
        missing.push_back(name);
        return;
    }
    target = reinterpret_cast<F>(reinterpret_cast<void*>(p));
}
}  // namespace

const Brimvox& loadBrimvox(const char* dllPath) {
    static Brimvox b;
    static bool loaded = false;
    if (loaded) return b;
    loaded = true;
    module = LoadLibraryA(dllPath);
    if (!module) {
        b.missing.push_back(std::string("the DLL itself: ") + dllPath);
        return b;
    }
    find(b.GetVersion, "GetVersion", 0, b.missing);
    find(b.NewJavaClass4800, "NewJavaClass4800", 0, b.missing);
    find(b.DeleteJavaClass4800, "DeleteJavaClass4800", 0, b.missing);
    find(b.RecordFile, "RecordFile", 1, b.missing);
    find(b.RecordBuffer, "RecordBuffer", 0, b.missing);
    find(b.PlayFile, "PlayFile", 1, b.missing);
    find(b.PlayBuffer, "PlayBuffer", 0, b.missing);
    find(b.Stop, "Stop", 0, b.missing);
    find(b.Pause, "Pause", 0, b.missing);
    find(b.GetBuffer, "GetBuffer", 1, b.missing);
    find(b.SetBuffer, "SetBuffer", 3, b.missing);
    find(b.FunIsStopPlaying, "FunIsStopPlaying", 1, b.missing);
    find(b.FunGetTimePlaying, "FunGetTimePlaying", 1, b.missing);
    find(b.FunIsStopRecording, "FunIsStopRecording", 1, b.missing);
    find(b.FunGetTimeRecording, "FunGetTimeRecording", 1, b.missing);
    find(b.FunGetError, "FunGetError", 1, b.missing);
    find(b.FunGetMaxSample, "FunGetMaxSample", 0, b.missing);
    find(b.FunGetIsBuffering, "FunGetIsBuffering", 0, b.missing);
    return b;
}

void* brimvoxModule() {
    return module;
}

}  // namespace harness
