package org.brimvox.demo;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.time.Duration;
import org.brimvox.AudioRun;
import org.brimvox.Brimvox;
import org.brimvox.BrimvoxException;

/**
 * Records speech to a compressed file and to a stream through the packaged API, plays both back,
 * and prints a summary. Usage: BrimvoxDemo MICROPHONE_WAV OUTPUT_DIR [SECONDS]. The sound card is
 * whatever the settings select (brimvox.audio or BRIMVOX_AUDIO); with the virtual card,
 * brimvox.audio.out or BRIMVOX_AUDIO_OUT names the WAV file its speaker writes, which the demo
 * copies after each playback. Run it with {@code java -jar brimvox.jar}.
 */
public final class BrimvoxDemo {
    private BrimvoxDemo() {}

    public static void main(String[] args) throws Exception {
        if (args.length < 2) {
            System.err.println("usage: BrimvoxDemo MICROPHONE_WAV OUTPUT_DIR [SECONDS]");
            System.exit(2);
        }
        File mic = new File(args[0]);
        Path dir = Path.of(args[1]);
        Duration seconds = Duration.ofMillis(Math.round(1000 * (args.length > 2 ? Double.parseDouble(args[2]) : 4.0)));
        String speaker = System.getProperty(Brimvox.AUDIO_OUT_PROPERTY, System.getenv("BRIMVOX_AUDIO_OUT"));
        Files.createDirectories(dir);
        try (Brimvox engine = Brimvox.open()) {
            Path compressed = dir.resolve("speech.bvx");
            AudioRun rec = engine.recordToFile(compressed);
            rec.awaitElapsed(seconds);
            rec.stop();
            double recorded = seconds(rec.await());
            double played = seconds(engine.playFile(compressed).await());
            File fromFile = keepSpeaker(speaker, dir.resolve("played_file.wav"));

            ByteArrayOutputStream frames = new ByteArrayOutputStream();
            AudioRun blocks = engine.recordToStream(frames);
            blocks.awaitElapsed(seconds);
            blocks.stop();
            blocks.await();
            double playedBlocks = seconds(engine.playStream(new ByteArrayInputStream(frames.toByteArray())).await());
            File fromBlocks = keepSpeaker(speaker, dir.resolve("played_blocks.wav"));

            long bytes = Files.size(compressed);
            System.out.printf("file recording:    %.2f s, %d bytes, %d blocks, %.0f bit/s%n",
                              recorded, bytes, bytes / 54, bytes * 8 / recorded);
            System.out.printf("file playback:     %.2f s%n", played);
            System.out.printf("stream recording:  %d blocks of 54 bytes (%d bytes)%n",
                              frames.size() / 54, frames.size());
            System.out.printf("stream playback:   %.2f s%n", playedBlocks);
            System.out.printf("microphone:        %s%n", mic);
            for (File wav : new File[] {fromFile, fromBlocks}) {
                if (wav != null) {
                    System.out.printf("played into:       %s (%d bytes)%n", wav, wav.length());
                }
            }
        } catch (BrimvoxException e) {
            System.err.println("brimvox demo: " + e.getMessage() + " (" + e.reason() + ")");
            System.exit(1);
        }
    }

    private static double seconds(Duration d) {
        return d.toNanos() / 1e9;
    }

    private static File keepSpeaker(String speaker, Path copy) throws IOException {
        if (speaker == null || speaker.isEmpty() || !new File(speaker).isFile()) {
            return null;
        }
        Files.copy(Path.of(speaker), copy, StandardCopyOption.REPLACE_EXISTING);
        return copy.toFile();
    }
}
