/**
 * The native speech library: records speech from the default sound input into a compressed file
 * or into 54-byte blocks, and plays such speech back through the default sound output. All work
 * runs on background threads; callers poll for time, stop notices, errors, level and buffering.
 *
 * <p>The library is found by {@link org.brimvox.NativeLibrary#load(java.util.function.Consumer)}:
 * the path in the system property {@code brimvox.library} when it is set, otherwise the copy the
 * jar carries for the running system (extracted once into the user's cache directory), otherwise
 * {@code brimvox} from {@code java.library.path}.
 */
public final class NativeAudio {
    /** System property naming the native library file explicitly. */
    public static final String LIBRARY_PROPERTY = org.brimvox.NativeLibrary.LIBRARY_PROPERTY;

    static {
        org.brimvox.NativeLibrary.load(new Loader());
    }

    /** Loads a library file for this class: System.load binds it to its caller's class loader. */
    private static final class Loader implements java.util.function.Consumer<String> {
        @Override
        public void accept(String path) {
            System.load(path);
        }
    }

    private NativeAudio() {}

    // Settings given for the engine the current thread creates. While NewJavaClass4800 runs they
    // stand in for the system properties of the same names, so a caller can pass settings without
    // changing any global property (the packaged API sets them through reflection).
    private static final ThreadLocal<java.util.Map<String, String>> givenSettings = new ThreadLocal<>();

    /** The library reads each setting here: the given value if there is one, else the property. */
    private static String setting(String name) {
        java.util.Map<String, String> given = givenSettings.get();
        if (given != null && given.containsKey(name)) {
            return given.get(name);
        }
        return System.getProperty(name);
    }

    /** Always 101. */
    public static native int GetVersion();

    /** Creates the engine (an existing one is stopped and replaced); true if created. */
    public static native boolean NewJavaClass4800();

    /** Stops any run and destroys the engine; always true. */
    public static native boolean DeleteJavaClass4800();

    /** Starts recording to a compressed file; false if a run is active or starting. */
    public static native boolean RecordFile(String path);

    /** Starts recording to 54-byte blocks fetched with {@link #GetBuffer}. */
    public static native boolean RecordBuffer();

    /** Starts playing a compressed file. */
    public static native boolean PlayFile(String path);

    /** Starts playing blocks supplied with {@link #SetBuffer}. */
    public static native boolean PlayBuffer();

    /** Ends the current run; returns within 1.5 s; always true. */
    public static native boolean Stop();

    /** Toggles pause: true if it paused, false if it resumed or nothing runs. */
    public static native boolean Pause();

    /** Takes the oldest recorded block, compressed, into block[0..53] (needs 54 bytes). */
    public static native boolean GetBuffer(byte[] block);

    /** Offers whole 18-byte frames among the first length (0..180) bytes; true if accepted. */
    public static native boolean SetBuffer(byte[] data, short length, boolean endOfStream);

    /** True once after a playback ended, with its final time in time[0]. */
    public static native boolean FunIsStopPlaying(double[] time);

    /** True if a new playing time (seconds) was placed in time[0]. */
    public static native boolean FunGetTimePlaying(double[] time);

    /** True once after a recording ended, with its final time in time[0]. */
    public static native boolean FunIsStopRecording(double[] time);

    /** True if a new recording time (seconds) was placed in time[0]. */
    public static native boolean FunGetTimeRecording(double[] time);

    /** Copies a NUL-terminated error message (257 bytes hold any); true if there was one. */
    public static native boolean FunGetError(byte[] text);

    /** The peak input level since the last call (0..32767), then reset. */
    public static native int FunGetMaxSample();

    /** True while playback waits for its ring of blocks to fill. */
    public static native boolean FunGetIsBuffering();

    /** The pending error message as a string, or null. */
    public static String takeError() {
        byte[] text = new byte[257];
        if (!FunGetError(text)) {
            return null;
        }
        int n = 0;
        while (n < text.length && text[n] != 0) {
            n++;
        }
        return new String(text, 0, n, java.nio.charset.StandardCharsets.UTF_8);
    }
}
