package org.brimvox;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.io.PipedInputStream;
import java.io.PipedOutputStream;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.time.Duration;
import java.util.Arrays;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/**
 * The packaged API on the virtual sound card: its microphone plays an espeak-ng sentence
 * (brimvox.speech), its speaker writes a WAV file per test, its clock runs eight times faster.
 */
@Timeout(30)
class BrimvoxTest extends VirtualCardFixture {
    /** The round-trip quality floor of the NativeAudio tests: 5.6 dB expected, a shift scores ~0. */
    static final double SEGSNR_FLOOR_DB = 3.0;

    static Duration ms(long millis) {
        return Duration.ofMillis(millis);
    }

    /** Runs SpeechQuality (default package) through reflection: the round trip's quality. */
    double roundTripSnr() throws Exception {
        Class<?> q = Class.forName("SpeechQuality");
        short[] mic = (short[]) q.getMethod("readWav", File.class).invoke(null, microphone.toFile());
        short[] out = (short[]) q.getMethod("readWav", File.class).invoke(null, speaker.toFile());
        return (double) q.getMethod("segmentalSnr", short[].class, short[].class, int.class)
                .invoke(null, mic, out, 480);
    }

    int speakerSamples() throws IOException {
        return (int) ((Files.size(speaker) - 44) / 2);
    }

    AudioRun record(Path file, long millis) throws Exception {
        AudioRun run = engine.recordToFile(file);
        run.awaitElapsed(ms(millis));
        run.stop();
        return run;
    }

    @Test
    void fileRecordingAndItsPlayback() throws Exception {
        Path file = dir.resolve("speech.bvx");
        AudioRun rec = record(file, 1800);
        assertEquals(AudioRun.Kind.RECORD_FILE, rec.kind());
        assertEquals(file.toAbsolutePath(), rec.file().orElseThrow());
        Duration recorded = rec.await();
        assertTrue(rec.isDone());
        assertTrue(recorded.toMillis() >= 1800, "recorded " + recorded);
        assertEquals(recorded, rec.elapsed());
        long blocks = Math.round(recorded.toNanos() / 90e6);
        assertEquals(54 * blocks, Files.size(file), "every captured block is in the file");

        AudioRun play = engine.playFile(file);
        Duration played = play.await();
        // The frames played, 30 ms each (the engine's own clock counts 0.3 s per block).
        assertEquals(30 * (Files.size(file) / 18), played.toMillis());
        assertEquals(Files.size(file) / 18 * 240, speakerSamples());
        assertTrue(roundTripSnr() > SEGSNR_FLOOR_DB);
    }

    @Test
    void streamRecordingMatchesTheFileAndPlaysBackFromAStream() throws Exception {
        Path file = dir.resolve("reference.bvx");
        record(file, 1800).await();
        byte[] fromFile = Files.readAllBytes(file);

        ByteArrayOutputStream frames = new ByteArrayOutputStream();
        AudioRun rec = engine.recordToStream(frames);
        assertTrue(rec.file().isEmpty());
        rec.awaitElapsed(ms(1800));
        rec.stop();
        rec.await();
        byte[] blocks = frames.toByteArray();
        assertEquals(0, blocks.length % 54);
        assertTrue(blocks.length >= 20 * 54, blocks.length + " bytes");
        // A fresh codec and a microphone that starts over: the stream equals the file's head.
        int n = Math.min(fromFile.length, blocks.length);
        assertArrayEquals(Arrays.copyOf(fromFile, n), Arrays.copyOf(blocks, n));

        AudioRun play = engine.playStream(new ByteArrayInputStream(blocks));
        assertEquals(30 * (blocks.length / 18), play.await().toMillis());
        assertEquals(blocks.length / 18 * 240, speakerSamples());
        assertTrue(roundTripSnr() > SEGSNR_FLOOR_DB);
    }

