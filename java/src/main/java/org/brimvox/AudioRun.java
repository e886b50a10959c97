package org.brimvox;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.Path;
import java.time.Duration;
import java.util.Optional;
import java.util.concurrent.ArrayBlockingQueue;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;

/**
 * One recording or playback of a {@link Brimvox} engine, from its start to its end. A recording
 * runs until {@link #stop()}; a playback runs until its file or stream is played out, or until
 * {@link #stop()}. The run ends by itself when the engine reports a failure.
 *
 * <p>{@link #completion()} completes with the final elapsed time when the run has ended, or
 * exceptionally with a {@link BrimvoxException} carrying the engine's error text.
 *
 * <p>A stream run reads or writes the caller's stream on a thread of its own, so a stream that
 * blocks holds up neither the engine's internal thread nor {@link #stop()}. A recording's stream
 * that has not taken every block within {@value #STREAM_GRACE_MILLIS} ms of the run's end (or
 * that falls more than {@value #MAX_STREAM_BACKLOG} blocks behind) ends the run with a
 * {@link BrimvoxException.Reason#STREAM} failure that says how much was lost; its thread is
 * interrupted and writes nothing more.
 *
 * <p>A recording to a file writes a temporary file beside the target and moves it into place when
 * the run ends. A run that fails before any block was captured leaves an existing file as it was;
 * one that fails later keeps the blocks captured up to the failure.
 */
public final class AudioRun {
    /** The four kinds of run. */
    public enum Kind {
        /** Recording into a compressed file. */
        RECORD_FILE("recording to a file"),
        /** Recording into the caller's output stream. */
        RECORD_STREAM("recording to a stream"),
        /** Playing a compressed file. */
        PLAY_FILE("playback of a file"),
        /** Playing frames from the caller's input stream. */
        PLAY_STREAM("playback of a stream");

        private final String description;

        Kind(String description) {
            this.description = description;
        }

        /** True for the two kinds of recording. */
        public boolean isRecording() {
            return this == RECORD_FILE || this == RECORD_STREAM;
        }

        String describe() {
            return description;
        }
    }

    /** Bytes of one compressed frame (30 ms of speech). */
    public static final int FRAME_BYTES = 18;
    /** Bytes of one recorded block: three frames, 90 ms. */
    public static final int RECORD_BLOCK_BYTES = 54;
    /** The most bytes the engine takes for playback at once: ten frames, 300 ms. */
    public static final int PLAY_BLOCK_BYTES = 180;

    /** How long a recording's stream may take after the run's end to write the last blocks. */
    public static final long STREAM_GRACE_MILLIS = 1000;
    /** How many blocks (90 ms each) a recording's stream may fall behind the engine. */
    public static final int MAX_STREAM_BACKLOG = 1000;

    private static final long STOP_GRACE_NANOS = 3_000_000_000L;
    private static final long START_WAIT_NANOS = 2_000_000_000L;
    // stop() returns within this time whatever the engine or the caller's stream do.
    private static final long STOP_WAIT_NANOS = 1_400_000_000L;

    private final Brimvox engine;
    private final Kind kind;
    private final Path file;
    private final Path partFile;  // a file recording's temporary file beside the target
    private Path placeAt;  // where the temporary file goes: the file, or the file a link names
    private final OutputStream out;
    private final InputStream in;
    private final CompletableFuture<Duration> completion = new CompletableFuture<>();
    // Stream runs: blocks between the engine's internal thread and the thread of the stream.
    private final BlockingQueue<byte[]> recorded = new LinkedBlockingQueue<>();
    private final BlockingQueue<byte[]> toPlay = new ArrayBlockingQueue<>(2);
    private volatile boolean runOver;  // the engine's run has ended: the stream thread winds up
    private volatile long runOverAt;
    private volatile boolean streamDone;
    private volatile IOException streamFailure;
    // The recording's stream did not take its blocks in time: they are dropped, never written.
    private volatile boolean streamAbandoned;
    private volatile int blocksLost;
    private volatile long blocksWritten;
    private volatile Thread streamThread;
    private final Object streamLock = new Object();
    private volatile long framesSupplied;  // playback: frames handed to the engine

