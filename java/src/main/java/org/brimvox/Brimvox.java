package org.brimvox;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.LinkedHashMap;
import java.util.Map;
import java.util.Objects;
import java.util.Optional;
import java.util.function.Supplier;

/**
 * The speech engine: records speech from the default sound input into compressed frames and plays
 * compressed frames through the default sound output, one run at a time.
 *
 * <p>The native library holds one engine per process, so at most one {@code Brimvox} is open at a
 * time: opening a second one while the first is open fails with
 * {@link BrimvoxException.Reason#ENGINE_IN_USE}. Close the engine (try-with-resources) to stop any
 * run and free the native engine; closing twice does nothing; any other call after
 * {@link #close()} throws {@link IllegalStateException}. Do not mix this class with direct calls to
 * the class {@code NativeAudio} in the same process.
 *
 * <p>One internal daemon thread per open engine watches the running run: it moves blocks between
 * the engine and the caller's streams, tracks the elapsed time and completes the run's
 * {@link AudioRun#completion() future}. Callbacks attached to that future without an executor run
 * on this thread and should return quickly.
 *
 * <pre>{@code
 * try (Brimvox engine = Brimvox.open()) {
 *     AudioRun rec = engine.recordToFile(Path.of("note.bvx"));
 *     rec.awaitElapsed(Duration.ofSeconds(3));
 *     rec.stop();
 *     rec.await();                                   // throws if the recording failed
 *     engine.playFile(Path.of("note.bvx")).await();  // returns when the playback has ended
 * }
 * }</pre>
 */
public final class Brimvox implements AutoCloseable {
    /** Setting: the sound card ("alsa", "virtual" or "none"); see {@link SoundCard}. */
    public static final String AUDIO_PROPERTY = "brimvox.audio";
    /** Setting: the WAV file the virtual card's microphone plays. */
    public static final String AUDIO_IN_PROPERTY = "brimvox.audio.in";
    /** Setting: the WAV file the virtual card's speaker writes. */
    public static final String AUDIO_OUT_PROPERTY = "brimvox.audio.out";
    /** Setting: how many times faster than real time the virtual card's clock runs. */
    public static final String AUDIO_SPEED_PROPERTY = "brimvox.audio.speed";
    /** The lowest and highest clock speed of the virtual card. */
    public static final double MIN_SPEED = 0.01;
    /** The highest clock speed of the virtual card. */
    public static final double MAX_SPEED = 1000;

    static final long POLL_MILLIS = 5;

    private static final Object PROCESS_LOCK = new Object();
    private static Brimvox openEngine;  // guarded by PROCESS_LOCK

    private final Object lock = new Object();
    // Held around every native call of this engine's runs, so none reaches the natives after
    // close() has destroyed the engine (the next engine of the process is someone else's).
    private final Object nativeLock = new Object();
    private boolean released;  // guarded by nativeLock
    private boolean closed;  // guarded by lock
    private AudioRun current;  // guarded by lock
    private final Thread poller;

    private Brimvox() {
        poller = new Thread(this::pollLoop, "brimvox-poller");
        poller.setDaemon(true);
    }

    /**
     * Opens the engine with the settings of the system properties and environment variables.
     *
     * @throws BrimvoxException if the native library cannot be loaded, another engine is open, a
     *     setting is refused or the engine cannot be created
     */
    public static Brimvox open() throws BrimvoxException {
        return builder().open();
    }

    /** A builder for an engine with explicit sound settings. */
    public static Builder builder() {
        return new Builder();
    }

    /**
     * The native library's version (101), loading the library if needed.
     *
     * @throws BrimvoxException if the native library cannot be loaded
     */
    public static int nativeVersion() throws BrimvoxException {
        loadNatives();
        return Natives.version();
    }

    private static void loadNatives() throws BrimvoxException {
        try {
            Natives.init();
        } catch (LinkageError e) {
            throw new BrimvoxException(BrimvoxException.Reason.LIBRARY, e.getMessage(), null, e);
        }
    }