    @Test
    void aStreamThatFallsBehindShowsBufferingAndATrailingPartialFrameIsIgnored() throws Exception {
        PipedOutputStream feed = new PipedOutputStream();
        PipedInputStream in = new PipedInputStream(feed, 4096);
        AudioRun play = engine.playStream(in);
        assertEquals(AudioRun.Kind.PLAY_STREAM, play.kind());
        feed.write(new byte[3 * 180]);
        feed.flush();
        long until = System.nanoTime() + 5_000_000_000L;
        while (!play.isBuffering()) {
            assertTrue(System.nanoTime() < until, "never buffering");
            Thread.sleep(2);
        }
        assertFalse(play.isDone());
        assertEquals(0, play.peakLevel(), "no input level during a playback");
        feed.write(new byte[20 * 180 + 7]);  // 7 bytes of a frame that never completes
        feed.close();
        Duration played = play.await();
        assertEquals(300 * 23, played.toMillis());
        assertEquals(23 * 10 * 240, speakerSamples());
        assertFalse(play.isBuffering());
    }

    @Test
    void stopEndsAStreamPlaybackWhoseReadBlocks() throws Exception {
        PipedOutputStream feed = new PipedOutputStream();
        AudioRun play = engine.playStream(new PipedInputStream(feed, 4096));
        feed.write(new byte[12 * 180]);  // enough to start sounding, then nothing more
        feed.flush();
        play.awaitElapsed(ms(600));
        long t0 = System.nanoTime();
        play.stop();
        assertTrue(System.nanoTime() - t0 < 2_000_000_000L, "stop returns while the read blocks");
        assertTrue(play.isDone(), "the run has ended, its stream's read still waiting");
        assertTrue(play.await().compareTo(ms(3600)) < 0);
        assertTrue(engine.currentRun().isEmpty());
        // The engine is free for the next run at once.
        engine.playStream(new ByteArrayInputStream(new byte[180])).await();
        feed.close();
    }

    /** The elapsed time once it has not changed for 100 ms; fails if it keeps changing. */
    static Duration settled(AudioRun run) throws InterruptedException {
        long until = System.nanoTime() + 3_000_000_000L;
        Duration last = run.elapsed();
        for (;;) {
            Thread.sleep(100);
            Duration now = run.elapsed();
            if (now.equals(last)) {
                return now;
            }
            assertTrue(System.nanoTime() < until, "the clock does not stand still: " + now);
            last = now;
        }
    }

    @Test
    void pauseHoldsTheClockAndResumeGoesOn() throws Exception {
        AudioRun rec = engine.recordToStream(OutputStream.nullOutputStream());
        rec.pause();  // while the run may still be starting
        assertTrue(rec.isPaused());
        rec.pause();  // twice: still paused
        Duration held = settled(rec);
        Thread.sleep(300);  // more than two seconds of the card's clock
        assertEquals(held, rec.elapsed(), "the clock went on while paused");
        rec.resume();
        assertFalse(rec.isPaused());
        rec.resume();  // twice: still running
        rec.awaitElapsed(held.plus(ms(900)));
        assertTrue(rec.peakLevel() > 1000, "speech reaches the input");
        rec.stop();
        Duration end = rec.await();
        assertTrue(end.compareTo(held.plus(ms(900))) >= 0);
        assertThrows(IllegalStateException.class, rec::pause);
        rec.resume();  // after the end: nothing to do
        rec.stop();
        assertEquals(end, rec.elapsed());
    }

    @Test
    void aPlaybackPausedAsItStartsHoldsAndThenPlaysEverything() throws Exception {
        Path file = dir.resolve("paused.bvx");
        record(file, 900).await();
        AudioRun play = engine.playFile(file);
        play.pause();  // most likely while the output device is still opening
        Duration held = settled(play);
        Thread.sleep(300);
        assertEquals(held, play.elapsed(), "the playback went on while paused");
        assertFalse(play.isDone());
        play.resume();
        assertEquals(30 * (Files.size(file) / 18), play.await().toMillis());
        assertEquals(Files.size(file) / 18 * 240, speakerSamples(), "nothing lost over the pause");
    }

