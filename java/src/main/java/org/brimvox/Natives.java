package org.brimvox;

import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Field;
import java.nio.charset.StandardCharsets;
import java.util.Map;

/**
 * The native methods of the class {@code NativeAudio} (default package), reached through
 * reflection: code in a named package cannot name a class of the default package, and going
 * through reflection leaves that class and the library's exports exactly as they are (it costs a
 * start far less than method handles, whose first use spins many classes).
 *
 * <p>The class is the one this class's loader sees (brimvox-legacy.jar on the class path, shared
 * with its direct callers); without it, a private copy of the class that this module carries as
 * the resource {@code NativeAudio.bin} is defined in a class loader of its own, so that the
 * module needs no class of the unnamed package.
 */
final class Natives {
    private static Method newEngine;
    private static Method deleteEngine;
    private static Method getVersion;
    private static Method recordFile;
    private static Method recordBuffer;
    private static Method playFile;
    private static Method playBuffer;
    private static Method stop;
    private static Method pause;
    private static Method getBuffer;
    private static Method setBuffer;
    private static Method isStopPlaying;
    private static Method timePlaying;
    private static Method isStopRecording;
    private static Method timeRecording;
    private static Method getError;
    private static Method maxSample;
    private static Method isBuffering;
    private static ThreadLocal<Map<String, String>> givenSettings;
    private static LinkageError failure;
    private static boolean ready;

    private Natives() {}

    /** Loads NativeAudio and with it the native library; the same error on every later try. */
    static synchronized void init() {
        if (ready) {
            return;
        }
        if (failure != null) {
            throw failure;
        }
        try {
            Class<?> c = nativeAudioClass();
            getVersion = c.getMethod("GetVersion");
            newEngine = c.getMethod("NewJavaClass4800");
            deleteEngine = c.getMethod("DeleteJavaClass4800");
            recordFile = c.getMethod("RecordFile", String.class);
            recordBuffer = c.getMethod("RecordBuffer");
            playFile = c.getMethod("PlayFile", String.class);
            playBuffer = c.getMethod("PlayBuffer");
            stop = c.getMethod("Stop");
            pause = c.getMethod("Pause");
            getBuffer = c.getMethod("GetBuffer", byte[].class);
            setBuffer = c.getMethod("SetBuffer", byte[].class, short.class, boolean.class);
            isStopPlaying = c.getMethod("FunIsStopPlaying", double[].class);
            timePlaying = c.getMethod("FunGetTimePlaying", double[].class);
            isStopRecording = c.getMethod("FunIsStopRecording", double[].class);
            timeRecording = c.getMethod("FunGetTimeRecording", double[].class);
            getError = c.getMethod("FunGetError", byte[].class);
            maxSample = c.getMethod("FunGetMaxSample");
            isBuffering = c.getMethod("FunGetIsBuffering");
            givenSettings = settingsOf(c);
            // Linking happens on the first call: make a missing export fail here, not mid-run.
            int version = (int) call(getVersion);
            if (version != 101) {
                throw new UnsatisfiedLinkError("brimvox: the native library reports version "
                                               + version + ", this jar needs 101");
            }
            ready = true;
        } catch (ExceptionInInitializerError e) {
            failure = e.getCause() instanceof LinkageError ? (LinkageError) e.getCause() : e;
            throw failure;
        } catch (LinkageError e) {
            failure = e;
            throw e;
        } catch (InvocationTargetException e) {
            if (e.getCause() instanceof LinkageError) {
                failure = (LinkageError) e.getCause();
                throw failure;
            }
            throw rethrow(e.getCause());
        } catch (ReflectiveOperationException e) {
            failure = new NoClassDefFoundError("brimvox: the class NativeAudio is not usable: " + e);
            failure.initCause(e);
            throw failure;
        }
    }

    private static Class<?> nativeAudioClass() throws ReflectiveOperationException {
        ClassLoader own = Natives.class.getClassLoader();
        try {
            return Class.forName("NativeAudio", true, own);
        } catch (ClassNotFoundException e) {
            if (Natives.class.getResource("NativeAudio.bin") == null) {
                throw e;
            }
            return Class.forName("NativeAudio", true, new PrivateLoader(own));
        }
    }