    /**
     * Starts recording into a compressed file, created anew (an existing file is replaced).
     *
     * @throws NullPointerException if file is null
     * @throws BrimvoxException {@code FILE} if the file cannot be created (the cause is the
     *     system's exception), {@code RUN_ACTIVE} if a run is active
     * @throws IllegalStateException if the engine is closed
     */
    public AudioRun recordToFile(Path file) throws BrimvoxException {
        Objects.requireNonNull(file, "file");
        Path path = file.toAbsolutePath();
        synchronized (lock) {
            checkStartable();
            if (Files.isDirectory(path)) {
                throw fileError("cannot record to " + path + ": it is a directory", null);
            }
            try {
                Files.newOutputStream(path, StandardOpenOption.CREATE, StandardOpenOption.WRITE,
                                      StandardOpenOption.TRUNCATE_EXISTING).close();
            } catch (IOException | UnsupportedOperationException e) {
                throw fileError("cannot record to " + path + ": " + describe(e), e);
            }
            return start(new AudioRun(this, AudioRun.Kind.RECORD_FILE, path, null, null),
                         () -> Natives.recordFile(path.toString()));
        }
    }

    /**
     * Starts recording into a stream: the engine's 54-byte blocks (three 18-byte frames, 90 ms)
     * are written to {@code out} in order as they are captured. The stream is flushed at the end
     * of the run but not closed.
     *
     * @throws NullPointerException if out is null
     * @throws BrimvoxException {@code RUN_ACTIVE} if a run is active
     * @throws IllegalStateException if the engine is closed
     */
    public AudioRun recordToStream(OutputStream out) throws BrimvoxException {
        Objects.requireNonNull(out, "out");
        synchronized (lock) {
            checkStartable();
            return start(new AudioRun(this, AudioRun.Kind.RECORD_STREAM, null, out, null),
                         Natives::recordBuffer);
        }
    }

    /**
     * Starts playing a compressed file (a sequence of 18-byte frames).
     *
     * @throws NullPointerException if file is null
     * @throws BrimvoxException {@code FILE} if the file does not exist or cannot be read (the cause
     *     is the system's exception), {@code RUN_ACTIVE} if a run is active
     * @throws IllegalStateException if the engine is closed
     */
    public AudioRun playFile(Path file) throws BrimvoxException {
        Objects.requireNonNull(file, "file");
        Path path = file.toAbsolutePath();
        synchronized (lock) {
            checkStartable();
            if (Files.isDirectory(path)) {
                throw fileError("cannot play " + path + ": it is a directory", null);
            }
            try {
                Files.newInputStream(path).close();
            } catch (IOException | UnsupportedOperationException e) {
                throw fileError("cannot play " + path + ": " + describe(e), e);
            }
            return start(new AudioRun(this, AudioRun.Kind.PLAY_FILE, path, null, null),
                         () -> Natives.playFile(path.toString()));
        }
    }

    /**
     * Starts playing compressed frames read from a stream (18-byte frames back to back, as
     * {@link #recordToStream} writes them) until its end. The stream is read on the engine's
     * internal thread, at most 180 bytes ahead of what the engine accepts; it is not closed. A
     * trailing partial frame is ignored.
     *
     * @throws NullPointerException if in is null
     * @throws BrimvoxException {@code RUN_ACTIVE} if a run is active
     * @throws IllegalStateException if the engine is closed
     */
    public AudioRun playStream(InputStream in) throws BrimvoxException {
        Objects.requireNonNull(in, "in");
        synchronized (lock) {
            checkStartable();
            return start(new AudioRun(this, AudioRun.Kind.PLAY_STREAM, null, null, in),
                         Natives::playBuffer);
        }
    }

    /** The run that has not ended yet, if any. */
    public Optional<AudioRun> currentRun() {
        synchronized (lock) {
            return Optional.ofNullable(current);
        }
    }

    /** False once {@link #close()} was called. */
    public boolean isOpen() {
        synchronized (lock) {
            return !closed;
        }
    }

