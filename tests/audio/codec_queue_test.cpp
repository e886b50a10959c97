// The codec queues on their own: ring rules, coding in stream order, and the status they carry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio_engine.h"
#include "celp_codec.h"
#include "test_signal.h"

namespace brimvox {
namespace {

class Queues : public ::testing::Test {
  protected:
    ~Queues() override { engine->retire(); }

    AudioEngine* engine = new AudioEngine;
    CaptureQueue& capture = *engine->captureQueue();
    PlaybackQueue& playback = *engine->playbackQueue();
};

TEST_F(Queues, CaptureRingKeepsTenBlocksDropsTheEleventhAndEncodesInOrder) {
    const std::vector<int16_t> pcm = speechLike(11 * 0.09);
    ASSERT_TRUE(capture.prepare(CaptureBlockSamples));
    for (int b = 0; b < 11; ++b) capture.putPcm(pcm.data() + 720 * b);
    const std::vector<uint8_t> expect = encodeReference(pcm, 10);
    std::vector<uint8_t> got;
    uint8_t block[54];
    while (capture.takeFrames(block)) got.insert(got.end(), block, block + 54);
    EXPECT_EQ(got.size(), 540u);
    EXPECT_EQ(got, expect);
    // Room again: the next block goes in and comes out.
    capture.putPcm(pcm.data());
    EXPECT_TRUE(capture.takeFrames(block));
    EXPECT_FALSE(capture.takeFrames(block));
}

TEST_F(Queues, TakeFramesOnEmptyOrUnpreparedWritesNothing) {
    uint8_t block[54];
    std::memset(block, 0xA5, sizeof block);
    EXPECT_FALSE(capture.takeFrames(block));
    ASSERT_TRUE(capture.prepare(CaptureBlockSamples));
    EXPECT_FALSE(capture.takeFrames(block));
    for (uint8_t v : block) ASSERT_EQ(v, 0xA5);
    capture.release();
    std::vector<int16_t> pcm(720, 5);
    capture.putPcm(pcm.data());  // unprepared: ignored, no crash
    EXPECT_FALSE(capture.takeFrames(block));
}

TEST_F(Queues, PeakTracksLargestMagnitudeAndFullScaleNegative) {
    ASSERT_TRUE(capture.prepare(CaptureBlockSamples));
    std::vector<int16_t> pcm(720, 0);
    pcm[3] = -300;
    pcm[9] = 200;
    capture.putPcm(pcm.data());
    EXPECT_EQ(capture.takePeak(), 300);
    EXPECT_EQ(capture.takePeak(), 0);
    pcm[100] = -32768;
    capture.putPcm(pcm.data());
    EXPECT_EQ(capture.takePeak(), 32767);
    // A full ring drops the block, and a dropped block does not count for the level.
    for (int i = 0; i < 8; ++i) capture.putPcm(std::vector<int16_t>(720, 1).data());
    pcm[100] = 12000;
    capture.putPcm(std::vector<int16_t>(720, 2).data());  // tenth block: ring now full
    capture.takePeak();
    capture.putPcm(pcm.data());
    EXPECT_EQ(capture.takePeak(), 0);
}

TEST_F(Queues, ElapsedTimesAndStopNotice) {
    double t = -1.0;
    EXPECT_FALSE(capture.takeElapsed(t));
    ASSERT_TRUE(capture.prepare(CaptureBlockSamples));
    ASSERT_TRUE(capture.takeElapsed(t));
    EXPECT_EQ(t, 0.0);
    EXPECT_FALSE(capture.takeElapsed(t));
    capture.setElapsed(1);
    ASSERT_TRUE(capture.takeElapsed(t));
    EXPECT_NEAR(t, 0.09, 1e-12);
    capture.setElapsed(11);
    ASSERT_TRUE(capture.takeElapsed(t));
    EXPECT_NEAR(t, 0.99, 1e-12);
    ASSERT_TRUE(playback.prepare(PlaybackSlotSamples));
    playback.setElapsed(3);
    ASSERT_TRUE(playback.takeElapsed(t));
    EXPECT_NEAR(t, 0.9, 1e-12);

    EXPECT_FALSE(capture.takeStopped(t));
    engine->setRecording(true);
    capture.finish();
    EXPECT_FALSE(engine->isRecording());
    EXPECT_FALSE(capture.isPrepared());
    ASSERT_TRUE(capture.takeStopped(t));
    EXPECT_NEAR(t, 0.99, 1e-12);
    EXPECT_FALSE(capture.takeStopped(t));
}

TEST_F(Queues, ErrorTextsAreDeliveredOnceCutSafelyAndDiscardedByPrepare) {
    char out[257];
    EXPECT_FALSE(capture.takeError(out));
    capture.setError("first");
    capture.setError("second");
    EXPECT_TRUE(engine->errorRaised());
    ASSERT_TRUE(capture.takeError(out));
    EXPECT_STREQ(out, "second");
    EXPECT_FALSE(capture.takeError(out));

    // 255 ASCII characters followed by a two-byte character straddling the limit.
    std::string text(255, 'x');
    text += "\xC3\xA9tail";
    capture.setError(text.c_str());
    ASSERT_TRUE(capture.takeError(out));
    EXPECT_EQ(std::strlen(out), 255u);
    capture.setError(std::string(400, 'y').c_str());
    ASSERT_TRUE(capture.takeError(out));
    EXPECT_EQ(std::strlen(out), 256u);

    capture.setError("pending");
    ASSERT_TRUE(capture.prepare(CaptureBlockSamples));
    EXPECT_FALSE(capture.takeError(out));
}

TEST_F(Queues, PutFramesDecodesWholeFramesIntoOneSlot) {
    ASSERT_TRUE(playback.prepare(PlaybackSlotSamples));
    std::vector<uint8_t> frames = encodeReference(speechLike(0.54), 4);  // 12 frames
    std::vector<int16_t> pcm(2400);
    int count = -1;
    bool last = true;
    ASSERT_TRUE(playback.putFrames(frames.data(), 180, false));
    ASSERT_TRUE(playback.putFrames(frames.data() + 180, 40, false));  // two frames + 4 bytes
    ASSERT_FALSE(playback.getPcm(pcm.data(), count, last));
    EXPECT_EQ(count, 2400);
    EXPECT_FALSE(last);
    std::vector<int16_t> got(pcm.begin(), pcm.begin() + count);
    ASSERT_FALSE(playback.getPcm(pcm.data(), count, last));
    EXPECT_EQ(count, 480);
    got.insert(got.end(), pcm.begin(), pcm.begin() + count);
    std::vector<uint8_t> twelve(frames.begin(), frames.begin() + 216);
    EXPECT_EQ(got, decodeReference(twelve));
}

TEST_F(Queues, EmptyBlocksAndBadLengths) {
    ASSERT_TRUE(playback.prepare(PlaybackSlotSamples));
    std::vector<int16_t> pcm(2400);
    uint8_t frame[180] = {0};
    int count = -1;
    bool last = false;
    // No frames and no end: nothing to play; the ring stays empty.
    EXPECT_TRUE(playback.putFrames(frame, 17, false));
    EXPECT_TRUE(playback.getPcm(pcm.data(), count, last));
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(playback.putFrames(frame, -1, false));
    EXPECT_FALSE(playback.putFrames(frame, 181, false));
    // No frames with the end: a slot of count 0 carrying the flag.
    EXPECT_TRUE(playback.putFrames(frame, 0, true));
    EXPECT_TRUE(playback.endOfStreamPending());
    count = -1;
    ASSERT_FALSE(playback.getPcm(pcm.data(), count, last));
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(last);
    EXPECT_FALSE(playback.endOfStreamPending());
}

TEST_F(Queues, FullRingRefusesTheEleventhWithTheBufferingHandshake) {
    uint8_t frames[180] = {0};
    // Unprepared: refused like a full ring.
    engine->markRingSpace(true);
    EXPECT_FALSE(playback.putFrames(frames, 180, false));
    EXPECT_TRUE(engine->waitRingFull(0));
    EXPECT_FALSE(engine->ringSpaceMarked());

    ASSERT_TRUE(playback.prepare(PlaybackSlotSamples));
    playback.setBuffering(true);
    engine->markRingFull(false);
    engine->markRingSpace(true);
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(playback.putFrames(frames, 18, false)) << i;
    EXPECT_TRUE(playback.isBuffering());
    EXPECT_FALSE(engine->waitRingFull(0));
    EXPECT_FALSE(playback.putFrames(frames, 18, false));
    EXPECT_TRUE(engine->waitRingFull(0));
    EXPECT_FALSE(engine->ringSpaceMarked());
    EXPECT_FALSE(playback.isBuffering());

    std::vector<int16_t> pcm(2400);
    int count = 0;
    bool last = false;
    for (int i = 0; i < 10; ++i) {
        ASSERT_FALSE(playback.getPcm(pcm.data(), count, last));
        EXPECT_EQ(count, 240);
        EXPECT_TRUE(engine->ringSpaceMarked());
    }
    EXPECT_TRUE(playback.getPcm(pcm.data(), count, last));
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(engine->waitRingFull(0));
}

}  // namespace
}  // namespace brimvox