    private volatile double elapsedSeconds;
    private volatile boolean stopRequested;
    private volatile boolean ended;
    private boolean paused;  // guarded by this

    // Used by the engine's internal thread only.
    private final double[] time = new double[1];
    private final byte[] recordBlock = new byte[RECORD_BLOCK_BYTES];
    private byte[] pendingBlock;  // read from the stream, not yet accepted by the engine
    private boolean endSent;
    private boolean stopIssued;
    private long stopIssuedAt;
    private String engineError;

    AudioRun(Brimvox engine, Kind kind, Path file, Path partFile, OutputStream out, InputStream in) {
        this.engine = engine;
        this.kind = kind;
        this.file = file;
        this.partFile = partFile;
        this.placeAt = file;
        this.out = out;
        this.in = in;
    }

    /** What this run does. */
    public Kind kind() {
        return kind;
    }

    /** The file of a file run (absolute), empty for a stream run. */
    public Optional<Path> file() {
        return Optional.ofNullable(file);
    }

    /** The time recorded or played so far; the final time once the run has ended. */
    public Duration elapsed() {
        return Duration.ofNanos(Math.round(elapsedSeconds * 1e9));
    }

    /**
     * The highest input level (absolute sample value, 0 to 32767) since the last call, for a
     * recording; 0 for a playback or after the end.
     */
    public int peakLevel() {
        if (!kind.isRecording() || ended) {
            return 0;
        }
        return Math.min(32767, Math.abs(engine.natives(Natives::maxSample, 0)));
    }

    /**
     * True while a playback waits for its engine's buffer to fill before sound starts again
     * (because the supplier of frames fell behind); always false for a recording.
     */
    public boolean isBuffering() {
        return !kind.isRecording() && !ended && engine.natives(Natives::isBuffering, false);
    }

    /** True once the run has ended. */
    public boolean isDone() {
        return ended;
    }

    /** True while paused by {@link #pause()}. */
    public synchronized boolean isPaused() {
        return paused && !ended;
    }

    /**
     * Pauses the run (the sound card holds; a recording captures nothing meanwhile). Does nothing
     * if it is paused already. A run that is still starting is paused as soon as it runs.
     *
     * @throws IllegalStateException if the run has ended or did not begin running within 2 s
     */
    public synchronized void pause() {
        if (ended) {
            throw new IllegalStateException("the " + kind.describe() + " has ended");
        }
        if (paused) {
            return;
        }
        long until = System.nanoTime() + START_WAIT_NANOS;
        while (!engine.natives(Natives::pause, false)) {
            // False: nothing runs yet (the device is still opening), or the run has just ended.
            if (ended) {
                throw new IllegalStateException("the " + kind.describe() + " has ended");
            }
            if (System.nanoTime() > until) {
                throw new IllegalStateException("the " + kind.describe() + " is not running");
            }
            Brimvox.sleepQuietly(Brimvox.POLL_MILLIS);
        }
        paused = true;
    }

    /** Resumes a paused run; does nothing if it is not paused or has ended. */
    public synchronized void resume() {
        if (!paused) {
            return;
        }
        paused = false;
        if (ended) {
            return;
        }
        if (engine.natives(Natives::pause, false)) {
            // The engine was not paused after all (its run was restarted): undo this toggle.
            engine.natives(Natives::pause, false);
        }
    }

    /**
     * Ends the run and waits until it has ended, for at most 1.5 s: a run that has not ended by
     * then (a recording whose stream still writes its last blocks, an engine waiting for a stuck
     * device) ends on its own within its bounds, and {@link #completion()} tells when. A recording
     * keeps what was captured up to the stop. Does nothing if the run has ended. Failures are
     * reported through {@link #completion()}, not here. A recording to a stream ends once its
     * blocks are written to the stream (or as a failure once the stream has had
     * {@value #STREAM_GRACE_MILLIS} ms for them); a read of a playback's stream that is still
     * waiting when the playback ends finishes in the background and its data is dropped. An
     * interrupt does not cut the wait short; the thread's interrupt status is kept.
     */
    public void stop() {
        if (ended) {
            return;
        }
        stopRequested = true;
        engine.wake();
        if (engine.isPollerThread()) {
            return;  // called from a callback on the internal thread: it ends the run next
        }
        awaitEndQuietly(STOP_WAIT_NANOS);
    }