    /**
     * Stops any run (its future completes normally with the time reached), ends the internal
     * thread and destroys the native engine. Closing a closed engine does nothing.
     */
    @Override
    public void close() {
        AudioRun run;
        synchronized (lock) {
            if (closed) {
                return;
            }
            closed = true;
            run = current;
            lock.notifyAll();
        }
        if (run != null) {
            run.stop();
        }
        if (Thread.currentThread() != poller) {
            try {
                poller.join(5000);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
        synchronized (lock) {
            run = current;
            current = null;
        }
        synchronized (nativeLock) {
            released = true;
            Natives.deleteEngine();
        }
        if (run != null) {
            run.abandon();
            run.finish(run.failure());
        }
        synchronized (PROCESS_LOCK) {
            if (openEngine == this) {
                openEngine = null;
            }
        }
    }

    /** A native call for a run of this engine; {@code whenClosed} once the engine is closed. */
    <T> T natives(Supplier<T> call, T whenClosed) {
        synchronized (nativeLock) {
            return released ? whenClosed : call.get();
        }
    }

    boolean isPollerThread() {
        return Thread.currentThread() == poller;
    }

    /** Wakes the internal thread, for example after a stop request. */
    void wake() {
        synchronized (lock) {
            lock.notifyAll();
        }
    }

    private void checkStartable() throws BrimvoxException {
        if (closed) {
            throw new IllegalStateException("the brimvox engine is closed");
        }
        if (current != null) {
            throw new BrimvoxException(BrimvoxException.Reason.RUN_ACTIVE,
                                       "a " + current.kind().describe() + " is still running; stop it first",
                                       null, null);
        }
    }

    private interface Starter {
        boolean start();
    }

    private AudioRun start(AudioRun run, Starter starter) throws BrimvoxException {
        // Notices of an earlier run that nobody collected must not end this one.
        double[] t = new double[1];
        Natives.isStop(true, t);
        Natives.isStop(false, t);
        Natives.takeError();
        Natives.takeError();
        // The last run's threads may take a moment to be gone after its end was reported.
        long until = System.nanoTime() + 1_000_000_000L;
        while (!starter.start()) {
            if (System.nanoTime() > until) {
                throw new BrimvoxException(BrimvoxException.Reason.RUN_ACTIVE,
                                           "the engine refused to start the " + run.kind().describe()
                                                   + ": another run is active or still ending",
                                           null, null);
            }
            sleepQuietly(POLL_MILLIS);
        }
        run.startStreamThread();
        current = run;
        lock.notifyAll();
        return run;
    }

    private void pollLoop() {
        for (;;) {
            AudioRun run;
            synchronized (lock) {
                while (current == null && !closed) {
                    waitQuietly(0);
                }
                if (current == null) {
                    return;
                }
                run = current;
            }
            BrimvoxException failure;
            try {
                if (!natives(run::poll, true)) {
                    synchronized (lock) {
                        if (current == run) {
                            waitQuietly(POLL_MILLIS);
                        }
                    }
                    continue;
                }
                failure = run.failure();
            } catch (RuntimeException e) {
                natives(() -> {
                    Natives.stop();
                    return null;
                }, null);
                failure = new BrimvoxException(BrimvoxException.Reason.DEVICE,
                                               "the engine failed: " + e, null, e);
            }
            // Cleared before completing, so a callback can start the next run at once.
            synchronized (lock) {
                if (current == run) {
                    current = null;
                }
            }
            run.finish(failure);
        }
    }

    private void waitQuietly(long millis) {
        try {
            lock.wait(millis);
        } catch (InterruptedException e) {
            // The internal thread is only interrupted by nobody; keep polling.
        }
    }

    static void sleepQuietly(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    private static BrimvoxException fileError(String message, Throwable cause) {
        return new BrimvoxException(BrimvoxException.Reason.FILE, message, null, cause);
    }

    private static String describe(Exception e) {
        String name = e.getClass().getSimpleName();
        if (e instanceof java.nio.file.NoSuchFileException) {
            return "no such file or directory";
        }
        if (e instanceof java.nio.file.AccessDeniedException) {
            return "permission denied";
        }
        if (e instanceof java.nio.file.FileSystemException) {
            String reason = ((java.nio.file.FileSystemException) e).getReason();
            return reason != null ? reason : name;
        }
        return e.getMessage() != null ? e.getMessage() : name;
    }

    /**
     * Sound settings for a new engine. Each setting given here wins over the system property and
     * the environment variable of the same setting; settings not given are taken from those, as
     * {@link Brimvox#open()} does. The virtual card's settings matter only when the card is
     * {@link SoundCard#VIRTUAL}.
     */
    public static final class Builder {
        private SoundCard soundCard;
        private Path microphone;
        private Path speaker;
        private Double speed;

        private Builder() {}

        /** The sound card ({@code brimvox.audio}). */
        public Builder soundCard(SoundCard card) {
            this.soundCard = Objects.requireNonNull(card, "card");
            return this;
        }

        /** The WAV file the virtual card's microphone plays ({@code brimvox.audio.in}). */
        public Builder virtualMicrophone(Path wav) {
            this.microphone = Objects.requireNonNull(wav, "wav").toAbsolutePath();
            return this;
        }

        /** The WAV file the virtual card's speaker writes ({@code brimvox.audio.out}). */
        public Builder virtualSpeaker(Path wav) {
            this.speaker = Objects.requireNonNull(wav, "wav").toAbsolutePath();
            return this;
        }

        /**
         * How many times faster than real time the virtual card's clock runs
         * ({@code brimvox.audio.speed}).
         *
         * @throws IllegalArgumentException unless {@value Brimvox#MIN_SPEED} &lt;= speed &lt;=
         *     {@value Brimvox#MAX_SPEED}
         */
        public Builder clockSpeed(double speed) {
            if (!(speed >= MIN_SPEED && speed <= MAX_SPEED)) {
                throw new IllegalArgumentException(AUDIO_SPEED_PROPERTY + ": \"" + speed
                                                   + "\" is not a clock speed; use a number from 0.01 to 1000");
            }
            this.speed = speed;
            return this;
        }

        /**
         * Loads the native library if needed and creates the engine.
         *
         * @throws BrimvoxException {@code LIBRARY} if the native library cannot be loaded,
         *     {@code ENGINE_IN_USE} if an engine is open, {@code SETTING} if the engine refuses a
         *     setting (its text names the setting and the values it allows), {@code NO_ENGINE} if
         *     the engine cannot be created
         */
        public Brimvox open() throws BrimvoxException {
            synchronized (PROCESS_LOCK) {
                if (openEngine != null) {
                    throw new BrimvoxException(BrimvoxException.Reason.ENGINE_IN_USE,
                                               "a brimvox engine is already open in this process; close it first",
                                               null, null);
                }
                loadNatives();
                Natives.takeError();  // a stale refusal of an earlier open
                Map<String, String> given = new LinkedHashMap<>();
                if (soundCard != null) {
                    given.put(AUDIO_PROPERTY, soundCard.settingValue());
                }
                if (microphone != null) {
                    given.put(AUDIO_IN_PROPERTY, microphone.toString());
                }
                if (speaker != null) {
                    given.put(AUDIO_OUT_PROPERTY, speaker.toString());
                }
                if (speed != null) {
                    given.put(AUDIO_SPEED_PROPERTY, Double.toString(speed));
                }
                // The native library reads the settings from the system properties while it
                // creates the engine; the builder's values stand in for that moment only.
                boolean created;
                String refusal;
                Map<String, String> saved = new LinkedHashMap<>();
                for (Map.Entry<String, String> e : given.entrySet()) {
                    saved.put(e.getKey(), System.getProperty(e.getKey()));
                    System.setProperty(e.getKey(), e.getValue());
                }
                try {
                    created = Natives.newEngine();
                    refusal = created ? null : Natives.takeError();
                } finally {
                    for (Map.Entry<String, String> e : saved.entrySet()) {
                        if (e.getValue() == null) {
                            System.clearProperty(e.getKey());
                        } else {
                            System.setProperty(e.getKey(), e.getValue());
                        }
                    }
                }
                if (!created) {
                    if (refusal != null) {
                        throw new BrimvoxException(BrimvoxException.Reason.SETTING,
                                                   "the brimvox engine refused a setting: " + refusal,
                                                   refusal, null);
                    }
                    throw new BrimvoxException(BrimvoxException.Reason.NO_ENGINE,
                                               "the brimvox engine could not be created", null, null);
                }
                Brimvox engine = new Brimvox();
                engine.poller.start();
                openEngine = engine;
                return engine;
            }
        }
    }
}
