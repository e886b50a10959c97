package org.brimvox;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.jar.Attributes;
import java.util.jar.JarFile;
import java.util.zip.ZipEntry;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Where the jar keeps its native libraries, which one a system gets, and how it is extracted. */
class NativeLibraryTest {
    static final String LINUX = "linux-x86_64/libbrimvox.so";
    static final String WIN32 = "windows-x86/brimvox.dll";
    static final String WIN64 = "windows-x86_64/brimvox.dll";

    @TempDir Path dir;

    @Test
    void eachSystemGetsItsResource() {
        assertEquals(LINUX, NativeLibrary.resourceFor("Linux", "amd64"));
        assertEquals(LINUX, NativeLibrary.resourceFor("Linux", "x86_64"));
        assertEquals(WIN64, NativeLibrary.resourceFor("Windows 10", "amd64"));
        assertEquals(WIN64, NativeLibrary.resourceFor("Windows Server 2022", "AMD64"));
        assertEquals(WIN32, NativeLibrary.resourceFor("Windows 11", "x86"));
        assertEquals(WIN32, NativeLibrary.resourceFor("Windows 7", "i686"));
        assertNull(NativeLibrary.resourceFor("Linux", "x86"), "no 32-bit Linux library is built");
        assertNull(NativeLibrary.resourceFor("Linux", "aarch64"));
        assertNull(NativeLibrary.resourceFor("Windows 11", "aarch64"));
        assertNull(NativeLibrary.resourceFor("Mac OS X", "x86_64"));
    }

    /** PE machine type of a DLL: 0x14c for x86, 0x8664 for x64. */
    static int peMachine(byte[] dll) {
        assertEquals('M', dll[0]);
        assertEquals('Z', dll[1]);
        int pe = (dll[0x3c] & 0xff) | (dll[0x3d] & 0xff) << 8 | (dll[0x3e] & 0xff) << 16;
        assertEquals("PE\0\0", new String(dll, pe, 4, java.nio.charset.StandardCharsets.ISO_8859_1));
        return (dll[pe + 4] & 0xff) | (dll[pe + 5] & 0xff) << 8;
    }

    static byte[] entry(JarFile jar, String name) throws IOException {
        ZipEntry e = jar.getEntry(name);
        assertNotNull(e, name + " is missing from the jar");
        try (InputStream in = jar.getInputStream(e)) {
            return in.readAllBytes();
        }
    }

    @Test
    void theJarCarriesTheApiTheNativesAndItsManifest() throws Exception {
        try (JarFile jar = new JarFile(System.getProperty("brimvox.jar"))) {
            byte[] so = entry(jar, LINUX);
            assertEquals(0x7f, so[0]);
            assertEquals("ELF", new String(so, 1, 3, java.nio.charset.StandardCharsets.ISO_8859_1));
            assertEquals(62, so[18], "x86-64 ELF");
            entry(jar, "org/brimvox/Brimvox.class");
            entry(jar, "org/brimvox/NativeAudio.bin");  // defined privately without the legacy jar
            entry(jar, "module-info.class");
            assertEquals(NativeLibrary.sha256(so) + " " + so.length + "\n",
                         new String(entry(jar, LINUX + ".sha256"), java.nio.charset.StandardCharsets.US_ASCII),
                         "hash and size recorded beside the library");
            // Nothing in the unnamed package, no test helper.
            jar.stream().map(ZipEntry::getName).filter(n -> n.endsWith(".class")).forEach(n -> {
                assertTrue(n.startsWith("org/brimvox/") || n.equals("module-info.class"), n);
                assertFalse(n.contains("Test") || n.contains("SpeechQuality") || n.contains("Probe"), n);
            });
            Attributes main = jar.getManifest().getMainAttributes();
            assertTrue(main.getValue("Implementation-Version").matches("\\d+\\.\\d+\\.\\d+"));
            assertEquals("org.brimvox.demo.BrimvoxDemo", main.getValue("Main-Class"));
            java.lang.module.ModuleDescriptor module = java.lang.module.ModuleFinder
                    .of(Path.of(System.getProperty("brimvox.jar"))).findAll().iterator().next().descriptor();
            assertEquals("org.brimvox", module.name());
            assertFalse(module.isAutomatic(), "a named module of its own");
            assertEquals(java.util.Set.of("org.brimvox", "org.brimvox.demo"), module.packages());
            assertEquals(1, module.exports().size());
            assertEquals("org.brimvox.demo.BrimvoxDemo", module.mainClass().orElseThrow());
            assertEquals(java.util.Set.of("javax.sound.sampled.spi.AudioFileReader",
                                          "javax.sound.sampled.spi.FormatConversionProvider"),
                         module.provides().stream().map(java.lang.module.ModuleDescriptor.Provides::service)
                                 .collect(java.util.stream.Collectors.toSet()));
            // The complete jar (make jar) carries both Windows DLLs; the build's own may not.
            boolean complete = Boolean.getBoolean("brimvox.jar.complete");
            if (complete || jar.getEntry(WIN32) != null || jar.getEntry(WIN64) != null) {
                assertEquals(0x14c, peMachine(entry(jar, WIN32)));
                assertEquals(0x8664, peMachine(entry(jar, WIN64)));
                entry(jar, WIN32 + ".sha256");
                entry(jar, WIN64 + ".sha256");
            }
        }
        try (JarFile legacy = new JarFile(System.getProperty("brimvox.legacyJar"))) {
            assertEquals(List.of("META-INF/", "META-INF/MANIFEST.MF", "NativeAudio$Loader.class", "NativeAudio.class"),
                         legacy.stream().map(ZipEntry::getName).sorted().collect(java.util.stream.Collectors.toList()));
            assertEquals("brimvox.jar", legacy.getManifest().getMainAttributes().getValue("Class-Path"));
        }
    }