    /**
     * Waits up to the given time for the run's end. An interrupt does not cut the wait short (a
     * stop returns once the run has ended, or at the bound); the thread's interrupt status is
     * restored before returning.
     */
    void awaitEndQuietly(long nanos) {
        boolean interrupted = false;
        long until = System.nanoTime() + nanos;
        try {
            for (;;) {
                long left = until - System.nanoTime();
                if (ended || left <= 0) {
                    return;
                }
                try {
                    completion.get(left, TimeUnit.NANOSECONDS);
                    return;
                } catch (InterruptedException e) {
                    interrupted = true;
                } catch (ExecutionException | TimeoutException e) {
                    return;  // reported through completion()
                }
            }
        } finally {
            if (interrupted) {
                Thread.currentThread().interrupt();
            }
        }
    }

    /**
     * Completes with the final elapsed time when the run has ended, or exceptionally with a
     * {@link BrimvoxException}. A run ended by {@link #stop()} or by closing the engine completes
     * normally. The returned future is a copy: completing or cancelling it does not affect the run.
     */
    public CompletableFuture<Duration> completion() {
        return completion.copy();
    }

    /**
     * Waits until the run has ended and returns its final elapsed time.
     *
     * @throws BrimvoxException if the run failed
     * @throws InterruptedException if the waiting thread is interrupted
     */
    public Duration await() throws BrimvoxException, InterruptedException {
        try {
            return completion.get();
        } catch (ExecutionException e) {
            throw rethrown(e);
        }
    }

    /**
     * Waits at most the given time for the run to end.
     *
     * @return the final elapsed time, or empty if the run is still going
     * @throws BrimvoxException if the run failed
     * @throws InterruptedException if the waiting thread is interrupted
     */
    public Optional<Duration> await(Duration timeout) throws BrimvoxException, InterruptedException {
        try {
            return Optional.of(completion.get(timeout.toNanos(), TimeUnit.NANOSECONDS));
        } catch (ExecutionException e) {
            throw rethrown(e);
        } catch (TimeoutException e) {
            return Optional.empty();
        }
    }

    /**
     * Waits until the run has reached the given elapsed time (measured by the sound card's clock)
     * or has ended, whichever comes first: for example, to record three seconds, wait for three
     * seconds and then {@link #stop()}.
     *
     * @return the elapsed time reached
     * @throws BrimvoxException if the run failed
     * @throws InterruptedException if the waiting thread is interrupted
     */
    public Duration awaitElapsed(Duration time) throws BrimvoxException, InterruptedException {
        double seconds = time.toNanos() / 1e9;
        while (!ended && elapsedSeconds < seconds - 1e-9) {
            Thread.sleep(Brimvox.POLL_MILLIS);
        }
        if (completion.isCompletedExceptionally()) {
            await();
        }
        return elapsed();
    }

    private static BrimvoxException rethrown(ExecutionException e) {
        Throwable cause = e.getCause();
        if (cause instanceof BrimvoxException) {
            BrimvoxException b = (BrimvoxException) cause;
            // A fresh exception whose stack shows the waiting caller; the original is its cause.
            return new BrimvoxException(b.reason(), b.getMessage(), b.engineText(), b);
        }
        return new BrimvoxException(BrimvoxException.Reason.DEVICE, String.valueOf(cause), null, cause);
    }

    @Override
    public String toString() {
        return kind.describe() + (file != null ? " " + file : "") + (ended ? ", ended" : "")
               + " at " + elapsedSeconds + " s";
    }

