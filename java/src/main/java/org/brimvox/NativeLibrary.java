package org.brimvox;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * Loads the native library {@code brimvox} for the class {@code NativeAudio}, which calls
 * {@link #load()} when it is initialised; applications need not call it themselves.
 *
 * <p>In this order:
 * <ol>
 *   <li>the file named by the system property {@value #LIBRARY_PROPERTY}, if set;
 *   <li>the library this jar carries for the running system ({@code linux-x86_64/libbrimvox.so},
 *       {@code windows-x86/brimvox.dll}, {@code windows-x86_64/brimvox.dll}), extracted once into
 *       a private cache directory of the user under a name made of its content hash;
 *   <li>{@code brimvox} from {@code java.library.path}.
 * </ol>
 * If all fail, the {@link UnsatisfiedLinkError} says what was tried and what to set.
 */
public final class NativeLibrary {
    /** System property naming the native library file explicitly; it wins over everything. */
    public static final String LIBRARY_PROPERTY = "brimvox.library";
    /** System property naming the directory the carried library is extracted to. */
    public static final String CACHE_PROPERTY = "brimvox.cache";

    private static String loadedFrom;

    private NativeLibrary() {}

    /**
     * The jar resource holding the library for an operating system and architecture (the values
     * of {@code os.name} and {@code os.arch}), or null if the jar carries none for them.
     */
    public static String resourceFor(String osName, String osArch) {
        String os = osName.toLowerCase(Locale.ROOT);
        String arch = osArch.toLowerCase(Locale.ROOT);
        String cpu;
        if (arch.equals("amd64") || arch.equals("x86_64") || arch.equals("x64")) {
            cpu = "x86_64";
        } else if (arch.equals("x86") || arch.matches("i[3-6]86")) {
            cpu = "x86";
        } else {
            return null;
        }
        if (os.startsWith("windows")) {
            return "windows-" + cpu + "/brimvox.dll";
        }
        if (os.startsWith("linux") && cpu.equals("x86_64")) {
            return "linux-x86_64/libbrimvox.so";
        }
        return null;
    }

    /** Where the library was loaded from, or null if it has not been loaded. */
    public static synchronized String loadedFrom() {
        return loadedFrom;
    }

    /**
     * Loads the library unless it is loaded already.
     *
     * @throws UnsatisfiedLinkError saying what was tried and what to set
     */
    public static synchronized void load() {
        if (loadedFrom != null) {
            return;
        }
        String explicit = System.getProperty(LIBRARY_PROPERTY);
        if (explicit != null && !explicit.isEmpty()) {
            String path = new File(explicit).getAbsolutePath();
            try {
                System.load(path);
            } catch (UnsatisfiedLinkError e) {
                throw failure("the file named by -D" + LIBRARY_PROPERTY + "=" + explicit
                              + " could not be loaded: " + e.getMessage()
                              + ". Correct or remove that setting.", e);
            }
            loadedFrom = path;
            return;
        }
        List<String> tried = new ArrayList<>();
        String osName = System.getProperty("os.name", "?");
        String osArch = System.getProperty("os.arch", "?");
        String resource = resourceFor(osName, osArch);
        UnsatisfiedLinkError last = null;
        if (resource == null) {
            tried.add("this jar carries no library for " + osName + " on " + osArch);
        } else {
            try {
                Path file = extract(resource);
                if (file == null) {
                    tried.add("resource " + resource + ": not in this jar");
                } else {
                    try {
                        System.load(file.toString());
                        loadedFrom = file.toString();
                        return;
                    } catch (UnsatisfiedLinkError e) {
                        last = e;
                        tried.add("resource " + resource + " extracted to " + file + ": " + e.getMessage());
                    }
                }
            } catch (IOException e) {
                tried.add("resource " + resource + ": cannot extract it: " + e
                          + " (set -D" + CACHE_PROPERTY + "=DIR to a writable directory)");
            }
        }
        try {
            System.loadLibrary("brimvox");
            loadedFrom = "java.library.path";
            return;
        } catch (UnsatisfiedLinkError e) {
            last = e;
            tried.add("brimvox on java.library.path (" + System.getProperty("java.library.path")
                      + "): " + e.getMessage());
        }
        throw failure("tried " + String.join("; ", tried) + ". Set -D" + LIBRARY_PROPERTY
                      + "=/path/to/" + System.mapLibraryName("brimvox")
                      + ", or put that file on java.library.path.", last);
    }

    private static UnsatisfiedLinkError failure(String message, Throwable cause) {
        UnsatisfiedLinkError e = new UnsatisfiedLinkError("brimvox: cannot load the native library: " + message);
        if (cause != null) {
            e.initCause(cause);
        }
        return e;
    }

    /**
     * The private cache directory: {@value #CACHE_PROPERTY} if set, else the user's cache
     * directory (LOCALAPPDATA on Windows, XDG_CACHE_HOME or ~/.cache elsewhere) with "brimvox".
     */
    static Path cacheDirectory() {
        String set = System.getProperty(CACHE_PROPERTY);
        if (set != null && !set.isEmpty()) {
            return Paths.get(set);
        }
        boolean windows = System.getProperty("os.name", "").toLowerCase(Locale.ROOT).startsWith("windows");
        String base = windows ? System.getenv("LOCALAPPDATA") : System.getenv("XDG_CACHE_HOME");
        if (base == null || base.isEmpty() || !Paths.get(base).isAbsolute()) {
            String home = System.getProperty("user.home");
            if (home == null || home.isEmpty() || home.equals("?")) {
                return Paths.get(System.getProperty("java.io.tmpdir"),
                                 "brimvox-" + System.getProperty("user.name", "user"));
            }
            base = windows ? Paths.get(home, "AppData", "Local").toString() : Paths.get(home, ".cache").toString();
        }
        return Paths.get(base, "brimvox");
    }

    /**
     * Copies the resource into the cache directory once, as {@code <sha-256>/<file name>}, and
     * returns that file; null if the jar has no such resource. A file already there is used only if
     * its content still has that hash.
     */
    static Path extract(String resource) throws IOException {
        byte[] bytes;
        try (InputStream in = NativeLibrary.class.getClassLoader().getResourceAsStream(resource)) {
            if (in == null) {
                return null;
            }
            bytes = in.readAllBytes();
        }
        String hash = sha256(bytes);
        Path dir = cacheDirectory().resolve(hash);
        Path target = dir.resolve(resource.substring(resource.lastIndexOf('/') + 1));
        if (Files.isRegularFile(target) && sha256(Files.readAllBytes(target)).equals(hash)) {
            return target;
        }
        createPrivateDirectories(dir);
        Path temp = Files.createTempFile(dir, "extract", ".tmp");
        try {
            Files.write(temp, bytes);
            try {
                Files.move(temp, target, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
            } catch (AtomicMoveNotSupportedException e) {
                Files.move(temp, target, StandardCopyOption.REPLACE_EXISTING);
            } catch (IOException e) {
                // On Windows a loaded DLL cannot be replaced: another process holds the same file.
                if (!(Files.isRegularFile(target) && sha256(Files.readAllBytes(target)).equals(hash))) {
                    throw e;
                }
            }
        } finally {
            Files.deleteIfExists(temp);
        }
        return target;
    }

    private static void createPrivateDirectories(Path dir) throws IOException {
        if (Files.isDirectory(dir)) {
            return;
        }
        Path parent = dir.getParent();
        if (parent != null) {
            createPrivateDirectories(parent);
        }
        try {
            if (dir.getFileSystem().supportedFileAttributeViews().contains("posix")) {
                Files.createDirectory(dir, PosixFilePermissions.asFileAttribute(
                        PosixFilePermissions.fromString("rwx------")));
            } else {
                Files.createDirectory(dir);
            }
        } catch (FileAlreadyExistsException e) {
            if (!Files.isDirectory(dir)) {
                throw e;
            }
        }
    }

    static String sha256(byte[] bytes) {
        try {
            byte[] d = MessageDigest.getInstance("SHA-256").digest(bytes);
            StringBuilder s = new StringBuilder();
            for (byte b : d) {
                s.append(String.format("%02x", b & 0xff));
            }
            return s.toString();
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);
        }
    }
}
