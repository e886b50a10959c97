package org.brimvox;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.OutputStream;
import java.nio.file.Path;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.api.io.TempDir;

/**
 * The sound settings as system properties, read by the native library when the engine is
 * created: they win over the environment (which selects the virtual card here), the builder wins
 * over them, and bad values are refused with a text naming the setting and what it allows.
 */
@Timeout(30)
class SettingsTest {
    @TempDir Path dir;

    @AfterEach
    void clearProperties() {
        for (String p : new String[] {Brimvox.AUDIO_PROPERTY, Brimvox.AUDIO_IN_PROPERTY,
                                      Brimvox.AUDIO_OUT_PROPERTY, Brimvox.AUDIO_SPEED_PROPERTY}) {
            System.clearProperty(p);
        }
    }

    static BrimvoxException refused(String property, String value) {
        System.setProperty(property, value);
        BrimvoxException e = assertThrows(BrimvoxException.class, Brimvox::open);
        assertEquals(BrimvoxException.Reason.SETTING, e.reason());
        assertTrue(e.getMessage().endsWith(e.engineText()), e.getMessage());
        System.clearProperty(property);
        return e;
    }

    @Test
    void badValuesAreRefusedNamingTheSetting() throws Exception {
        assertEquals("brimvox.audio: \"bogus\" is not a sound card; use alsa, virtual or none",
                     refused(Brimvox.AUDIO_PROPERTY, "bogus").engineText());
        for (String speed : new String[] {"abc", "0", "-2", "1001", "8x", "nan", "inf"}) {
            assertEquals("brimvox.audio.speed: \"" + speed
                                 + "\" is not a clock speed; use a number from 0.01 to 1000",
                         refused(Brimvox.AUDIO_SPEED_PROPERTY, speed).engineText());
        }
        String missing = dir.resolve("missing.wav").toString();
        assertTrue(refused(Brimvox.AUDIO_IN_PROPERTY, missing).engineText()
                           .startsWith("brimvox.audio.in: \"" + missing + "\" cannot be read (No such file"));
        // A refusal leaves nothing behind: the next open with good settings works.
        System.setProperty(Brimvox.AUDIO_SPEED_PROPERTY, "0.01");
        try (Brimvox engine = Brimvox.open()) {
            assertTrue(engine.isOpen());
        }
    }

    @Test
    void aPropertyWinsOverTheEnvironmentAndTheBuilderOverAProperty() throws Exception {
        System.setProperty(Brimvox.AUDIO_PROPERTY, "none");
        try (Brimvox engine = Brimvox.open()) {
            BrimvoxException e = assertThrows(BrimvoxException.class,
                                              () -> engine.recordToStream(OutputStream.nullOutputStream()).await());
            assertEquals(BrimvoxException.Reason.DEVICE, e.reason());
            assertEquals(" Sound driver is not installed.", e.engineText());
        }
        System.setProperty(Brimvox.AUDIO_PROPERTY, "bogus");
        System.setProperty(Brimvox.AUDIO_SPEED_PROPERTY, "abc");
        try (Brimvox engine = Brimvox.builder().soundCard(SoundCard.VIRTUAL).clockSpeed(8).open()) {
            AudioRun rec = engine.recordToStream(OutputStream.nullOutputStream());
            rec.awaitElapsed(java.time.Duration.ofMillis(270));
            rec.stop();
            assertTrue(rec.await().toMillis() >= 270);
        }
        assertEquals("bogus", System.getProperty(Brimvox.AUDIO_PROPERTY), "the property is restored");
        assertEquals("abc", System.getProperty(Brimvox.AUDIO_SPEED_PROPERTY));
    }

    /** System properties that note every change of a brimvox setting. */
    static final class WatchedProperties extends java.util.Properties {
        private static final long serialVersionUID = 1L;

        final java.util.List<String> changes = java.util.Collections.synchronizedList(new java.util.ArrayList<>());

        WatchedProperties(java.util.Properties from) {
            putAll(from);
        }

        @Override
        public synchronized Object put(Object key, Object value) {
            if (String.valueOf(key).startsWith("brimvox.audio")) {
                changes.add(key + "=" + value);
            }
            return super.put(key, value);
        }

        @Override
        public synchronized Object remove(Object key) {
            if (String.valueOf(key).startsWith("brimvox.audio")) {
                changes.add(key + " cleared");
            }
            return super.remove(key);
        }
    }

    @Test
    void theBuilderChangesNoGlobalProperty() throws Exception {
        java.util.Properties original = System.getProperties();
        WatchedProperties watched = new WatchedProperties(original);
        System.setProperties(watched);
        try {
            // The builder's values reach the engine, which refuses a microphone it cannot read in
            // its own words, although no property carries the value.
            Path missing = dir.resolve("missing.wav");
            BrimvoxException e = assertThrows(BrimvoxException.class,
                                              () -> Brimvox.builder().soundCard(SoundCard.VIRTUAL)
                                                      .virtualMicrophone(missing).open());
            assertEquals(BrimvoxException.Reason.SETTING, e.reason());
            assertTrue(e.engineText().startsWith("brimvox.audio.in: \"" + missing + "\" cannot be read"),
                       e.engineText());
            try (Brimvox engine = Brimvox.builder().soundCard(SoundCard.VIRTUAL).clockSpeed(8).open()) {
                AudioRun rec = engine.recordToStream(OutputStream.nullOutputStream());
                rec.awaitElapsed(java.time.Duration.ofMillis(270));
                rec.stop();
                assertTrue(rec.await().toMillis() >= 270);
            }
        } finally {
            System.setProperties(original);
        }
        assertEquals(java.util.List.of(), watched.changes);
    }
}
