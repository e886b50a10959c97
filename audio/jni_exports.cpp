// The native methods of the Java class NativeAudio (default package). Java arrays are checked
// for their length before the engine writes into them, and path characters are copied and
// released at once, so nothing the caller passes can be overrun or kept dangling.
#include <jni.h>

#include <string>

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
    out = utf8FromUtf16(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(length));
    env->ReleaseStringChars(path, chars);
    return true;
}

jboolean b(bool v) {
    return v ? JNI_TRUE : JNI_FALSE;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_NativeAudio_GetVersion(JNIEnv*, jclass) {
    return native::getVersion();
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_NewJavaClass4800(JNIEnv*, jclass) {
    return b(native::newEngine());
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_DeleteJavaClass4800(JNIEnv*, jclass) {
    return b(native::deleteEngine());
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_RecordFile(JNIEnv* env, jclass, jstring path) {
    std::string p;
    return b(copyPath(env, path, p) && native::recordFile(p.c_str()));
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_RecordBuffer(JNIEnv*, jclass) {
    return b(native::recordBuffer());
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_PlayFile(JNIEnv* env, jclass, jstring path) {
    std::string p;
    return b(copyPath(env, path, p) && native::playFile(p.c_str()));
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_PlayBuffer(JNIEnv*, jclass) {
    return b(native::playBuffer());
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_Stop(JNIEnv*, jclass) {
    return b(native::stop());
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_Pause(JNIEnv*, jclass) {
    return b(native::pause());
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_GetBuffer(JNIEnv* env, jclass, jbyteArray block) {
    size_t n = 0;
    jbyte* e = nullptr;
    if (!withBytes(env, block, n, e)) return JNI_FALSE;
    const bool ok = native::getBuffer(reinterpret_cast<uint8_t*>(e), n);
    env->ReleaseByteArrayElements(block, e, 0);
    return b(ok);
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_SetBuffer(JNIEnv* env, jclass, jbyteArray data,
                                                      jshort length, jboolean endOfStream) {
    size_t n = 0;
    jbyte* e = nullptr;
    if (!withBytes(env, data, n, e)) return JNI_FALSE;
    const bool ok =
        native::setBuffer(reinterpret_cast<const uint8_t*>(e), n, length, endOfStream == JNI_TRUE);
    env->ReleaseByteArrayElements(data, e, JNI_ABORT);  // read only: nothing to copy back
    return b(ok);
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_FunIsStopPlaying(JNIEnv* env, jclass,
                                                             jdoubleArray time) {
    return timeCall(env, time, native::isStopPlaying);
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_FunGetTimePlaying(JNIEnv* env, jclass,
                                                              jdoubleArray time) {
    return timeCall(env, time, native::getTimePlaying);
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_FunIsStopRecording(JNIEnv* env, jclass,
                                                               jdoubleArray time) {
    return timeCall(env, time, native::isStopRecording);
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_FunGetTimeRecording(JNIEnv* env, jclass,
                                                                jdoubleArray time) {
    return timeCall(env, time, native::getTimeRecording);
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_FunGetError(JNIEnv* env, jclass, jbyteArray text) {
    size_t n = 0;
    jbyte* e = nullptr;
    if (!withBytes(env, text, n, e)) return JNI_FALSE;
    const bool ok = native::getError(reinterpret_cast<char*>(e), n);
    env->ReleaseByteArrayElements(text, e, 0);
    return b(ok);
}

JNIEXPORT jint JNICALL Java_NativeAudio_FunGetMaxSample(JNIEnv*, jclass) {
    return native::getMaxSample();
}

JNIEXPORT jboolean JNICALL Java_NativeAudio_FunGetIsBuffering(JNIEnv*, jclass) {
    return b(native::getIsBuffering());
}

}  // extern "C"
