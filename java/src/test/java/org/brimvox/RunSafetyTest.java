package org.brimvox;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.Arrays;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/**
 * The packaged API loses nothing and is never held: every captured block reaches the stream or
 * the file, a failed recording leaves an existing file as it was, a caller's stream that blocks
 * holds neither stop() nor close().
 */
@Timeout(60)
class RunSafetyTest extends VirtualCardFixture {
    static long blocksOf(Duration time) {
        return Math.round(time.toNanos() / 90e6);
    }

    @Test
    void streamAndFileRecordingsHoldEveryCountedBlock() throws Exception {
        Path file = dir.resolve("ref.bvx");
        AudioRun rec = engine.recordToFile(file);
        rec.awaitElapsed(Duration.ofMillis(1620));
        rec.stop();
        Duration fileTime = rec.await();
        byte[] fromFile = Files.readAllBytes(file);
        assertEquals(54 * blocksOf(fileTime), fromFile.length, "file of " + fileTime);
        // The last block of a stream recording was the one lost: try several stops.
        for (int round = 0; round < 4; ++round) {
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            AudioRun s = engine.recordToStream(out);
            s.awaitElapsed(Duration.ofMillis(1620));
            s.stop();
            Duration t = s.await();
            byte[] got = out.toByteArray();
            assertEquals(54 * blocksOf(t), got.length, "round " + round + ", final time " + t);
            // A fresh codec over a microphone that starts over: the same frames as the file.
            int n = Math.min(got.length, fromFile.length);
            assertArrayEquals(Arrays.copyOf(fromFile, n), Arrays.copyOf(got, n), "round " + round);
        }
    }

    @Test
    void aStopDuringPauseKeepsTheBlocksBeforeThePause() throws Exception {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        AudioRun rec = engine.recordToStream(out);
        rec.awaitElapsed(Duration.ofMillis(450));
        rec.pause();
        Thread.sleep(100);
        rec.stop();
        Duration t = rec.await();
        assertTrue(t.toMillis() >= 450, "time " + t);
        assertEquals(54 * blocksOf(t), out.size());
    }

    static String[] partFiles(Path dir) throws IOException {
        try (Stream<Path> s = Files.list(dir)) {
            return s.map(p -> p.getFileName().toString()).filter(n -> n.endsWith(".part")).toArray(String[]::new);
        }
    }

    @Test
    void aFailedRecordingLeavesAnExistingFileAsItWas() throws Exception {
        Path precious = dir.resolve("precious.bvx");
        byte[] held = new byte[1890];
        Arrays.fill(held, (byte) 0x5a);
        Files.write(precious, held);
        engine.close();
        engine = Brimvox.builder().soundCard(SoundCard.NONE).open();
        AudioRun rec = engine.recordToFile(precious);
        BrimvoxException e = assertThrows(BrimvoxException.class, rec::await);
        assertEquals(BrimvoxException.Reason.DEVICE, e.reason());
        // No leading space, nothing glued together.
        assertEquals("the recording to a file failed: Sound driver is not installed.", e.getMessage());
        assertArrayEquals(held, Files.readAllBytes(precious));
        assertEquals(0, partFiles(dir).length, "no temporary file left");

        // A recording that ends well replaces the file, and leaves nothing beside it either.
        engine.close();
        engine = virtualCard().open();
        AudioRun ok = engine.recordToFile(precious);
        ok.awaitElapsed(Duration.ofMillis(270));
        ok.stop();
        Duration t = ok.await();
        assertEquals(54 * blocksOf(t), Files.size(precious));
        assertEquals(0, partFiles(dir).length);
    }

    @Test
    void fileErrorsNameWhatFailedTheSystemTextAndThePath() throws Exception {
        Path full = Path.of("/dev/full");
        if (!Files.isWritable(full)) {
            return;
        }
        BrimvoxException e = assertThrows(BrimvoxException.class, () -> engine.recordToFile(full).await());
        assertEquals(BrimvoxException.Reason.FILE, e.reason());
        assertEquals("the recording to a file failed: No space left on device: /dev/full", e.getMessage());
        assertEquals("No space left on device/dev/full", e.engineText(), "the engine's own text, unchanged");
        assertFalse(Files.isRegularFile(full), "the device is written directly, never replaced");

        Path noDir = dir.resolve("no/such/out.bvx");
        e = assertThrows(BrimvoxException.class, () -> engine.recordToFile(noDir));
        assertEquals("cannot record to a file: no such file or directory: " + noDir, e.getMessage());
    }

    @Test
    void theVirtualCardNamesWhyItFailedAndTakesOnlySoundFilesAsItsMicrophone() throws Exception {
        engine.close();
        Path speaker = dir.resolve("no/such/dir/speaker.wav");
        engine = virtualCard().virtualSpeaker(speaker).open();
        BrimvoxException e = assertThrows(BrimvoxException.class,
                                          () -> engine.playStream(new java.io.ByteArrayInputStream(new byte[180])).await());
        assertEquals(BrimvoxException.Reason.DEVICE, e.reason());
        assertTrue(e.getMessage().startsWith("the playback of a stream failed: "), e.getMessage());
        assertTrue(e.getMessage().endsWith("(the virtual speaker cannot be created: no such directory: " + speaker + ")"),
                   e.getMessage());
        engine.close();
        engine = null;

        Path text = dir.resolve("notes.txt");
        Files.writeString(text, "not speech at all");
        for (Path bad : new Path[] {dir, text}) {
            e = assertThrows(BrimvoxException.class, () -> virtualCard().virtualMicrophone(bad).open());
            assertEquals(BrimvoxException.Reason.SETTING, e.reason());
            assertTrue(e.getMessage().startsWith("the brimvox engine refused a setting: brimvox.audio.in: "),
                       e.getMessage());
            assertTrue(e.getMessage().endsWith(": " + bad), e.getMessage());
        }
        engine = virtualCard().open();  // nothing was left open by the refusals
    }