    @Test
    void completionCompletesOnItsOwnAndCallbacksMayStartTheNextRun() throws Exception {
        Path file = dir.resolve("short.bvx");
        record(file, 900).await();
        AudioRun first = engine.playFile(file);
        CompletableFuture<AudioRun> next = first.completion().thenApply(d -> {
            try {
                return engine.playFile(file);
            } catch (BrimvoxException e) {
                throw new IllegalStateException(e);
            }
        });
        AudioRun second = next.get(10, TimeUnit.SECONDS);
        assertTrue(first.isDone());
        assertEquals(first.elapsed(), second.await());
        // The future handed out is a copy: cancelling it does not touch the run.
        CompletableFuture<Duration> copy = engine.playFile(file).completion();
        copy.cancel(true);
        AudioRun third = engine.currentRun().orElseThrow();
        assertEquals(first.elapsed(), third.await());
        assertTrue(engine.currentRun().isEmpty());
    }

    @Test
    void engineFailuresCarryTheEngineText() throws Exception {
        // A device that fails: no sound card at all.
        engine.close();
        engine = Brimvox.builder().soundCard(SoundCard.NONE).open();
        BrimvoxException e = assertThrows(BrimvoxException.class,
                                          () -> engine.recordToStream(OutputStream.nullOutputStream()).await());
        assertEquals(BrimvoxException.Reason.DEVICE, e.reason());
        assertEquals(" Sound driver is not installed.", e.engineText());
        assertTrue(e.getMessage().contains("Sound driver is not installed."), e.getMessage());
        ExecutionException wrapped = assertThrows(ExecutionException.class,
                                                  () -> engine.playStream(InputStream.nullInputStream())
                                                          .completion().get(10, TimeUnit.SECONDS));
        assertInstanceOf(BrimvoxException.class, wrapped.getCause());
        engine.close();

        // A file that fails while the run writes it.
        engine = virtualCard().open();
        Path full = Path.of("/dev/full");
        if (Files.isWritable(full)) {
            AudioRun rec = engine.recordToFile(full);
            e = assertThrows(BrimvoxException.class, rec::await);
            assertEquals(BrimvoxException.Reason.FILE, e.reason());
            // The system's text directly followed by the path, as the engine reports file errors.
            assertTrue(e.engineText().endsWith("/dev/full"), e.engineText());
            assertFalse(e.engineText().startsWith("/dev/full"), e.engineText());
        }
    }

    @Test
    void filesAreCheckedBeforeTheRunStarts() throws Exception {
        Path noDir = dir.resolve("no/such/dir/out.bvx");
        BrimvoxException e = assertThrows(BrimvoxException.class, () -> engine.recordToFile(noDir));
        assertEquals(BrimvoxException.Reason.FILE, e.reason());
        assertInstanceOf(NoSuchFileException.class, e.getCause());
        assertTrue(e.getMessage().contains(noDir.toString()), e.getMessage());
        assertNull(e.engineText());

        Path missing = dir.resolve("missing.bvx");
        e = assertThrows(BrimvoxException.class, () -> engine.playFile(missing));
        assertEquals(BrimvoxException.Reason.FILE, e.reason());
        assertInstanceOf(NoSuchFileException.class, e.getCause());

        e = assertThrows(BrimvoxException.class, () -> engine.playFile(dir));
        assertEquals(BrimvoxException.Reason.FILE, e.reason());
        e = assertThrows(BrimvoxException.class, () -> engine.recordToFile(dir));
        assertEquals(BrimvoxException.Reason.FILE, e.reason());
        assertTrue(engine.currentRun().isEmpty(), "nothing started");
        // And the engine is still usable.
        record(dir.resolve("ok.bvx"), 300).await();
    }

    @Test
    void oneRunAtATimeAndOneEnginePerProcess() throws Exception {
        AudioRun rec = engine.recordToStream(OutputStream.nullOutputStream());
        BrimvoxException e = assertThrows(BrimvoxException.class, () -> engine.playFile(dir.resolve("x")));
        assertEquals(BrimvoxException.Reason.RUN_ACTIVE, e.reason());
        e = assertThrows(BrimvoxException.class, () -> engine.recordToStream(OutputStream.nullOutputStream()));
        assertEquals(BrimvoxException.Reason.RUN_ACTIVE, e.reason());
        assertEquals(rec, engine.currentRun().orElseThrow());

        e = assertThrows(BrimvoxException.class, () -> Brimvox.open());
        assertEquals(BrimvoxException.Reason.ENGINE_IN_USE, e.reason());
        assertTrue(engine.isOpen(), "the first engine is untouched");
        rec.stop();
        rec.await();
    }