    /** Starts the thread of a stream run; called once the engine has started the run. */
    void startStreamThread() {
        Runnable body = kind == Kind.RECORD_STREAM ? this::writeStream
                        : kind == Kind.PLAY_STREAM ? this::readStream : null;
        if (body == null) {
            streamDone = true;
            return;
        }
        Thread t = new Thread(body, "brimvox-stream");
        t.setDaemon(true);
        streamThread = t;
        t.start();
    }

    /**
     * One look at the engine, on its internal thread, with the engine's natives held: moves blocks,
     * takes the time and errors, issues a requested stop. True once the run is over: the engine
     * reported its end and a recording's stream has taken every block.
     */
    boolean poll() {
        boolean recording = kind.isRecording();
        if (runOver) {
            // Waiting for the stream thread to write the last blocks, for a bounded time.
            if (!streamDone && System.nanoTime() - runOverAt > STREAM_GRACE_MILLIS * 1_000_000L) {
                abandonStream();
            }
            return streamDone || streamAbandoned;
        }
        if (kind == Kind.RECORD_STREAM) {
            drainBlocks();
            if (recorded.size() > MAX_STREAM_BACKLOG && streamFailure == null) {
                streamFailure = new IOException("the stream fell more than " + MAX_STREAM_BACKLOG
                                                + " blocks (" + MAX_STREAM_BACKLOG * 90 / 1000
                                                + " s) behind");
                stopRequested = true;
            }
        } else if (kind == Kind.PLAY_STREAM && !stopRequested) {
            feedBlocks();
        }
        if (Natives.time(recording, time)) {
            elapsedSeconds = played(time[0]);
        }
        takeEngineError();
        if (stopRequested && !stopIssued) {
            if (kind == Kind.RECORD_STREAM) {
                drainBlocks();
            }
            Natives.stop();
            stopIssued = true;
            stopIssuedAt = System.nanoTime();
        }
        boolean over = false;
        if (Natives.isStop(recording, time)) {
            elapsedSeconds = played(time[0]);
            takeEngineError();
            over = true;
        } else if (stopIssued && System.nanoTime() - stopIssuedAt > STOP_GRACE_NANOS) {
            // The engine's stop waits a bounded time for its threads; if it had to give up on
            // them no end notice may follow, so the run counts as ended after a grace period.
            over = true;
        }
        if (over) {
            if (kind == Kind.RECORD_STREAM) {
                // The blocks captured before the end are still in the engine: take them all.
                drainBlocks();
            }
            runOverAt = System.nanoTime();
            runOver = true;
            return kind != Kind.RECORD_STREAM || streamDone;
        }
        return false;
    }

    /**
     * The run is over for the engine (closed): a recording's stream that has not taken every block
     * yet is given up.
     */
    void abandon() {
        if (!runOver) {
            runOverAt = System.nanoTime();
            runOver = true;
        }
        if (kind == Kind.RECORD_STREAM && !streamDone) {
            abandonStream();
        }
    }

    /** Gives up on a recording's stream that holds up the end: its blocks are counted as lost. */
    private void abandonStream() {
        synchronized (streamLock) {
            abandonStreamLocked();
        }
    }

    private void abandonStreamLocked() {
        if (streamAbandoned || streamDone) {
            return;
        }
        streamAbandoned = true;
        int lost = 0;
        while (recorded.poll() != null) {
            lost++;
        }
        if (writing) {
            lost++;
        }
        blocksLost = lost;
        Thread t = streamThread;
        if (t != null) {
            t.interrupt();  // a stream that honours interrupts ends its write now
        }
    }

    private void takeEngineError() {
        String text = Natives.takeError();
        if (text != null && engineError == null) {
            engineError = text;
            stopRequested = true;  // the engine ends a failed run itself; make sure of it
        }
    }

    private void drainBlocks() {
        while (Natives.getBuffer(recordBlock)) {
            synchronized (streamLock) {
                if (streamFailure != null || streamAbandoned || streamDone) {
                    blocksLost++;
                } else {
                    recorded.add(recordBlock.clone());
                }
            }
        }
    }

