package org.brimvox;

import java.nio.file.Path;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.io.TempDir;

/**
 * An engine of the packaged API on the virtual sound card for each test: its microphone plays an
 * espeak-ng sentence (brimvox.speech), its speaker writes a WAV file in the test's directory, its
 * clock runs eight times faster. A test may close the engine and open another in its place.
 */
abstract class VirtualCardFixture {
    @TempDir Path dir;
    Path microphone;
    Path speaker;
    Brimvox engine;

    @BeforeEach
    void openEngine() throws Exception {
        microphone = Path.of(System.getProperty("brimvox.speech"));
        speaker = dir.resolve("speaker.wav");
        engine = virtualCard().open();
    }

    @AfterEach
    void closeEngine() {
        if (engine != null) {
            engine.close();
        }
    }

    Brimvox.Builder virtualCard() {
        return Brimvox.builder().soundCard(SoundCard.VIRTUAL).virtualMicrophone(microphone)
                .virtualSpeaker(speaker).clockSpeed(8);
    }
}
