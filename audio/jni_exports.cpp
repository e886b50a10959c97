// The native methods of the Java class NativeAudio (default package). Java arrays are checked
// for their length before the engine writes into them, and path characters are copied and
// released at once, so nothing the caller passes can be overrun or kept dangling.
#include <jni.h>

#include <string>

#include "audio_settings.h"
#include "boundary.h"
#include "java_string.h"
#include "native_audio.h"

namespace {

using namespace brimvox;

bool withBytes(JNIEnv* env, jbyteArray array, size_t& length, jbyte*& elements) {
    if (!env || !array) return false;
    const jsize n = env->GetArrayLength(array);
    if (n < 0) return false;
    elements = env->GetByteArrayElements(array, nullptr);
    if (!elements) return false;
    length = static_cast<size_t>(n);
    return true;
}

jboolean timeCall(JNIEnv* env, jdoubleArray array, bool (*call)(double*, size_t)) {
    if (!env || !array) return JNI_FALSE;
    const jsize n = env->GetArrayLength(array);
    if (n < 1) return JNI_FALSE;
    jdouble* elements = env->GetDoubleArrayElements(array, nullptr);
    if (!elements) return JNI_FALSE;
    const bool ok = call(elements, static_cast<size_t>(n));
    env->ReleaseDoubleArrayElements(array, elements, 0);
    return ok ? JNI_TRUE : JNI_FALSE;
}

// Copies a Java string as UTF-8 (from its UTF-16 characters: GetStringUTFChars would give
// modified UTF-8); false for null or out of memory.
bool copyPath(JNIEnv* env, jstring path, std::string& out) {
    if (!env || !path) return false;
    const jsize length = env->GetStringLength(path);
    const jchar* chars = env->GetStringChars(path, nullptr);
    if (!chars) return false;
    try {
        out = utf8FromUtf16(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(length));
    } catch (...) {
        env->ReleaseStringChars(path, chars);  // never left pinned, even without memory
        throw;
    }
    env->ReleaseStringChars(path, chars);
    return true;
}

// Calls a static String(String) method of `owner` with `name`; false if it answers null, is
// missing or throws (an exception of the Java side, such as a security manager's refusal, is
// cleared and counts as not set).
bool stringCall(JNIEnv* env, jclass owner, jmethodID method, const char* name, std::string& value) {
    bool found = false;
    jstring key = env->NewStringUTF(name);
    if (key) {
        jvalue arg;
        arg.l = key;
        // The array form: the variadic one would be emitted as an exported out-of-line copy.
        auto result = static_cast<jstring>(env->CallStaticObjectMethodA(owner, method, &arg));
        if (!env->ExceptionCheck() && result) found = copyPath(env, result, value);
        if (result) env->DeleteLocalRef(result);
        env->DeleteLocalRef(key);
    }
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        found = false;
    }
    return found;
}

// One setting as the Java side gives it: NativeAudio.setting(name), which answers the value a
// caller gave for this engine or else the system property; System.getProperty(name) for a
// NativeAudio class without that method.
bool javaSetting(JNIEnv* env, jclass nativeAudio, const char* name, std::string& value) {
    constexpr const char* signature = "(Ljava/lang/String;)Ljava/lang/String;";
    jmethodID setting =
        nativeAudio ? env->GetStaticMethodID(nativeAudio, "setting", signature) : nullptr;
    if (setting) return stringCall(env, nativeAudio, setting, name, value);
    env->ExceptionClear();
    jclass system = env->FindClass("java/lang/System");
    if (!system) {
        env->ExceptionClear();
        return false;
    }
    jmethodID get = env->GetStaticMethodID(system, "getProperty", signature);
    const bool found = get && stringCall(env, system, get, name, value);
    env->ExceptionClear();
    env->DeleteLocalRef(system);
    return found;
}

// The sound settings as the Java side gives them when it creates the engine; false with the
// refusal's text when one is bad.
bool applyJavaSettings(JNIEnv* env, jclass nativeAudio, std::string& error) {
    if (!audioSettingsUsed()) return true;
    std::string values[AudioSettingCount];
    bool given[AudioSettingCount] = {};
    for (size_t i = 0; i < AudioSettingCount; ++i)
        given[i] = env && javaSetting(env, nativeAudio, AudioSettings[i].property, values[i]);
    return applyAudioSettings(values, given, error);
}

jboolean b(bool v) {
    return v ? JNI_TRUE : JNI_FALSE;
}

constexpr jboolean Failed = JNI_FALSE;

