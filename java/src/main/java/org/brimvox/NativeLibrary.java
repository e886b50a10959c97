package org.brimvox;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.Set;
import java.util.UUID;
import java.util.function.Consumer;

/**
 * Loads the native library {@code brimvox} for the class {@code NativeAudio}, which calls
 * {@link #load(Consumer)} when it is initialised; applications need not call it themselves.
 *
 * <p>In this order:
 * <ol>
 *   <li>the file named by the system property {@value #LIBRARY_PROPERTY}, if set;
 *   <li>the library this jar carries for the running system ({@code linux-x86_64/libbrimvox.so},
 *       {@code windows-x86/brimvox.dll}, {@code windows-x86_64/brimvox.dll}), extracted once into
 *       a directory named after its SHA-256 (computed when the jar was built) under: the directory
 *       of {@value #CACHE_PROPERTY} if set; else the user's cache directory ({@code LOCALAPPDATA}
 *       on Windows, {@code XDG_CACHE_HOME} or {@code ~/.cache} elsewhere, with
 *       {@code brimvox}) and, where that cannot be written, {@code brimvox-USER} in
 *       {@code java.io.tmpdir} (used only if it belongs to the user and nobody else may write
 *       it). A copy already there of the right size is used as it is;
 *   <li>{@code brimvox} from {@code java.library.path}.
 * </ol>
 * A JVM loads a library file for one class loader only, so where another class loader (an
 * application server's, a plugin host's, a test runner's) has loaded it already, this class
 * loader gets a copy of its own with a unique name beside it, removed again at once where the
 * system allows (Linux) or at a later start (Windows, where a loaded library cannot be deleted).
 * If all fail, the {@link UnsatisfiedLinkError} names every place tried and what to set.
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
     * Loads the library unless it is loaded already, for the packaged API and for the class
     * {@code NativeAudio} that it uses.
     *
     * @throws UnsatisfiedLinkError saying what was tried and what to set
     */
    public static void load() {
        if (loadedFrom() != null) {
            return;
        }
        try {
            Natives.init();
        } catch (NoClassDefFoundError e) {
            throw failure(String.valueOf(e.getMessage()), e);
        }
    }

    /**
     * Finds the library as described above and loads it with {@code systemLoad}, which must be
     * {@code System::load} called from the class whose native methods the library implements, so
     * that the library belongs to that class's loader. The class {@code NativeAudio} calls it
     * once, as it is initialised.
     *
     * @throws UnsatisfiedLinkError saying what was tried and what to set
     */
    public static synchronized void load(Consumer<String> systemLoad) {
        String explicit = System.getProperty(LIBRARY_PROPERTY);
        if (explicit != null && !explicit.isEmpty()) {
            String path = new File(explicit).getAbsolutePath();
            try {
                systemLoad.accept(path);
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
            Carried carried = null;
            try {
                carried = Carried.of(resource);
            } catch (IOException e) {
                tried.add("resource " + resource + ": cannot read it: " + e);
            }
            if (carried == null) {
                if (tried.isEmpty()) {
                    tried.add("resource " + resource + ": not in this jar");
                }
            } else {
                boolean chosen = System.getProperty(CACHE_PROPERTY, "").length() > 0;
                for (Path base : cacheDirectories()) {
                    try {
                        String from = loadFrom(carried, base, !chosen, systemLoad);
                        loadedFrom = from;
                        return;
                    } catch (IOException e) {
                        tried.add(base + ": cannot extract " + resource + " there: " + describe(e));
                    } catch (UnsatisfiedLinkError e) {
                        last = e;
                        tried.add(base + ": " + e.getMessage());
                    }
                }
            }
        }
        try {
            systemLoad.accept(findOnLibraryPath());
            loadedFrom = "java.library.path";
            return;
        } catch (UnsatisfiedLinkError e) {
            last = e;
            tried.add("brimvox on java.library.path (" + System.getProperty("java.library.path")
                      + "): " + e.getMessage());
        }
        throw failure("tried " + String.join("; ", tried) + ". Set -D" + LIBRARY_PROPERTY
                      + "=/path/to/" + System.mapLibraryName("brimvox")
                      + ", or put that file on java.library.path, or set -D" + CACHE_PROPERTY
                      + "=DIR to a private writable directory for the copy this jar carries.", last);
    }

    /** The library file on java.library.path, for System.load (which needs a path). */
    private static String findOnLibraryPath() {
        String name = System.mapLibraryName("brimvox");
        String paths = System.getProperty("java.library.path", "");
        for (String dir : paths.split(File.pathSeparator)) {
            if (!dir.isEmpty()) {
                File f = new File(dir, name);
                if (f.isFile()) {
                    return f.getAbsolutePath();
                }
            }
        }
        throw new UnsatisfiedLinkError("no " + name + " there");
    }

    private static String describe(IOException e) {
        if (e instanceof java.nio.file.AccessDeniedException) {
            return "permission denied: " + e.getMessage();
        }
        if (e instanceof java.nio.file.FileSystemException) {
            java.nio.file.FileSystemException f = (java.nio.file.FileSystemException) e;
            return (f.getReason() != null ? f.getReason() : e.getClass().getSimpleName()) + ": " + f.getFile();
        }
        return String.valueOf(e.getMessage());
    }

    private static UnsatisfiedLinkError failure(String message, Throwable cause) {
        UnsatisfiedLinkError e = new UnsatisfiedLinkError("brimvox: cannot load the native library: " + message);
        if (cause != null) {
            e.initCause(cause);
        }
        return e;
    }

    /** The library a jar resource holds, with the hash and size recorded when the jar was built. */
    static final class Carried {
        final String resource;
        final String hash;
        final long size;

        private Carried(String resource, String hash, long size) {
            this.resource = resource;
            this.hash = hash;
            this.size = size;
        }

        /** Null if the jar has no such resource. */
        static Carried of(String resource) throws IOException {
            ClassLoader loader = NativeLibrary.class.getClassLoader();
            try (InputStream in = loader.getResourceAsStream(resource + ".sha256")) {
                if (in != null) {
                    String[] f = new String(in.readAllBytes(), StandardCharsets.US_ASCII).trim().split(" ");
                    if (f.length == 2 && only(f[0], "0123456789abcdef") && f[0].length() == 64
                        && only(f[1], "0123456789")) {
                        return new Carried(resource, f[0], Long.parseLong(f[1]));
                    }
                }
            }
            // A jar built without the recorded hash: computed here, once per start.
            try (InputStream in = loader.getResourceAsStream(resource)) {
                if (in == null) {
                    return null;
                }
                byte[] bytes = in.readAllBytes();
                return new Carried(resource, sha256(bytes), bytes.length);
            }
        }

        String fileName() {
            return resource.substring(resource.lastIndexOf('/') + 1);
        }
    }

    /**
     * Where the carried library may be extracted, in order: {@value #CACHE_PROPERTY} if set (and
     * nothing else), else the user's cache directory and the per-user directory in
     * {@code java.io.tmpdir}.
     */
    static List<Path> cacheDirectories() {
        List<Path> dirs = new ArrayList<>();
        String set = System.getProperty(CACHE_PROPERTY);
        if (set != null && !set.isEmpty()) {
            dirs.add(Paths.get(set).toAbsolutePath());
            return dirs;
        }
        boolean windows = System.getProperty("os.name", "").toLowerCase(Locale.ROOT).startsWith("windows");
        String base = windows ? System.getenv("LOCALAPPDATA") : System.getenv("XDG_CACHE_HOME");
        if (base == null || base.isEmpty() || !Paths.get(base).isAbsolute()) {
            String home = System.getProperty("user.home");
            base = null;
            if (home != null && !home.isEmpty() && !home.equals("?")) {
                base = windows ? Paths.get(home, "AppData", "Local").toString() : Paths.get(home, ".cache").toString();
            }
        }
        if (base != null) {
            dirs.add(Paths.get(base, "brimvox"));
        }
        StringBuilder user = new StringBuilder(System.getProperty("user.name", "user"));
        for (int i = 0; i < user.length(); i++) {
            char c = user.charAt(i);
            if (!(Character.isLetterOrDigit(c) && c < 128) && c != '.' && c != '_' && c != '-') {
                user.setCharAt(i, '_');
            }
        }
        dirs.add(Paths.get(System.getProperty("java.io.tmpdir"), "brimvox-" + user).toAbsolutePath());
        return dirs;
    }

    /** The user's cache directory for the library (the first of {@link #cacheDirectories()}). */
    static Path cacheDirectory() {
        return cacheDirectories().get(0);
    }

    /** Extracts the library under base unless it is there, and loads it; returns the file loaded. */
    private static String loadFrom(Carried carried, Path base, boolean checkBase, Consumer<String> systemLoad)
            throws IOException {
        Path target = extract(carried, base, checkBase);
        Path dir = target.getParent();
        if (!dir.getFileSystem().supportedFileAttributeViews().contains("posix")) {
            removeStaleCopies(dir, carried.fileName());  // elsewhere a copy is deleted at once
        }
        try {
            systemLoad.accept(target.toString());
            return target.toString();
        } catch (UnsatisfiedLinkError e) {
            String m = String.valueOf(e.getMessage());
            if (!m.contains("another classloader") && !m.contains("another class loader")) {
                throw e;
            }
        }
        // Loaded by another class loader of this JVM: a copy of this loader's own.
        Path copy = dir.resolve(copyName(carried.fileName(), UUID.randomUUID().toString()));
        Files.copy(target, copy);
        try {
            systemLoad.accept(copy.toString());
        } finally {
            try {
                Files.deleteIfExists(copy);  // the loaded library stays mapped (not on Windows)
            } catch (IOException e) {
                copy.toFile().deleteOnExit();
            }
        }
        return copy.toString();
    }

    /** True if text is not empty and made of the given characters only (no regex: it is a start). */
    static boolean only(String text, String allowed) {
        for (int i = 0; i < text.length(); i++) {
            if (allowed.indexOf(text.charAt(i)) < 0) {
                return false;
            }
        }
        return !text.isEmpty();
    }

    static String copyName(String fileName, String unique) {
        int dot = fileName.lastIndexOf('.');
        return fileName.substring(0, dot) + "-" + unique + fileName.substring(dot);
    }

    /** Unique copies left by earlier JVMs (Windows cannot delete a loaded library at once). */
    private static void removeStaleCopies(Path dir, String fileName) {
        int dot = fileName.lastIndexOf('.');
        String prefix = fileName.substring(0, dot) + "-";
        String suffix = fileName.substring(dot);
        try (var files = Files.newDirectoryStream(dir, prefix + "*" + suffix)) {
            for (Path p : files) {
                try {
                    Files.deleteIfExists(p);
                } catch (IOException e) {
                    // In use by a running JVM.
                }
            }
        } catch (IOException e) {
            // Nothing to clean.
        }
    }

    /**
     * Copies the carried library into {@code base/<sha-256>/<file name>} unless a file of its size
     * is there, and returns that file. The hash names the content, so a file there of the right
     * size is the library; a file of another size (a copy cut short) is replaced.
     */
    static Path extract(Carried carried, Path base, boolean checkBase) throws IOException {
        Path dir = base.resolve(carried.hash);
        Path target = dir.resolve(carried.fileName());
        createPrivateDirectories(dir);
        // In a shared directory (java.io.tmpdir) the owner counts too: someone else may have made
        // the directory first. The user's own cache directory needs only its permissions checked.
        boolean shared = checkBase && !base.startsWith(Paths.get(System.getProperty("user.home", "/")));
        if (checkBase) {
            checkPrivate(base, shared);
        }
        checkPrivate(dir, shared || !checkBase);
        if (Files.isRegularFile(target, LinkOption.NOFOLLOW_LINKS) && Files.size(target) == carried.size) {
            return target;
        }
        Path temp = Files.createTempFile(dir, "extract", ".tmp");
        try {
            try (InputStream in = NativeLibrary.class.getClassLoader().getResourceAsStream(carried.resource)) {
                if (in == null) {
                    throw new java.nio.file.NoSuchFileException(carried.resource);
                }
                Files.copy(in, temp, StandardCopyOption.REPLACE_EXISTING);
            }
            try {
                Files.move(temp, target, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
            } catch (AtomicMoveNotSupportedException e) {
                Files.move(temp, target, StandardCopyOption.REPLACE_EXISTING);
            } catch (IOException e) {
                // On Windows a loaded DLL cannot be replaced: another process holds the same file.
                if (!(Files.isRegularFile(target) && Files.size(target) == carried.size)) {
                    throw e;
                }
            }
        } finally {
            Files.deleteIfExists(temp);
        }
        return target;
    }

    /**
     * A directory that others could write into could have the library swapped under us: on POSIX
     * systems the directory must belong to this user and be writable by nobody else.
     */
    private static void checkPrivate(Path dir, boolean checkOwner) throws IOException {
        if (!dir.getFileSystem().supportedFileAttributeViews().contains("posix")) {
            return;
        }
        if (Files.isSymbolicLink(dir)) {
            throw new java.nio.file.FileSystemException(dir.toString(), null, "is a symbolic link");
        }
        if (checkOwner) {
            String owner = Files.getOwner(dir, LinkOption.NOFOLLOW_LINKS).getName();
            String user = System.getProperty("user.name");
            if (user != null && !owner.equals(user)) {
                throw new java.nio.file.FileSystemException(dir.toString(), null,
                                                            "belongs to " + owner + ", not " + user);
            }
        }
        Set<PosixFilePermission> perms = Files.getPosixFilePermissions(dir, LinkOption.NOFOLLOW_LINKS);
        if (perms.contains(PosixFilePermission.GROUP_WRITE) || perms.contains(PosixFilePermission.OTHERS_WRITE)) {
            throw new java.nio.file.FileSystemException(dir.toString(), null,
                                                        "may be written by others ("
                                                                + PosixFilePermissions.toString(perms) + ")");
        }
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
