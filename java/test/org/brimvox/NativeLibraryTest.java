package org.brimvox;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFilePermissions;
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
            entry(jar, "NativeAudio.class");
            entry(jar, "org/brimvox/Brimvox.class");
            Attributes main = jar.getManifest().getMainAttributes();
            assertEquals("org.brimvox", main.getValue("Automatic-Module-Name"));
            assertTrue(main.getValue("Implementation-Version").matches("\\d+\\.\\d+\\.\\d+"));
            assertEquals("org.brimvox.demo.BrimvoxDemo", main.getValue("Main-Class"));
            // The complete jar (make jar) carries both Windows DLLs; the build's own may not.
            boolean complete = Boolean.getBoolean("brimvox.jar.complete");
            if (complete || jar.getEntry(WIN32) != null || jar.getEntry(WIN64) != null) {
                assertEquals(0x14c, peMachine(entry(jar, WIN32)));
                assertEquals(0x8664, peMachine(entry(jar, WIN64)));
            }
        }
    }

    @Test
    void theLibraryIsExtractedOnceUnderItsContentHash() throws Exception {
        String saved = System.getProperty(NativeLibrary.CACHE_PROPERTY);
        System.setProperty(NativeLibrary.CACHE_PROPERTY, dir.resolve("cache").toString());
        try {
            byte[] bytes;
            try (InputStream in = NativeLibrary.class.getClassLoader().getResourceAsStream(LINUX)) {
                bytes = in.readAllBytes();
            }
            Path file = NativeLibrary.extract(LINUX);
            assertEquals(dir.resolve("cache").resolve(NativeLibrary.sha256(bytes)).resolve("libbrimvox.so"), file);
            assertEquals(NativeLibrary.sha256(bytes), NativeLibrary.sha256(Files.readAllBytes(file)));
            assertEquals("rwx------", PosixFilePermissions.toString(
                    Files.getPosixFilePermissions(file.getParent())), "a private directory");

            FileTime old = FileTime.fromMillis(1_000_000_000_000L);
            Files.setLastModifiedTime(file, old);
            assertEquals(file, NativeLibrary.extract(LINUX));
            assertEquals(old, Files.getLastModifiedTime(file), "an intact copy is used as it is");

            Files.write(file, new byte[] {1, 2, 3});  // a damaged copy is replaced
            assertEquals(file, NativeLibrary.extract(LINUX));
            assertEquals(NativeLibrary.sha256(bytes), NativeLibrary.sha256(Files.readAllBytes(file)));
            try (var files = Files.list(file.getParent())) {
                assertEquals(1, files.count(), "no temporary file is left");
            }
            assertNull(NativeLibrary.extract("windows-arm64/brimvox.dll"));
        } finally {
            if (saved == null) {
                System.clearProperty(NativeLibrary.CACHE_PROPERTY);
            } else {
                System.setProperty(NativeLibrary.CACHE_PROPERTY, saved);
            }
        }
        assertNotEquals(null, NativeLibrary.loadedFrom());
        assertEquals(101, Brimvox.nativeVersion());
    }
}