// Every entry point runs its body here: an exception never reaches the VM; its text becomes the
// next error the caller reads.
template <typename R, typename Body>
R boundary(R failed, Body&& body) noexcept {
    return guarded(failed, body, [](const char* text) { native::refuseEngine(text); });
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_NativeAudio_GetVersion(JNIEnv*, jclass) {
    return boundary(jint{0}, [&]() -> jint { return native::getVersion(); });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_NewJavaClass4800(JNIEnv* env, jclass nativeAudio) {
    return boundary(Failed, [&]() -> jboolean {
        std::string error;
        if (!applyJavaSettings(env, nativeAudio, error)) {
            native::refuseEngine(error.c_str());
            return JNI_FALSE;
        }
        return b(native::newEngine());
    });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_DeleteJavaClass4800(JNIEnv*, jclass) {
    return boundary(Failed, [&]() -> jboolean { return b(native::deleteEngine()); });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_RecordFile(JNIEnv* env, jclass, jstring path) {
    return boundary(Failed, [&]() -> jboolean {
        std::string p;
        return b(copyPath(env, path, p) && native::recordFile(p.c_str()));
    });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_RecordBuffer(JNIEnv*, jclass) {
    return boundary(Failed, [&]() -> jboolean { return b(native::recordBuffer()); });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_PlayFile(JNIEnv* env, jclass, jstring path) {
    return boundary(Failed, [&]() -> jboolean {
        std::string p;
        return b(copyPath(env, path, p) && native::playFile(p.c_str()));
    });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_PlayBuffer(JNIEnv*, jclass) {
    return boundary(Failed, [&]() -> jboolean { return b(native::playBuffer()); });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_Stop(JNIEnv*, jclass) {
    return boundary(Failed, [&]() -> jboolean { return b(native::stop()); });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_Pause(JNIEnv*, jclass) {
    return boundary(Failed, [&]() -> jboolean { return b(native::pause()); });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_GetBuffer(JNIEnv* env, jclass, jbyteArray block) {
    return boundary(Failed, [&]() -> jboolean {
        size_t n = 0;
        jbyte* e = nullptr;
        if (!withBytes(env, block, n, e)) return JNI_FALSE;
        const bool ok = native::getBuffer(reinterpret_cast<uint8_t*>(e), n);
        env->ReleaseByteArrayElements(block, e, 0);
        return b(ok);
    });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_SetBuffer(JNIEnv* env, jclass, jbyteArray data,
                                                      jshort length, jboolean endOfStream) {
    return boundary(Failed, [&]() -> jboolean {
        size_t n = 0;
        jbyte* e = nullptr;
        if (!withBytes(env, data, n, e)) return JNI_FALSE;
        const bool ok = native::setBuffer(reinterpret_cast<const uint8_t*>(e), n, length,
                                          endOfStream == JNI_TRUE);
        env->ReleaseByteArrayElements(data, e, JNI_ABORT);  // read only: nothing to copy back
        return b(ok);
    });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_FunIsStopPlaying(JNIEnv* env, jclass,
                                                             jdoubleArray time) {
    return boundary(Failed,
                    [&]() -> jboolean { return timeCall(env, time, native::isStopPlaying); });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_FunGetTimePlaying(JNIEnv* env, jclass,
                                                              jdoubleArray time) {
    return boundary(Failed,
                    [&]() -> jboolean { return timeCall(env, time, native::getTimePlaying); });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_FunIsStopRecording(JNIEnv* env, jclass,
                                                               jdoubleArray time) {
    return boundary(Failed,
                    [&]() -> jboolean { return timeCall(env, time, native::isStopRecording); });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_FunGetTimeRecording(JNIEnv* env, jclass,
                                                                jdoubleArray time) {
    return boundary(Failed,
                    [&]() -> jboolean { return timeCall(env, time, native::getTimeRecording); });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_FunGetError(JNIEnv* env, jclass, jbyteArray text) {
    return boundary(Failed, [&]() -> jboolean {
        size_t n = 0;
        jbyte* e = nullptr;
        if (!withBytes(env, text, n, e)) return JNI_FALSE;
        const bool ok = native::getError(reinterpret_cast<char*>(e), n);
        env->ReleaseByteArrayElements(text, e, 0);
        return b(ok);
    });
}

JNIEXPORT jint JNICALL Java_NativeAudio_FunGetMaxSample(JNIEnv*, jclass) {
    return boundary(jint{0}, [&]() -> jint { return native::getMaxSample(); });
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_FunGetIsBuffering(JNIEnv*, jclass) {
    return boundary(Failed, [&]() -> jboolean { return b(native::getIsBuffering()); });
}

}  // extern "C"
