package org.brimvox;

import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.nio.charset.StandardCharsets;

/**
 * The native methods of the class {@code NativeAudio} (default package), reached through method
 * handles: code in a named package cannot name a class of the default package, and going through
 * handles leaves that class and the library's exports exactly as they are.
 *
 * <p>The class is the one this class's loader sees (brimvox-legacy.jar on the class path, shared
 * with its direct callers); without it, a private copy of the class that this module carries as
 * the resource {@code NativeAudio.bin} is defined in a class loader of its own, so that the
 * module needs no class of the unnamed package.
 */
final class Natives {
    private static MethodHandle newEngine;
    private static MethodHandle deleteEngine;
    private static MethodHandle getVersion;
    private static MethodHandle recordFile;
    private static MethodHandle recordBuffer;
    private static MethodHandle playFile;
    private static MethodHandle playBuffer;
    private static MethodHandle stop;
    private static MethodHandle pause;
    private static MethodHandle getBuffer;
    private static MethodHandle setBuffer;
    private static MethodHandle isStopPlaying;
    private static MethodHandle timePlaying;
    private static MethodHandle isStopRecording;
    private static MethodHandle timeRecording;
    private static MethodHandle getError;
    private static MethodHandle maxSample;
    private static MethodHandle isBuffering;
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
            MethodHandles.Lookup l = MethodHandles.publicLookup();
            MethodType bool = MethodType.methodType(boolean.class);
            MethodType boolTime = MethodType.methodType(boolean.class, double[].class);
            MethodType boolBytes = MethodType.methodType(boolean.class, byte[].class);
            MethodType boolPath = MethodType.methodType(boolean.class, String.class);
            getVersion = l.findStatic(c, "GetVersion", MethodType.methodType(int.class));
            newEngine = l.findStatic(c, "NewJavaClass4800", bool);
            deleteEngine = l.findStatic(c, "DeleteJavaClass4800", bool);
            recordFile = l.findStatic(c, "RecordFile", boolPath);
            recordBuffer = l.findStatic(c, "RecordBuffer", bool);
            playFile = l.findStatic(c, "PlayFile", boolPath);
            playBuffer = l.findStatic(c, "PlayBuffer", bool);
            stop = l.findStatic(c, "Stop", bool);
            pause = l.findStatic(c, "Pause", bool);
            getBuffer = l.findStatic(c, "GetBuffer", boolBytes);
            setBuffer = l.findStatic(c, "SetBuffer", MethodType.methodType(
                    boolean.class, byte[].class, short.class, boolean.class));
            isStopPlaying = l.findStatic(c, "FunIsStopPlaying", boolTime);
            timePlaying = l.findStatic(c, "FunGetTimePlaying", boolTime);
            isStopRecording = l.findStatic(c, "FunIsStopRecording", boolTime);
            timeRecording = l.findStatic(c, "FunGetTimeRecording", boolTime);
            getError = l.findStatic(c, "FunGetError", boolBytes);
            maxSample = l.findStatic(c, "FunGetMaxSample", MethodType.methodType(int.class));
            isBuffering = l.findStatic(c, "FunGetIsBuffering", bool);
            // Linking happens on the first call: make a missing export fail here, not mid-run.
            int version = (int) getVersion.invokeExact();
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
        } catch (ReflectiveOperationException e) {
            failure = new NoClassDefFoundError("brimvox: the class NativeAudio is not usable: " + e);
            failure.initCause(e);
            throw failure;
        } catch (Throwable e) {
            throw rethrow(e);
        }
    }

    private static Class<?> nativeAudioClass() throws ReflectiveOperationException {
        ClassLoader own = Natives.class.getClassLoader();
        try {
            return Class.forName("NativeAudio", true, own);
        } catch (ClassNotFoundException e) {
            byte[] bytes;
            try (java.io.InputStream in = Natives.class.getResourceAsStream("NativeAudio.bin")) {
                if (in == null) {
                    throw e;
                }
                bytes = in.readAllBytes();
            } catch (java.io.IOException io) {
                throw new ClassNotFoundException("NativeAudio: " + io, io);
            }
            return Class.forName("NativeAudio", true, new PrivateLoader(own, bytes));
        }
    }

    /** Defines the carried NativeAudio; everything else comes from the module's loader. */
    private static final class PrivateLoader extends ClassLoader {
        static {
            registerAsParallelCapable();
        }

        private final byte[] nativeAudio;

        PrivateLoader(ClassLoader parent, byte[] nativeAudio) {
            super("brimvox-natives", parent);
            this.nativeAudio = nativeAudio;
        }

        @Override
        protected Class<?> findClass(String name) throws ClassNotFoundException {
            if (name.equals("NativeAudio")) {
                return defineClass(name, nativeAudio, 0, nativeAudio.length);
            }
            throw new ClassNotFoundException(name);
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
        try {
            return (int) getVersion.invokeExact();
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    static boolean newEngine() {
        try {
            return (boolean) newEngine.invokeExact();
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    static boolean deleteEngine() {
        try {
            return (boolean) deleteEngine.invokeExact();
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    static boolean recordFile(String path) {
        try {
            return (boolean) recordFile.invokeExact(path);
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    static boolean recordBuffer() {
        try {
            return (boolean) recordBuffer.invokeExact();
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    static boolean playFile(String path) {
        try {
            return (boolean) playFile.invokeExact(path);
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    static boolean playBuffer() {
        try {
            return (boolean) playBuffer.invokeExact();
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    static void stop() {
        try {
            boolean ignored = (boolean) stop.invokeExact();
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    /** Toggles the pause: true if it paused, false if it resumed or nothing runs. */
    static boolean pause() {
        try {
            return (boolean) pause.invokeExact();
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    static boolean getBuffer(byte[] block) {
        try {
            return (boolean) getBuffer.invokeExact(block);
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    static boolean setBuffer(byte[] data, int length, boolean endOfStream) {
        try {
            return (boolean) setBuffer.invokeExact(data, (short) length, endOfStream);
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    static boolean isStop(boolean recording, double[] time) {
        try {
            return recording ? (boolean) isStopRecording.invokeExact(time)
                             : (boolean) isStopPlaying.invokeExact(time);
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    static boolean time(boolean recording, double[] time) {
        try {
            return recording ? (boolean) timeRecording.invokeExact(time)
                             : (boolean) timePlaying.invokeExact(time);
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    /** The pending error text, or null. */
    static String takeError() {
        byte[] text = new byte[257];
        boolean got;
        try {
            got = (boolean) getError.invokeExact(text);
        } catch (Throwable t) {
            throw rethrow(t);
        }
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
        try {
            return (int) maxSample.invokeExact();
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    static boolean isBuffering() {
        try {
            return (boolean) isBuffering.invokeExact();
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }
}
