// The eighteen methods of the Java class NativeAudio over the one global engine, with plain
// buffers and their capacities instead of Java arrays. The JNI exports marshal to these; every
// method is safe without an engine (false, 0 or nothing) and refuses buffers that are too small.
// Calls are serialised, so a Java program that calls from several threads cannot race the engine.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brimvox {

class AudioEngine;

namespace native {

constexpr int Version = 101;
constexpr size_t ErrorBufferBytes = 257;

int getVersion();
// Creates the engine; an engine that already exists is stopped and destroyed first.
bool newEngine();
bool deleteEngine();
// Records why an engine was not created (a refused setting); getError delivers the text once,
// with or without an engine. A later successful newEngine drops it.
void refuseEngine(const char* text);
// False when no engine exists or a run is active or starting; otherwise the run is started and
// the result is true even if starting failed (the failure is reported through getError).
bool recordFile(const char* path);
bool recordBuffer();
bool playFile(const char* path);
// The result of starting the run.
bool playBuffer();
bool stop();
bool pause();
// Needs 54 bytes; refused during a file recording (the writer is the ring's consumer).
bool getBuffer(uint8_t* block, size_t capacity);
// length 0..180 and at most capacity; refused during a file playback (the reader produces).
bool setBuffer(const uint8_t* data, size_t capacity, int length, bool endOfStream);
bool isStopPlaying(double* time, size_t capacity);
bool getTimePlaying(double* time, size_t capacity);
bool isStopRecording(double* time, size_t capacity);
bool getTimeRecording(double* time, size_t capacity);
// Copies a NUL-terminated message, cut to the capacity if the buffer is smaller than 257 bytes:
// a refusal of refuseEngine first, then the capture queue's, then the playback queue's.
bool getError(char* text, size_t capacity);
int getMaxSample();
bool getIsBuffering();

// The engine, for tests in the same process; null when none exists.
AudioEngine* currentEngine();

}  // namespace native
}  // namespace brimvox
