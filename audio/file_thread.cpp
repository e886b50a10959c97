#include "file_thread.h"

#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "audio_engine.h"
#include "file.h"

namespace brimvox {

namespace {

void reportFileError(CodecQueue* queue, const std::string& path) {
    const std::string text = lastFileErrorText() + path;
    queue->setError(text.c_str());
}

void runFileThread(AudioEngine* engine, bool writer) {
    std::unique_ptr<FileThread> self(new (std::nothrow) FileThread);
    if (self) {
        engine->publishFileThread(self.get());
        if (writer) {
            self->runWriter(engine);
        } else {
            self->runReader(engine);
        }
        engine->publishFileThread(nullptr);
    } else {
        CodecQueue* q = writer ? static_cast<CodecQueue*>(engine->captureQueue())
                               : static_cast<CodecQueue*>(engine->playbackQueue());
        q->setError("Memory allocation error.");
        engine->stopFile();
        engine->fileEnded();
    }
    self.reset();
    engine->threadEnded();
}

}  // namespace

void fileWriterThread(void* engine) {
    runFileThread(static_cast<AudioEngine*>(engine), true);
}
void fileReaderThread(void* engine) {
    runFileThread(static_cast<AudioEngine*>(engine), false);
}

void FileThread::runWriter(AudioEngine* engine) {
    File file;
    // An existing file keeps its content until the first block is written: a recording that
    // fails before any audio was captured leaves it as it was.
    const bool open = file.openForWriting(engine->recordPath().c_str());
    if (!open) {
        reportFileError(engine->captureQueue(), engine->recordPath());
        engine->stopFile();
    } else {
        engine->fileReady(Direction::Capture);
    }
    uint8_t block[CaptureBlockBytes];
    bool failed = !open;
    bool emptied = false;
    unsigned long long written = 0;
    const auto fail = [&] {
        reportFileError(engine->captureQueue(), engine->recordPath());
        engine->stopFile();
        failed = true;
    };
    // Drains every 50 ms; after the stop, one last drain keeps the blocks the capture thread
    // stored before it ended (it stops the writer only after its own last block).
    for (;;) {
        const bool stopping = engine->fileStopRequested();
        while (!failed && engine->captureQueue()->takeFrames(block)) {
            if (!emptied) {
                if (!file.truncate(0)) {
                    fail();
                    break;
                }
                emptied = true;
            }
            if (!file.write(block, sizeof block)) {
                // A block written in part (a full disk, a size limit) is cut off: the file
                // keeps whole frames only.
                fail();
                file.truncate(written);
                break;
            }
            written += sizeof block;
        }
        if (stopping || failed) break;
        engine->waitFileStop(50);
    }
    // A run that ended without a block and without a failure recorded nothing: the file is
    // emptied as the recording asked. After a failure the file stays as it was.
    if (open && !emptied && !failed && !engine->errorRaised()) file.truncate(0);
    file.close();
    engine->fileEnded();
}

void FileThread::runReader(AudioEngine* engine) {
    File file;
    if (!file.openExisting(engine->playPath().c_str())) {
        reportFileError(engine->playbackQueue(), engine->playPath());
        engine->stopFile();
    } else {
        engine->fileReady(Direction::Playback);
        engine->markRingSpace(true);
    }
    uint8_t block[PlaybackBlockMaxBytes];
    while (file.isOpen() && !engine->fileStopRequested()) {
        size_t got = 0;
        if (!file.read(block, sizeof block, got)) {
            reportFileError(engine->playbackQueue(), engine->playPath());
            engine->stopFile();
            break;
        }
        const bool last = got < sizeof block;
        bool accepted = false;
        const auto stopping = [this, engine] {
            return stopRequested.load() || engine->fileStopRequested();
        };
        while (!accepted) {
            // Keeps looking at the stop while it waits: a refused offer clears the space event,
            // and a stop that set it just before must not be lost.
            engine->waitRingSpace(stopping);
            if (stopping()) break;
            accepted = engine->playbackQueue()->putFrames(block, static_cast<int>(got), last);
        }
        if (!accepted) break;
        if (last) engine->stopFile();
    }
    file.close();
    engine->fileEnded();
}

}  // namespace brimvox
