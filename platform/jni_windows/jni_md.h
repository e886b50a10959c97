/* The machine-dependent JNI types and calling convention for Windows (x86 and x64), read by the
 * JDK's jni.h when brimvox.dll is cross-built. Native methods use __stdcall, which on x86 gives
 * the exported names their "@bytes" suffix; on x64 it is the one Windows convention. */
#ifndef BRIMVOX_JNI_MD_H
#define BRIMVOX_JNI_MD_H

/* The x86 build exports through a module-definition file instead (see audio/CMakeLists.txt). */
#ifndef JNIEXPORT
#define JNIEXPORT __declspec(dllexport)
#endif
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