    /** An output stream whose write blocks until released (never, unless a test says so). */
    static final class BlockingStream extends OutputStream {
        final CountDownLatch release = new CountDownLatch(1);
        final AtomicLong written = new AtomicLong();
        volatile boolean interrupted;
        final long delayMillis;

        BlockingStream(long delayMillis) {
            this.delayMillis = delayMillis;
        }

        @Override
        public void write(int b) throws IOException {
            write(new byte[] {(byte) b}, 0, 1);
        }

        @Override
        public void write(byte[] b, int off, int len) throws IOException {
            try {
                if (delayMillis < 0) {
                    release.await();
                } else {
                    Thread.sleep(delayMillis);
                }
            } catch (InterruptedException e) {
                interrupted = true;
                throw new java.io.InterruptedIOException("interrupted");
            }
            written.addAndGet(len);
        }
    }

    static long millisSince(long t0) {
        return (System.nanoTime() - t0) / 1_000_000;
    }

    @Test
    void aBlockingStreamHoldsNeitherStopNorTheEngine() throws Exception {
        BlockingStream stuck = new BlockingStream(-1);
        AudioRun rec = engine.recordToStream(stuck);
        rec.awaitElapsed(Duration.ofMillis(540));
        long t0 = System.nanoTime();
        rec.stop();
        assertTrue(millisSince(t0) < 1500, "stop took " + millisSince(t0) + " ms");
        ExecutionException failed = assertThrows(ExecutionException.class,
                                                  () -> rec.completion().get(2, TimeUnit.SECONDS));
        BrimvoxException e = (BrimvoxException) failed.getCause();
        assertEquals(BrimvoxException.Reason.STREAM, e.reason());
        long lostBlocks = blocksOf(rec.elapsed());
        assertTrue(e.getMessage().contains(lostBlocks * 54 + " bytes (" + lostBlocks + " blocks"), e.getMessage());
        assertTrue(stuck.interrupted, "the stream's thread was interrupted");
        assertEquals(0, stuck.written.get());
        // The engine takes the next run at once.
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        AudioRun next = engine.recordToStream(out);
        next.awaitElapsed(Duration.ofMillis(180));
        next.stop();
        assertEquals(54 * blocksOf(next.await()), out.size());
    }

    @Test
    void closeWithABlockingStreamReturnsAndANewEngineOpensAtOnce() throws Exception {
        BlockingStream stuck = new BlockingStream(-1);
        AudioRun rec = engine.recordToStream(stuck);
        rec.awaitElapsed(Duration.ofMillis(270));
        long t0 = System.nanoTime();
        engine.close();
        assertTrue(millisSince(t0) < 2000, "close took " + millisSince(t0) + " ms");
        assertTrue(rec.isDone());
        assertTrue(rec.completion().isCompletedExceptionally(), "never a success: its blocks were not written");
        engine = virtualCard().open();
        stuck.release.countDown();
        Thread.sleep(50);
        assertEquals(0, stuck.written.get(), "nothing is written after the run was given up");
    }

    @Test
    void aSlowStreamEndsAsAStreamFailureThatCountsWhatWasLost() throws Exception {
        BlockingStream slow = new BlockingStream(150);
        AudioRun rec = engine.recordToStream(slow);
        rec.awaitElapsed(Duration.ofMillis(1800));
        long t0 = System.nanoTime();
        rec.stop();
        assertTrue(millisSince(t0) < 1500, "stop took " + millisSince(t0) + " ms");
        BrimvoxException e = assertThrows(BrimvoxException.class, rec::await);
        assertEquals(BrimvoxException.Reason.STREAM, e.reason());
        assertTrue(e.getMessage().contains("were not written, " + slow.written.get() + " bytes were"), e.getMessage());
    }

    @Test
    void anInterruptedStopWaitsForTheEndAndKeepsTheInterrupt() throws Exception {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        AudioRun rec = engine.recordToStream(out);
        rec.awaitElapsed(Duration.ofMillis(270));
        Thread.currentThread().interrupt();
        try {
            rec.stop();
            assertTrue(rec.isDone(), "stop returned before the run ended");
            assertTrue(Thread.currentThread().isInterrupted(), "the interrupt status is kept");
        } finally {
            Thread.interrupted();
        }
        assertEquals(54 * blocksOf(rec.await()), out.size());
        Thread.currentThread().interrupt();
        try {
            long t0 = System.nanoTime();
            engine.close();
            assertTrue(millisSince(t0) < 2000);
            assertTrue(Thread.currentThread().isInterrupted());
        } finally {
            Thread.interrupted();
        }
        assertFalse(engine.isOpen());
    }
}
