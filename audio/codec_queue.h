// The two rings between the sound-card threads and the compressed side: the CaptureQueue
// (720-sample PCM blocks in, 54-byte encoded blocks out) and the PlaybackQueue (blocks of up to
// ten 18-byte frames in, decoded at once into PCM slots of up to 2400 samples). Both carry the
// run's status as the Java side sees it: elapsed time, stop notice, error text, and the peak
// level (capture) or the buffering flag (playback).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace brimvox {

class AudioEngine;
class CelpCodec;

constexpr int QueueSlots = 10;
constexpr int CaptureBlockSamples = 720;  // 90 ms, three frames
constexpr int CaptureBlockBytes = 54;
constexpr int PlaybackSlotSamples = 2400;  // ten frames, 0.3 s
constexpr int PlaybackBlockMaxBytes = 180;
constexpr int ErrorTextChars = 256;

// Copies text into out (capacity ErrorTextChars + 1), cut at a character boundary of UTF-8 so
// that a long path never leaves half a character behind.
void copyErrorText(char* out, const char* text);

// One producer and one consumer per ring. A slot is published by its `slotFilled` flag (release)
// and freed by clearing it (release), so the samples and counts need no lock. Preparing and
// releasing the slot memory and codec is guarded against a consumer or producer that runs on
// another thread than the one that finishes the run.
class CodecQueue {
  public:
    explicit CodecQueue(AudioEngine* owner);
    virtual ~CodecQueue();
    CodecQueue(const CodecQueue&) = delete;
    CodecQueue& operator=(const CodecQueue&) = delete;

    // Allocates the slots and a fresh codec and resets the ring and status; false (with
    // "Memory allocation error." recorded) if memory ran out.
    bool prepare(int samples);
    void release();
    // Frees the slots and codec now if the ring is empty; otherwise keeps them until the
    // consumer has taken the last block, so that no captured block is lost at a run's end.
    void releaseWhenDrained();
    // End of a run: stop notice, release (once drained), and the engine's recording or playing
    // cleared.
    void finish();

    void setElapsed(int blocks);
    bool takeElapsed(double& out);
    bool takeStopped(double& out);
    void clearStopped();
    void setError(const char* text);
    bool takeError(char* out);

    bool isPrepared();

  protected:
    virtual void clearRunFlag() = 0;
    virtual void onPrepare() {}
    // The consumer may go on taking blocks after the run has ended (capture only).
    virtual bool drainsAfterEnd() const { return false; }
    void freeBuffers();  // with bufferMutex held
    bool ringFull() const;
    bool ringEmpty() const;
    void advance(std::atomic<int16_t>& index);

    AudioEngine* engine;
    std::atomic<int16_t> writeIndex{0};
    std::atomic<int16_t> readIndex{0};
    std::unique_ptr<int16_t[]> slots[QueueSlots];
    int16_t slotCount[QueueSlots];
    std::atomic<bool> slotFilled[QueueSlots];
    std::unique_ptr<CelpCodec> codec;
    double slotSamples = 0.0;
    std::mutex bufferMutex;       // slot memory and codec lifetime
    bool releaseOnDrain = false;  // guarded by bufferMutex

  private:
    std::mutex statusMutex;
    double elapsed = 0.0;
    double stopElapsed = 0.0;
    bool elapsedUpdated = false;
    bool stopped = false;
    bool errorPending = false;
    char errorText[ErrorTextChars + 1];
};

class CaptureQueue : public CodecQueue {
  public:
    explicit CaptureQueue(AudioEngine* owner);
    // Stores one block of 720 samples; drops it when the ring is full.
    void putPcm(const int16_t* samples);
    // Encodes the oldest block into 54 bytes at out; true if a block was delivered.
    bool takeFrames(uint8_t* out);
    // The largest absolute sample since the last call, then 0. A full-scale negative sample
    // counts as 32767, the largest value the level can hold.
    int16_t takePeak();

  protected:
    void clearRunFlag() override;
    bool drainsAfterEnd() const override { return true; }

  private:
    std::atomic<int16_t> peak{0};
};

class PlaybackQueue : public CodecQueue {
  public:
    explicit PlaybackQueue(AudioEngine* owner);
    // Decodes the whole frames among the first length bytes into one slot; true if accepted.
    // A block of no frames is stored only when it ends the stream (it carries the end to the
    // playback thread); otherwise there is nothing to play and it is accepted without a slot.
    // A length below 0 or above 180 is refused without touching the ring.
    bool putFrames(const uint8_t* data, int length, bool endOfStream);
    // Copies the oldest slot to dst; true when the ring was empty (nothing copied).
    bool getPcm(int16_t* dst, int& count, bool& endOfStream);
    bool isBuffering() const { return buffering.load(); }
    void setBuffering(bool on) { buffering.store(on); }
    // An end-of-stream block has been stored in this run and not yet taken.
    bool endOfStreamPending() const { return endPending.load(); }
    void clearEndOfStream() { endPending.store(false); }

  protected:
    void clearRunFlag() override;
    void onPrepare() override { endPending.store(false); }

  private:
    bool endOfStream[QueueSlots];
    std::atomic<bool> buffering{true};
    std::atomic<bool> endPending{false};
};

}  // namespace brimvox