    /**
     * Defines the carried NativeAudio and its nested class (resources {@code NAME.bin} beside this
     * class); everything else comes from the module's loader.
     */
    private static final class PrivateLoader extends ClassLoader {
        static {
            registerAsParallelCapable();
        }

        PrivateLoader(ClassLoader parent) {
            super("brimvox-natives", parent);
        }

        @Override
        protected Class<?> findClass(String name) throws ClassNotFoundException {
            if (name.equals("NativeAudio") || name.startsWith("NativeAudio$")) {
                try (java.io.InputStream in = Natives.class.getResourceAsStream(name + ".bin")) {
                    if (in != null) {
                        byte[] bytes = in.readAllBytes();
                        return defineClass(name, bytes, 0, bytes.length);
                    }
                } catch (java.io.IOException e) {
                    throw new ClassNotFoundException(name + ": " + e, e);
                }
            }
            throw new ClassNotFoundException(name);
        }
    }

    /** Calls a native method; what it throws is thrown as it is. */
    /**
     * NativeAudio's per-thread settings, which the library reads instead of the system properties
     * while it creates the engine (the unnamed package is open to reflection).
     */
    @SuppressWarnings("unchecked")
    private static ThreadLocal<Map<String, String>> settingsOf(Class<?> c) throws ReflectiveOperationException {
        Field f = c.getDeclaredField("givenSettings");
        f.setAccessible(true);
        return (ThreadLocal<Map<String, String>>) f.get(null);
    }

    private static Object call(Method m, Object... args) throws InvocationTargetException {
        try {
            return m.invoke(null, args);
        } catch (IllegalAccessException e) {
            throw new IllegalStateException(e);
        }
    }

    private static Object invoke(Method m, Object... args) {
        try {
            return m.invoke(null, args);
        } catch (InvocationTargetException e) {
            throw rethrow(e.getCause());
        } catch (IllegalAccessException e) {
            throw new IllegalStateException(e);
        }
    }

    private static RuntimeException rethrow(Throwable t) {
        if (t instanceof RuntimeException) {
            throw (RuntimeException) t;
        }
        if (t instanceof Error) {
            throw (Error) t;
        }
        throw new IllegalStateException(t);
    }

    static int version() {
        return (int) invoke(getVersion);
    }

    /**
     * Creates the engine with these settings standing in for the system properties of the same
     * names; no global property changes.
     */
    static boolean newEngine(Map<String, String> settings) {
        givenSettings.set(settings);
        try {
            return (boolean) invoke(newEngine);
        } finally {
            givenSettings.remove();
        }
    }

    static boolean deleteEngine() {
        return (boolean) invoke(deleteEngine);
    }

    static boolean recordFile(String path) {
        return (boolean) invoke(recordFile, path);
    }

    static boolean recordBuffer() {
        return (boolean) invoke(recordBuffer);
    }

    static boolean playFile(String path) {
        return (boolean) invoke(playFile, path);
    }

    static boolean playBuffer() {
        return (boolean) invoke(playBuffer);
    }

    static void stop() {
        invoke(stop);
    }

    /** Toggles the pause: true if it paused, false if it resumed or nothing runs. */
    static boolean pause() {
        return (boolean) invoke(pause);
    }

    static boolean getBuffer(byte[] block) {
        return (boolean) invoke(getBuffer, (Object) block);
    }

    static boolean setBuffer(byte[] data, int length, boolean endOfStream) {
        return (boolean) invoke(setBuffer, data, (short) length, endOfStream);
    }

    static boolean isStop(boolean recording, double[] time) {
        return (boolean) invoke(recording ? isStopRecording : isStopPlaying, (Object) time);
    }

    static boolean time(boolean recording, double[] time) {
        return (boolean) invoke(recording ? timeRecording : timePlaying, (Object) time);
    }

    /** The pending error text, or null. */
    static String takeError() {
        byte[] text = new byte[257];
        boolean got;
        got = (boolean) invoke(getError, (Object) text);
        if (!got) {
            return null;
        }
        int n = 0;
        while (n < text.length && text[n] != 0) {
            n++;
        }
        return new String(text, 0, n, StandardCharsets.UTF_8);
    }

    static int maxSample() {
        return (int) invoke(maxSample);
    }

    static boolean isBuffering() {
        return (boolean) invoke(isBuffering);
    }
}
