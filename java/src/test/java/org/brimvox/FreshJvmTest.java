package org.brimvox;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import javax.tools.JavaCompiler;
import javax.tools.ToolProvider;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.api.io.TempDir;

/**
 * The jar as a user runs it: a fresh JVM with only the jar on the class path, no -D flags and no
 * library path; the sound settings come from the environment.
 */
@Timeout(120)
class FreshJvmTest {
    @TempDir Path dir;

    static final class Result {
        int exit;
        String out;
    }

    /** Runs java with the arguments; the virtual card's settings in the environment. */
    Result java(Map<String, String> env, String... args) throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
        command.addAll(Arrays.asList(args));
        ProcessBuilder pb = new ProcessBuilder(command).redirectErrorStream(true).directory(dir.toFile());
        Map<String, String> e = pb.environment();
        e.keySet().removeIf(k -> k.startsWith("BRIMVOX_") || k.startsWith("JAVA_TOOL") || k.startsWith("JDK_JAVA"));
        e.put("XDG_CACHE_HOME", dir.resolve("cache").toString());
        e.put("BRIMVOX_AUDIO", "virtual");
        e.put("BRIMVOX_AUDIO_IN", System.getProperty("brimvox.speech"));
        e.put("BRIMVOX_AUDIO_OUT", dir.resolve("speaker.wav").toString());
        e.put("BRIMVOX_AUDIO_SPEED", "8");
        e.putAll(env);
        Process p = pb.start();
        Result r = new Result();
        r.out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(100, TimeUnit.SECONDS));
        r.exit = p.exitValue();
        return r;
    }

    static String jar() {
        return System.getProperty("brimvox.jar");
    }

    @Test
    void theJarAloneRecordsAndPlaysThroughTheVirtualCard() throws Exception {
        Result r = java(Map.of(), "-jar", jar(), System.getProperty("brimvox.speech"), "out", "1.5");
        assertEquals(0, r.exit, r.out);
        assertTrue(r.out.matches("(?s).*file recording: +1\\.[5-9]\\d s.*"), r.out);
        assertTrue(r.out.contains("stream playback:"), r.out);
        assertTrue(r.out.contains("played into:"), r.out);
        assertTrue(Files.size(dir.resolve("out/played_file.wav")) > 20000);
        assertTrue(Files.size(dir.resolve("out/played_blocks.wav")) > 20000);
        try (var hashes = Files.list(dir.resolve("cache/brimvox"))) {
            Path extracted = hashes.findFirst().orElseThrow().resolve("libbrimvox.so");
            assertTrue(Files.isRegularFile(extracted), "extracted into the user's cache");
        }
    }

    /** brimvox.jar alone on the module path: the named module records and plays. */
    @Test
    void theJarIsANamedModuleThatRunsOnTheModulePath() throws Exception {
        Result r = java(Map.of(), "-p", jar(), "-m", "org.brimvox", System.getProperty("brimvox.speech"), "out", "1");
        assertEquals(0, r.exit, r.out);
        assertTrue(r.out.matches("(?s).*file recording: +(0\\.9|1\\.)\\d+ s.*"), r.out);
        assertTrue(r.out.contains("stream playback:"), r.out);
    }

    @Test
    void aBadEnvironmentSettingIsNamed() throws Exception {
        Result r = java(Map.of("BRIMVOX_AUDIO_SPEED", "abc"), "-jar", jar(),
                        System.getProperty("brimvox.speech"), "out", "1");
        assertEquals(1, r.exit, r.out);
        assertTrue(r.out.contains(
                "BRIMVOX_AUDIO_SPEED: \"abc\" is not a clock speed; use a number from 0.01 to 1000"), r.out);
        r = java(Map.of("BRIMVOX_AUDIO", "bogus"), "-jar", jar(), System.getProperty("brimvox.speech"), "out", "1");
        assertEquals(1, r.exit, r.out);
        assertTrue(r.out.contains("BRIMVOX_AUDIO: \"bogus\" is not a sound card; use alsa, virtual or none"), r.out);
    }

    @Test
    void aFailedLoadSaysWhatWasTriedAndWhatToSet() throws Exception {
        Result r = java(Map.of(), "-Dbrimvox.library=/nonexistent/libbrimvox.so", "-jar", jar(), "mic", "out");
        assertEquals(1, r.exit, r.out);
        assertTrue(r.out.contains("the file named by -Dbrimvox.library=/nonexistent/libbrimvox.so could not be loaded"),
                   r.out);
        assertTrue(r.out.contains("Correct or remove that setting"), r.out);
        assertTrue(r.out.contains("(LIBRARY)"), "the demo reports the reason: " + r.out);

        r = java(Map.of(), "-Dos.arch=sparc", "-Djava.library.path=" + dir, "-jar", jar(), "mic", "out");
        assertEquals(1, r.exit, r.out);
        assertTrue(r.out.contains("this jar carries no library for Linux on sparc"), r.out);
        assertTrue(r.out.contains("brimvox on java.library.path (" + dir + ")"), r.out);
        assertTrue(r.out.contains("Set -Dbrimvox.library=/path/to/libbrimvox.so"), r.out);
    }

    /**
     * A home whose cache cannot be written: the library goes to the user's directory in
     * java.io.tmpdir; where that is not private either, the error names every place tried.
     */
    @Test
    void anUnwritableHomeFallsBackToAPrivateDirectoryInTmp() throws Exception {
        Path home = dir.resolve("home-is-a-file");
        Files.writeString(home, "not a directory");
        Path tmp = Files.createDirectories(dir.resolve("tmp"));
        Map<String, String> env = new java.util.HashMap<>();
        env.put("XDG_CACHE_HOME", "");
        String[] flags = {"-Duser.home=" + home, "-Djava.io.tmpdir=" + tmp};
        String probe = "org.brimvox.LoadProbe";
        String cp = jar() + java.io.File.pathSeparator
                    + Path.of(LoadProbe.class.getProtectionDomain().getCodeSource().getLocation().toURI());
        Result r = java(env, flags[0], flags[1], "-cp", cp, probe);
        assertEquals(0, r.exit, r.out);
        Path fallback = tmp.resolve("brimvox-" + System.getProperty("user.name"));
        assertTrue(r.out.contains("loaded from " + fallback + "/"), r.out);
        assertEquals("rwx------", java.nio.file.attribute.PosixFilePermissions.toString(
                Files.getPosixFilePermissions(fallback)));

        // The fallback made writable by others: refused, and every place tried is named.
        Files.setPosixFilePermissions(fallback, java.nio.file.attribute.PosixFilePermissions.fromString("rwxrwxrwx"));
        r = java(env, flags[0], flags[1], "-Djava.library.path=" + dir, "-cp", cp, probe);
        assertEquals(1, r.exit, r.out);
        assertTrue(r.out.contains(home + "/.cache/brimvox: cannot extract"), r.out);
        assertTrue(r.out.contains(fallback + ": cannot extract"), r.out);
        assertTrue(r.out.contains("may be written by others"), r.out);
        assertTrue(r.out.contains("brimvox on java.library.path (" + dir + ")"), r.out);
        assertTrue(r.out.contains("set -Dbrimvox.cache=DIR to a private writable directory"), r.out);
    }

    /** libsndfile and libsamplerate come into the process only when the virtual card needs them. */
    @Test
    void theVirtualCardsLibrariesAreLoadedOnlyWhenItIsUsed() throws Exception {
        String cp = jar() + java.io.File.pathSeparator
                    + Path.of(LibraryMapsProbe.class.getProtectionDomain().getCodeSource().getLocation().toURI());
        Result r = java(Map.of(), "-cp", cp, LibraryMapsProbe.class.getName(), System.getProperty("brimvox.speech"));
        assertEquals(0, r.exit, r.out);
        assertTrue(r.out.contains("no card: DEVICE"), r.out);
        assertTrue(r.out.contains("before the virtual card: sndfile=false samplerate=false"), r.out);
        assertTrue(r.out.contains("after the virtual card: sndfile=true samplerate=true"), r.out);
    }

    /** The README's Java example, compiled against the jar alone and run in a fresh JVM. */
    @Test
    void theReadmeExampleCompilesAgainstTheJarAndRuns() throws Exception {
        String readme = Files.readString(Path.of(System.getProperty("brimvox.readme")));
        int section = readme.indexOf("\n## Using brimvox from Java\n");
        assertTrue(section >= 0, "the README has its Java section");
        Matcher block = Pattern.compile("```java\n(.*?)```", Pattern.DOTALL).matcher(readme);
        assertTrue(block.find(section), "the section has a Java example");
        String source = block.group(1);
        Matcher pkg = Pattern.compile("^package ([\\w.]+);", Pattern.MULTILINE).matcher(source);
        Matcher cls = Pattern.compile("public final class (\\w+)").matcher(source);
        assertTrue(pkg.find() && cls.find(), "a class in a named package");
        String name = pkg.group(1) + "." + cls.group(1);
        Path file = dir.resolve("src").resolve(name.replace('.', '/') + ".java");
        Files.createDirectories(file.getParent());
        Files.writeString(file, source);

        JavaCompiler javac = ToolProvider.getSystemJavaCompiler();
        int compiled = javac.run(null, null, null, "-Xlint:all", "-Werror", "-cp", jar(),
                                 "-d", dir.resolve("classes").toString(), file.toString());
        assertEquals(0, compiled, "javac on the README example");

        String cp = jar() + java.io.File.pathSeparator + dir.resolve("classes");
        Result r = java(Map.of(), "-cp", cp, name, "note.bvx");
        assertEquals(0, r.exit, r.out);
        Matcher recorded = Pattern.compile("recorded (\\d+) ms").matcher(r.out);
        assertTrue(recorded.find(), r.out);
        long ms = Long.parseLong(recorded.group(1));
        assertTrue(ms >= 3000 && ms < 3500, r.out);
        assertEquals(ms / 90 * 54, Files.size(dir.resolve("note.bvx")), "the file holds what was recorded");
        assertTrue(r.out.contains("played "), r.out);

        // Its error handling: a directory that does not exist.
        r = java(Map.of(), "-cp", cp, name, "no/such/dir/note.bvx");
        assertEquals(1, r.exit, r.out);
        assertTrue(r.out.contains("brimvox: cannot record to a file: no such file or directory: "
                                   + dir.resolve("no/such/dir/note.bvx")), r.out);
        assertTrue(r.out.contains("[FILE]"), r.out);
    }
}
