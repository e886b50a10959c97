package org.brimvox;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
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

    // The virtual card's files as the engine was opened with them ("" if unset), null otherwise.
    private String virtualMicrophone;
    private String virtualSpeaker;

    private Brimvox() {
        poller = new Thread(this::pollLoop, "brimvox-poller");
        poller.setDaemon(true);
    }

    /**
     * Why the virtual card's microphone or speaker could not be opened, as far as the file tells,
     * or null: the engine's device texts carry result codes only.
     */
    String virtualCardCause(boolean recording) {
        String path = recording ? virtualMicrophone : virtualSpeaker;
        if (path == null || path.isEmpty()) {
            return null;
        }
        Path p = Paths.get(path);
        if (recording) {
            String refusal = microphoneRefusal(p);
            return refusal != null ? "the virtual microphone " + refusal + ": " + p : null;
        }
        if (Files.isDirectory(p)) {
            return "the virtual speaker cannot be created: it is a directory: " + p;
        }
        Path dir = p.toAbsolutePath().getParent();
        if (dir != null && !Files.isDirectory(dir)) {
            return "the virtual speaker cannot be created: no such directory: " + p;
        }
        if (Files.exists(p) ? !Files.isWritable(p) : dir != null && !Files.isWritable(dir)) {
            return "the virtual speaker cannot be created: permission denied: " + p;
        }
        return null;
    }

    /**
     * Null if the file can serve as the virtual microphone (a readable sound file: WAV, FLAC,
     * Ogg, AIFF, AU, or raw samples named *.raw / *.pcm), else what is wrong with it.
     */
    static String microphoneRefusal(Path p) {
        if (Files.isDirectory(p)) {
            return "is a directory";
        }
        byte[] head = new byte[12];
        int n;
        try (java.io.InputStream in = Files.newInputStream(p)) {
            n = in.readNBytes(head, 0, head.length);
        } catch (IOException e) {
            return "cannot be read: " + describe(e);
        }
        String name = p.getFileName() == null ? "" : p.getFileName().toString().toLowerCase(java.util.Locale.ROOT);
        if (name.endsWith(".raw") || name.endsWith(".pcm")) {
            return null;
        }
        String magic = new String(head, 0, Math.min(n, 4), java.nio.charset.StandardCharsets.ISO_8859_1);
        if (magic.equals("RIFF") || magic.equals("RIFX") || magic.equals("RF64") || magic.equals("fLaC")
            || magic.equals("OggS") || magic.equals("FORM") || magic.equals(".snd")) {
            return null;
        }
        return "is not a sound file (WAV, FLAC, Ogg, AIFF, AU, or raw samples named *.raw)";
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
     * Starts recording into a compressed file. The frames go to a temporary file beside it
     * ({@code .NAME.NUMBER.part}), which replaces the file when the run ends. A recording that
     * fails before any audio was captured leaves an existing file exactly as it was; one that
     * fails later keeps what was captured up to the failure.
     *
     * @throws NullPointerException if file is null
     * @throws BrimvoxException {@code FILE} if the file cannot be written there (the cause is the
     *     system's exception), {@code RUN_ACTIVE} if a run is active
     * @throws IllegalStateException if the engine is closed
     */
    public AudioRun recordToFile(Path file) throws BrimvoxException {
        Objects.requireNonNull(file, "file");
        Path path = file.toAbsolutePath();
        synchronized (lock) {
            checkStartable();
            if (Files.isDirectory(path)) {
                throw fileError("cannot record to a file: it is a directory: " + path, null);
            }
            Path part;
            Path target;
            try {
                // A link is followed to the file it names; a device or pipe is written directly.
                target = Files.isSymbolicLink(path) ? path.toRealPath() : path;
                part = Files.exists(target) && !Files.isRegularFile(target) ? null : createPartFile(target);
            } catch (IOException | UnsupportedOperationException e) {
                throw fileError("cannot record to a file: " + describe(e) + ": " + path, e);
            }
            try {
                String written = (part != null ? part : path).toString();
                AudioRun run = new AudioRun(this, AudioRun.Kind.RECORD_FILE, path, part, null, null);
                run.setPlaceAt(target);
                return start(run, () -> Natives.recordFile(written));
            } catch (BrimvoxException | RuntimeException e) {
                try {
                    if (part != null) {
                        Files.deleteIfExists(part);
                    }
                } catch (IOException ignored) {
                    // Only an empty temporary file is left.
                }
                throw e;
            }
        }
    }

    private static Path createPartFile(Path target) throws IOException {
        Path dir = target.getParent();
        String name = "." + target.getFileName() + ".";
        for (int attempt = 0;; attempt++) {
            long number = java.util.concurrent.ThreadLocalRandom.current().nextLong();
            Path part = dir.resolve(name + Long.toUnsignedString(number, 36) + ".part");
            try {
                // Created with the default permissions a new file of the caller would get; the
                // name needs no secrecy, as an existing file is never taken over.
                return Files.createFile(part);
            } catch (java.nio.file.FileAlreadyExistsException e) {
                if (attempt > 10) {
                    throw e;
                }
            }
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
            return start(new AudioRun(this, AudioRun.Kind.RECORD_STREAM, null, null, out, null),
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
                throw fileError("cannot play a file: it is a directory: " + path, null);
            }
            long size;
            try {
                Files.newInputStream(path).close();
                size = Files.size(path);
            } catch (IOException | UnsupportedOperationException e) {
                throw fileError("cannot play a file: " + describe(e) + ": " + path, e);
            }
            AudioRun run = new AudioRun(this, AudioRun.Kind.PLAY_FILE, path, null, null, null);
            run.setFileFrames(size / AudioRun.FRAME_BYTES);
            return start(run, () -> Natives.playFile(path.toString()));
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
            return start(new AudioRun(this, AudioRun.Kind.PLAY_STREAM, null, null, null, in),
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
     * Stops any run (its future completes normally with the time reached, or with the failure
     * that ended it, such as a recording's stream that did not take every block), ends the
     * internal thread and destroys the native engine. Returns within 2 s. Closing a closed engine
     * does nothing. An interrupt does not cut it short; the interrupt status is kept.
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
        long started = System.nanoTime();
        if (run != null) {
            run.stop();
        }
        if (Thread.currentThread() != poller) {
            boolean interrupted = false;
            long until = started + 1_700_000_000L;
            while (poller.isAlive()) {
                long left = until - System.nanoTime();
                if (left <= 0) {
                    break;
                }
                try {
                    poller.join(Math.max(1, left / 1_000_000L));
                } catch (InterruptedException e) {
                    interrupted = true;
                }
            }
            if (interrupted) {
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

    /** A setting: the system property, else the environment variable, else the default. */
    private static String setting(String property, String variable, String otherwise) {
        String v = System.getProperty(property);
        if (v == null) {
            v = System.getenv(variable);
        }
        return v == null || v.isEmpty() ? otherwise : v;
    }

    static String describe(Exception e) {
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
                SoundCard card;
                try {
                    card = soundCard != null ? soundCard
                                             : SoundCard.fromSetting(setting(AUDIO_PROPERTY, "BRIMVOX_AUDIO", "alsa"));
                } catch (IllegalArgumentException e) {
                    card = null;  // the engine refuses it below, naming the setting as given
                }
                String mic = microphone != null ? microphone.toString()
                                                : setting(AUDIO_IN_PROPERTY, "BRIMVOX_AUDIO_IN", "");
                String out = speaker != null ? speaker.toString()
                                             : setting(AUDIO_OUT_PROPERTY, "BRIMVOX_AUDIO_OUT", "");
                // A file that cannot be opened at all is refused by the engine in its own words;
                // a directory or a file that is no sound file is refused here.
                Path micPath = mic.isEmpty() ? null : Paths.get(mic);
                if (card == SoundCard.VIRTUAL && micPath != null
                    && (Files.isDirectory(micPath) || Files.isReadable(micPath))) {
                    String refusal = microphoneRefusal(micPath);
                    if (refusal != null) {
                        String name = microphone != null || System.getProperty(AUDIO_IN_PROPERTY) != null
                                      ? AUDIO_IN_PROPERTY : "BRIMVOX_AUDIO_IN";
                        throw new BrimvoxException(BrimvoxException.Reason.SETTING,
                                                   "the brimvox engine refused a setting: " + name + ": " + refusal
                                                           + ": " + mic,
                                                   null, null);
                    }
                }
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
                boolean created = Natives.newEngine(given);
                String refusal = created ? null : Natives.takeError();
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
                if (card == SoundCard.VIRTUAL) {
                    engine.virtualMicrophone = mic;
                    engine.virtualSpeaker = out;
                }
                engine.poller.start();
                openEngine = engine;
                return engine;
            }
        }
    }
}