    private void feedBlocks() {
        while (!endSent) {
            if (pendingBlock == null) {
                pendingBlock = toPlay.poll();
                if (pendingBlock == null) {
                    return;  // the stream has nothing yet
                }
            }
            int length = pendingBlock.length - 1;
            boolean last = pendingBlock[length] != 0;
            // Refused: the playback is not running yet or its ring is full. Offer it again later.
            if (!Natives.setBuffer(pendingBlock, length, last)) {
                return;
            }
            framesSupplied += length / FRAME_BYTES;
            endSent = last;
            pendingBlock = null;
        }
    }

    private void failStream(Exception e) {
        if (streamFailure == null) {
            streamFailure = e instanceof IOException ? (IOException) e : new IOException(e);
        }
        stopRequested = true;
        engine.wake();
    }

    private volatile boolean writing;  // the stream thread is inside a write of a block

    /** The stream thread of a recording: writes the blocks in order, then flushes. */
    private void writeStream() {
        try {
            for (;;) {
                byte[] block = recorded.poll(20, TimeUnit.MILLISECONDS);
                if (streamAbandoned) {
                    return;  // given up: nothing more reaches the stream
                }
                if (block != null) {
                    writing = true;
                    out.write(block);
                    writing = false;
                    blocksWritten++;
                } else if (runOver && recorded.isEmpty()) {
                    break;
                }
            }
            out.flush();
        } catch (IOException | RuntimeException e) {
            if (!streamAbandoned) {
                failStream(e);
            }
        } catch (InterruptedException e) {
            if (!streamAbandoned) {
                failStream(new java.io.InterruptedIOException("the stream thread was interrupted"));
            }
        } finally {
            synchronized (streamLock) {
                if (!streamAbandoned) {
                    int lost = writing ? 1 : 0;
                    while (recorded.poll() != null) {
                        lost++;
                    }
                    blocksLost += lost;
                }
                writing = false;
                streamDone = true;
            }
            engine.wake();
        }
    }

    /**
     * The stream thread of a playback: reads blocks of up to ten whole frames, each handed over
     * with one more byte that marks the last block; a trailing partial frame is dropped.
     */
    private void readStream() {
        try {
            for (;;) {
                byte[] buffer = new byte[PLAY_BLOCK_BYTES];
                int n = in.readNBytes(buffer, 0, PLAY_BLOCK_BYTES);
                boolean last = n < PLAY_BLOCK_BYTES;
                int length = n - n % FRAME_BYTES;
                byte[] block = java.util.Arrays.copyOf(buffer, length + 1);
                block[length] = (byte) (last ? 1 : 0);
                while (!toPlay.offer(block, 20, TimeUnit.MILLISECONDS)) {
                    if (runOver || stopRequested) {
                        return;
                    }
                }
                if (last || runOver || stopRequested) {
                    return;
                }
            }
        } catch (IOException | RuntimeException e) {
            if (!runOver) {
                failStream(e);
            }
        } catch (InterruptedException e) {
            failStream(new java.io.InterruptedIOException("the stream thread was interrupted"));
        } finally {
            streamDone = true;
        }
    }

    /**
     * A playback's time: the engine counts each block of up to ten frames as 0.3 s, so the time
     * is at most the frames the file holds or the stream has supplied (30 ms each).
     */
    private double played(double engineSeconds) {
        long frames = kind == Kind.PLAY_STREAM ? framesSupplied : kind == Kind.PLAY_FILE ? fileFrames : -1;
        return frames < 0 ? engineSeconds : Math.min(engineSeconds, frames * 3 / 100.0);
    }

    /** Frames of a played file, -1 if unknown. */
    private long fileFrames = -1;

    void setPlaceAt(Path target) {
        placeAt = target;
    }

    void setFileFrames(long frames) {
        fileFrames = frames;
    }