    @Test
    void failingStreamsEndTheRun() throws Exception {
        IOException broken = new IOException("disk gone");
        OutputStream failing = new OutputStream() {
            @Override
            public void write(int b) throws IOException {
                throw broken;
            }
        };
        BrimvoxException e = assertThrows(BrimvoxException.class, () -> engine.recordToStream(failing).await());
        assertEquals(BrimvoxException.Reason.STREAM, e.reason());
        assertEquals(broken, rootCause(e));

        InputStream failingIn = new InputStream() {
            @Override
            public int read() throws IOException {
                throw broken;
            }
        };
        e = assertThrows(BrimvoxException.class, () -> engine.playStream(failingIn).await());
        assertEquals(BrimvoxException.Reason.STREAM, e.reason());
        assertEquals(broken, rootCause(e));
        assertTrue(engine.currentRun().isEmpty());
    }

    static Throwable rootCause(Throwable t) {
        while (t.getCause() != null) {
            t = t.getCause();
        }
        return t;
    }

    @Test
    void closingStopsTheRunAndTheEngineRefusesUseAfterClose() throws Exception {
        AudioRun rec = engine.recordToFile(dir.resolve("closed.bvx"));
        rec.awaitElapsed(ms(300));
        long t0 = System.nanoTime();
        engine.close();
        assertTrue(System.nanoTime() - t0 < 3_000_000_000L, "close returns promptly");
        assertTrue(rec.isDone());
        assertTrue(rec.completion().isDone() && !rec.completion().isCompletedExceptionally());
        assertFalse(engine.isOpen());
        engine.close();  // twice: nothing
        assertThrows(IllegalStateException.class, () -> engine.recordToFile(dir.resolve("x.bvx")));
        assertThrows(IllegalStateException.class, () -> engine.recordToStream(OutputStream.nullOutputStream()));
        assertThrows(IllegalStateException.class, () -> engine.playFile(dir.resolve("closed.bvx")));
        assertThrows(IllegalStateException.class, () -> engine.playStream(InputStream.nullInputStream()));
        assertTrue(Files.size(dir.resolve("closed.bvx")) >= 3 * 54, "what was recorded is kept");
        // The process's engine is free again.
        engine = virtualCard().open();
        assertTrue(engine.isOpen());
    }

    @Test
    void nullArgumentsAreRefused() {
        assertThrows(NullPointerException.class, () -> engine.recordToFile(null));
        assertThrows(NullPointerException.class, () -> engine.recordToStream(null));
        assertThrows(NullPointerException.class, () -> engine.playFile(null));
        assertThrows(NullPointerException.class, () -> engine.playStream(null));
        Brimvox.Builder b = Brimvox.builder();
        assertThrows(NullPointerException.class, () -> b.soundCard(null));
        assertThrows(NullPointerException.class, () -> b.virtualMicrophone(null));
        assertThrows(NullPointerException.class, () -> b.virtualSpeaker(null));
    }

    @Test
    void builderSettingsAreValidated() {
        Brimvox.Builder b = Brimvox.builder();
        for (double bad : new double[] {0, -1, 0.001, 1001, Double.NaN, Double.POSITIVE_INFINITY}) {
            IllegalArgumentException e = assertThrows(IllegalArgumentException.class, () -> b.clockSpeed(bad));
            assertTrue(e.getMessage().startsWith("brimvox.audio.speed: "), e.getMessage());
            assertTrue(e.getMessage().contains("0.01 to 1000"), e.getMessage());
        }
        b.clockSpeed(0.01).clockSpeed(1000);
        IllegalArgumentException e = assertThrows(IllegalArgumentException.class,
                                                  () -> SoundCard.fromSetting("bogus"));
        assertEquals("brimvox.audio: \"bogus\" is not a sound card; use alsa, virtual or none", e.getMessage());
        assertEquals(SoundCard.VIRTUAL, SoundCard.fromSetting("virtual"));
        assertNotNull(NativeLibrary.loadedFrom());
    }
}
