package org.brimvox;

import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;

/**
 * Run in a fresh JVM by {@link FreshJvmTest}: records through a card that is not the virtual one
 * and says whether libsndfile or libsamplerate is mapped into the process, then the same after a
 * recording through the virtual card.
 */
public final class LibraryMapsProbe {
    private LibraryMapsProbe() {}

    static String mapped() throws Exception {
        String maps = Files.readString(Path.of("/proc/self/maps"));
        return "sndfile=" + maps.contains("libsndfile") + " samplerate=" + maps.contains("libsamplerate");
    }

    public static void main(String[] args) throws Exception {
        try (Brimvox engine = Brimvox.builder().soundCard(SoundCard.NONE).open()) {
            try {
                engine.recordToStream(OutputStream.nullOutputStream()).await();
            } catch (BrimvoxException e) {
                System.out.println("no card: " + e.reason());
            }
        }
        System.out.println("before the virtual card: " + mapped());
        try (Brimvox engine = Brimvox.builder().soundCard(SoundCard.VIRTUAL).virtualMicrophone(Path.of(args[0]))
                .clockSpeed(8).open()) {
            AudioRun rec = engine.recordToStream(OutputStream.nullOutputStream());
            rec.awaitElapsed(Duration.ofMillis(200));
            rec.stop();
            rec.await();
        }
        System.out.println("after the virtual card: " + mapped());
    }
}