    @Test
    void theLibraryIsExtractedOnceUnderTheHashRecordedWhenTheJarWasBuilt() throws Exception {
        byte[] bytes;
        try (InputStream in = NativeLibrary.class.getClassLoader().getResourceAsStream(LINUX)) {
            bytes = in.readAllBytes();
        }
        NativeLibrary.Carried carried = NativeLibrary.Carried.of(LINUX);
        assertEquals(NativeLibrary.sha256(bytes), carried.hash, "the recorded hash is the library's");
        assertEquals(bytes.length, carried.size);
        Path base = dir.resolve("cache");
        Path file = NativeLibrary.extract(carried, base, true);
        assertEquals(base.resolve(carried.hash).resolve("libbrimvox.so"), file);
        assertArrayEquals(bytes, Files.readAllBytes(file));
        assertEquals("rwx------", PosixFilePermissions.toString(
                Files.getPosixFilePermissions(file.getParent())), "a private directory");

        FileTime old = FileTime.fromMillis(1_000_000_000_000L);
        Files.setLastModifiedTime(file, old);
        assertEquals(file, NativeLibrary.extract(carried, base, true));
        assertEquals(old, Files.getLastModifiedTime(file), "a copy there is used as it is, never read");

        Files.write(file, new byte[] {1, 2, 3});  // a copy cut short is replaced
        assertEquals(file, NativeLibrary.extract(carried, base, true));
        assertArrayEquals(bytes, Files.readAllBytes(file));
        try (var files = Files.list(file.getParent())) {
            assertEquals(1, files.count(), "no temporary file is left");
        }
        assertNull(NativeLibrary.Carried.of("windows-arm64/brimvox.dll"));

        // A directory others may write into is never used.
        Path open = dir.resolve("open");
        Files.createDirectories(open.resolve(carried.hash));
        Files.setPosixFilePermissions(open.resolve(carried.hash), PosixFilePermissions.fromString("rwxrwxrwx"));
        java.nio.file.FileSystemException e = assertThrows(java.nio.file.FileSystemException.class,
                                                           () -> NativeLibrary.extract(carried, open, true));
        assertTrue(e.getMessage().contains("may be written by others"), e.getMessage());
        assertEquals("libbrimvox-1234.so", NativeLibrary.copyName("libbrimvox.so", "1234"));
        assertNotEquals(null, NativeLibrary.loadedFrom());
        assertEquals(101, Brimvox.nativeVersion());
    }

    /**
     * Two more class loaders over the jar in this JVM (which has loaded the library already):
     * each gets the natives, through a copy of its own that is removed at once.
     */
    @Test
    void severalClassLoadersEachGetTheLibrary() throws Exception {
        java.net.URL jar = Path.of(System.getProperty("brimvox.jar")).toUri().toURL();
        java.net.URL legacy = Path.of(System.getProperty("brimvox.legacyJar")).toUri().toURL();
        List<String> from = new ArrayList<>();
        for (int i = 0; i < 2; ++i) {
            try (java.net.URLClassLoader loader = new java.net.URLClassLoader(
                         new java.net.URL[] {jar, legacy}, ClassLoader.getPlatformClassLoader())) {
                Class<?> c = Class.forName("NativeAudio", true, loader);
                assertEquals(101, c.getMethod("GetVersion").invoke(null));
                assertEquals(true, c.getMethod("NewJavaClass4800").invoke(null));
                assertEquals(true, c.getMethod("DeleteJavaClass4800").invoke(null));
                String path = (String) Class.forName("org.brimvox.NativeLibrary", true, loader)
                                      .getMethod("loadedFrom").invoke(null);
                assertNotEquals(NativeLibrary.loadedFrom(), path, "a copy of its own");
                assertTrue(path.matches(".*/libbrimvox-[0-9a-f-]{36}[.]so"), path);
                assertFalse(Files.exists(Path.of(path)), "the copy is removed once loaded");
                from.add(path);
            }
        }
        // The packaged API alone (no NativeAudio on its class path) defines its own NativeAudio.
        try (java.net.URLClassLoader loader =
                     new java.net.URLClassLoader(new java.net.URL[] {jar}, ClassLoader.getPlatformClassLoader())) {
            assertEquals(101, Class.forName("org.brimvox.Brimvox", true, loader).getMethod("nativeVersion").invoke(null));
            from.add((String) Class.forName("org.brimvox.NativeLibrary", true, loader)
                             .getMethod("loadedFrom").invoke(null));
        }
        assertEquals(3, from.stream().distinct().count(), from.toString());
    }
}