    /**
     * Moves a file recording's temporary file into place: always after a clean end, after a
     * failure only if a block was captured (so an existing file stays as it was otherwise).
     */
    private BrimvoxException placeRecording(BrimvoxException failure) {
        try {
            long size = java.nio.file.Files.size(partFile);
            if (failure != null && size == 0) {
                java.nio.file.Files.deleteIfExists(partFile);
                return failure;
            }
            try {
                java.nio.file.Files.move(partFile, placeAt, java.nio.file.StandardCopyOption.ATOMIC_MOVE,
                                         java.nio.file.StandardCopyOption.REPLACE_EXISTING);
            } catch (java.nio.file.AtomicMoveNotSupportedException e) {
                java.nio.file.Files.move(partFile, placeAt, java.nio.file.StandardCopyOption.REPLACE_EXISTING);
            }
            return failure;
        } catch (IOException | RuntimeException e) {
            BrimvoxException moved = new BrimvoxException(
                    BrimvoxException.Reason.FILE,
                    "the " + kind.describe() + " failed: cannot move the recording into place: "
                            + Brimvox.describe(e) + ": " + file + " (the recording is kept in "
                            + partFile + ")",
                    null, e);
            if (failure != null) {
                moved.addSuppressed(failure);
            }
            return moved;
        }
    }

    /** The failure the run ended with, or null. */
    BrimvoxException failure() {
        if (kind == Kind.RECORD_STREAM && !streamDone && !streamAbandoned && runOver) {
            abandonStream();
        }
        if (streamAbandoned || streamFailure != null) {
            String what;
            if (streamAbandoned) {
                what = "the stream did not take the recorded frames within " + STREAM_GRACE_MILLIS
                       + " ms of the end";
            } else if (kind == Kind.RECORD_STREAM) {
                what = "writing the recorded frames: " + describe(streamFailure);
            } else {
                what = "reading the frames to play: " + describe(streamFailure);
            }
            String lost = "";
            if (kind == Kind.RECORD_STREAM && blocksLost > 0) {
                lost = "; " + blocksLost * RECORD_BLOCK_BYTES + " bytes (" + blocksLost + " blocks, "
                       + String.format(java.util.Locale.ROOT, "%.2f", blocksLost * 0.09)
                       + " s of speech) were not written, " + blocksWritten * RECORD_BLOCK_BYTES
                       + " bytes were";
            }
            return new BrimvoxException(BrimvoxException.Reason.STREAM,
                                        "the " + kind.describe() + " failed: " + what + lost,
                                        null, streamFailure);
        }
        if (engineError != null) {
            String text = engineError.trim();
            String engineFile = partFile != null ? partFile.toString() : file != null ? file.toString() : null;
            if (engineFile != null && text.endsWith(engineFile)) {
                // The engine puts the path right after the system's text; the message names the
                // file the caller asked for.
                String system = text.substring(0, text.length() - engineFile.length()).trim();
                return new BrimvoxException(BrimvoxException.Reason.FILE,
                                            "the " + kind.describe() + " failed: " + system + ": " + file,
                                            engineError, null);
            }
            String cause = engine.virtualCardCause(kind.isRecording());
            return new BrimvoxException(BrimvoxException.Reason.DEVICE,
                                        "the " + kind.describe() + " failed: " + text
                                                + (cause != null ? " (" + cause + ")" : ""),
                                        engineError, null);
        }
        return null;
    }

    private static String describe(IOException e) {
        String m = e.getMessage();
        return m != null && !m.isEmpty() ? e.getClass().getSimpleName() + ": " + m : e.getClass().getSimpleName();
    }

    /** Marks the run ended and completes its future; later calls do nothing. */
    void finish(BrimvoxException failure) {
        synchronized (finishLock) {
            if (ended) {
                return;
            }
            finishOnce(failure);
        }
    }

    private final Object finishLock = new Object();

    private void finishOnce(BrimvoxException failure) {
        runOver = true;
        elapsedSeconds = played(elapsedSeconds);
        if (partFile != null) {
            failure = placeRecording(failure);
        }
        ended = true;
        if (failure != null) {
            completion.completeExceptionally(failure);
        } else {
            completion.complete(elapsed());
        }
    }
}
