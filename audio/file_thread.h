// The compressed-file threads: the writer drains the capture queue into a file of 18-byte frames
// while a recording runs; the reader feeds such a file to the playback queue in blocks of up to
// ten frames.
#pragma once

#include <atomic>

namespace brimvox {

class AudioEngine;

class FileThread {
  public:
    virtual ~FileThread() = default;
    void runWriter(AudioEngine* engine);
    void runReader(AudioEngine* engine);

    // Makes the reader give up waiting for queue space.
    std::atomic<bool> stopRequested{false};
};

void fileWriterThread(void* engine);
void fileReaderThread(void* engine);

}  // namespace brimvox
