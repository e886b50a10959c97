import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.nio.file.Files;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * NativeAudio in a real JVM through the built library, against the virtual sound card whose
 * microphone plays an espeak-ng sentence (BRIMVOX_AUDIO_IN) and whose speaker writes
 * BRIMVOX_AUDIO_OUT.
 */
class NativeAudioTest {
    /**
     * Lowest acceptable round-trip segmental SNR. The codec at 4800 bit/s reproduces this
     * sentence at about 5.6 dB, exactly what the codec alone gives (the engine is bit-exact with
     * a fresh codec). A lost, repeated or misordered block, a wrong codec state or a time shift
     * of the stream gives a signal that no longer lines up with the microphone and scores near
     * or below 0 dB ({@code shiftedStreamFallsBelowTheFloor}: one block of shift). 3 dB sits
     * between the two with margin on either side.
     */
    static final double SEGSNR_FLOOR_DB = 3.0;

    @TempDir File dir;
    File speaker;
    short[] microphone;

    @BeforeEach
    void setUp() throws Exception {
        speaker = new File(System.getenv("BRIMVOX_AUDIO_OUT"));
        microphone = SpeechQuality.readWav(new File(System.getProperty("brimvox.speech")));
        assertTrue(NativeAudio.NewJavaClass4800());
    }

    @AfterEach
    void tearDown() {
        assertTrue(NativeAudio.DeleteJavaClass4800());
    }

    static int maxAbs(short[] samples, int from, int to) {
        int most = 0;
        for (int i = from; i < Math.min(to, samples.length); ++i)
            most = Math.max(most, Math.abs((int) samples[i]));
        return Math.min(most, 32767);
    }

    static double waitStop(boolean recording) throws InterruptedException {
        double[] t = {-1};
        long until = System.nanoTime() + 10_000_000_000L;
        while (!(recording ? NativeAudio.FunIsStopRecording(t) : NativeAudio.FunIsStopPlaying(t))) {
            assertTrue(System.nanoTime() < until, "the run did not end");
            Thread.sleep(2);
        }
        return t[0];
    }

    // The run helpers: each starts a run, polls until it ends and fails on any error text.
    private static void check() {
        String error = NativeAudio.takeError();
        if (error != null) {
            throw new IllegalStateException("brimvox: " + error);
        }
    }

    private static double waitStopChecked(boolean recording) throws InterruptedException {
        double[] t = new double[1];
        long until = System.nanoTime() + 60_000_000_000L;
        while (!(recording ? NativeAudio.FunIsStopRecording(t) : NativeAudio.FunIsStopPlaying(t))) {
            if (System.nanoTime() > until) {
                throw new IllegalStateException("the run did not end");
            }
            Thread.sleep(5);
        }
        check();
        return t[0];
    }

    private static void waitRecorded(double seconds) throws InterruptedException {
        double[] t = new double[1];
        double latest = 0;
        while (latest < seconds - 1e-9) {
            if (NativeAudio.FunGetTimeRecording(t)) {
                latest = t[0];
            }
            check();
            Thread.sleep(5);
        }
    }

    static double recordFile(File file, double seconds) throws InterruptedException {
        if (!NativeAudio.RecordFile(file.getPath())) {
            throw new IllegalStateException("RecordFile refused");
        }
        waitRecorded(seconds);
        NativeAudio.Stop();
        return waitStopChecked(true);
    }

    static double playFile(File file) throws InterruptedException {
        if (!NativeAudio.PlayFile(file.getPath())) {
            throw new IllegalStateException("PlayFile refused");
        }
        return waitStopChecked(false);
    }

    static byte[] recordBlocks(double seconds) throws InterruptedException {
        if (!NativeAudio.RecordBuffer()) {
            throw new IllegalStateException("RecordBuffer refused");
        }
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] block = new byte[54];
        int wanted = (int) Math.ceil(seconds / 0.09 - 1e-9);
        while (out.size() < wanted * 54) {
            if (NativeAudio.GetBuffer(block)) {
                out.write(block, 0, 54);
            } else {
                check();
                Thread.sleep(5);
            }
        }
        NativeAudio.Stop();
        waitStopChecked(true);
        return out.toByteArray();
    }

    static double playBlocks(byte[] frames) throws InterruptedException {
        if (!NativeAudio.PlayBuffer()) {
            throw new IllegalStateException("PlayBuffer refused");
        }
        byte[] block = new byte[180];
        int sent = 0;
        while (sent < frames.length) {
            int n = Math.min(180, frames.length - sent);
            System.arraycopy(frames, sent, block, 0, n);
            boolean last = sent + n >= frames.length;
            if (NativeAudio.SetBuffer(block, (short) n, last)) {
                sent += n;
            } else {
                check();
                Thread.sleep(5);  // not playing yet, or the ring is full
            }
        }
        return waitStopChecked(false);
    }


    @Test
    void fileRecordingAndItsPlayback() throws Exception {
        File file = new File(dir, "speech.bvx");
        double recorded = recordFile(file, 2.0);
        assertNull(NativeAudio.takeError());
        long blocks = Math.round(recorded / 0.09);
        assertEquals(54 * blocks, file.length(), "every captured block is in the file");
        double played = playFile(file);
        long frames = file.length() / 18;
        assertEquals(0.3 * ((file.length() + 179) / 180), played, 1e-9);
        short[] out = SpeechQuality.readWav(speaker);
        assertEquals(frames * 240, out.length);
        double snr = SpeechQuality.segmentalSnr(microphone, out, 480);
        System.out.printf("file round trip: %d blocks, segmental SNR %.2f dB%n", blocks, snr);
        assertTrue(snr > SEGSNR_FLOOR_DB, "segmental SNR " + snr);
    }

    @Test
    void blockLoopMatchesTheFileRun() throws Exception {
        File file = new File(dir, "reference.bvx");
        recordFile(file, 1.8);
        byte[] fromFile = Files.readAllBytes(file.toPath());
        byte[] blocks = recordBlocks(1.8);
        assertTrue(blocks.length >= 20 * 54);
        // The microphone starts over with each run and a fresh codec encodes each: the blocks
        // equal the file's first blocks byte for byte.
        byte[] head = java.util.Arrays.copyOf(fromFile, Math.min(fromFile.length, blocks.length));
        assertArrayEquals(head, java.util.Arrays.copyOf(blocks, head.length));
        double played = playBlocks(blocks);
        assertEquals(0.3 * ((blocks.length + 179) / 180), played, 1e-9);
        short[] out = SpeechQuality.readWav(speaker);
        assertEquals(blocks.length / 18 * 240, out.length);
        assertTrue(SpeechQuality.segmentalSnr(microphone, out, 480) > SEGSNR_FLOOR_DB);
    }

    @Test
    void shiftedStreamFallsBelowTheFloor() throws Exception {
        File file = new File(dir, "shift.bvx");
        recordFile(file, 1.8);
        byte[] frames = Files.readAllBytes(file.toPath());
        // Drop the first block: the stream is 90 ms late against the microphone.
        byte[] late = java.util.Arrays.copyOfRange(frames, 54, frames.length);
        playBlocks(late);
        short[] out = SpeechQuality.readWav(speaker);
        short[] shifted = new short[out.length + 720];
        System.arraycopy(out, 0, shifted, 0, out.length);
        double snr = SpeechQuality.segmentalSnr(microphone, shifted, 0);
        System.out.printf("stream one block late: segmental SNR %.2f dB%n", snr);
        assertTrue(snr < SEGSNR_FLOOR_DB, "shifted stream scored " + snr);
    }

    @Test
    void getBufferHandsOutEveryBlockCapturedBeforeTheStop() throws Exception {
        assertTrue(NativeAudio.RecordBuffer());
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] block = new byte[54];
        while (out.size() < 3 * 54) {
            if (NativeAudio.GetBuffer(block)) {
                out.write(block, 0, 54);
            } else {
                Thread.sleep(2);
            }
        }
        // Unfetched blocks pile up in the ring until the stop.
        waitRecorded(0.81);
        assertTrue(NativeAudio.Stop());
        double t = waitStopChecked(true);
        while (NativeAudio.GetBuffer(block)) {
            out.write(block, 0, 54);
        }
        assertEquals(Math.round(t / 0.09) * 54, out.size(), "final time " + t);
        assertFalse(NativeAudio.GetBuffer(block), "drained");
    }

    @Test
    void aRecordFileThatCannotStartLeavesTheFileAsItWas() throws Exception {
        File precious = new File(dir, "precious.bvx");
        byte[] held = new byte[1890];
        java.util.Arrays.fill(held, (byte) 0x5a);
        Files.write(precious.toPath(), held);
        String before = System.getProperty("brimvox.audio");
        System.setProperty("brimvox.audio", "none");
        try {
            assertTrue(NativeAudio.NewJavaClass4800());
        } finally {
            if (before == null) {
                System.clearProperty("brimvox.audio");
            } else {
                System.setProperty("brimvox.audio", before);
            }
        }
        assertTrue(NativeAudio.RecordFile(precious.getPath()));
        assertEquals(0.0, waitStop(true));
        assertEquals(" Sound driver is not installed.", NativeAudio.takeError());
        assertArrayEquals(held, Files.readAllBytes(precious.toPath()));
    }

    @Test
    void errorPathsReachFunGetError() throws Exception {
        File missing = new File(dir, "missing.bvx");
        assertTrue(NativeAudio.PlayFile(missing.getPath()));
        waitStop(false);
        assertEquals("No such file or directory" + missing.getPath(), NativeAudio.takeError());
        assertNull(NativeAudio.takeError());

        String bad = new File(dir, "no/such/dir/out.bvx").getPath();
        assertTrue(NativeAudio.RecordFile(bad));
        assertEquals(0.0, waitStop(true));
        assertEquals("No such file or directory" + bad, NativeAudio.takeError());

        assertFalse(NativeAudio.RecordFile(null));
        assertFalse(NativeAudio.GetBuffer(new byte[10]));
        assertFalse(NativeAudio.GetBuffer(null));
        assertTrue(NativeAudio.PlayBuffer());
        long until = System.nanoTime() + 5_000_000_000L;
        while (!NativeAudio.FunGetIsBuffering()) {
            assertTrue(System.nanoTime() < until);
            Thread.sleep(2);
        }
        assertFalse(NativeAudio.PlayBuffer(), "a second start is refused");
        assertFalse(NativeAudio.SetBuffer(new byte[18], (short) 36, false), "array too short");
        assertFalse(NativeAudio.SetBuffer(new byte[200], (short) 181, false));
        assertFalse(NativeAudio.SetBuffer(new byte[200], (short) -18, false));
        // Accepted once the playback loop runs (refused before, like any block).
        while (!NativeAudio.SetBuffer(new byte[180], (short) 180, true)) {
            assertTrue(System.nanoTime() < until);
            Thread.sleep(2);
        }
        waitStop(false);
        byte[] small = new byte[4];
        assertFalse(NativeAudio.FunGetError(small));
        assertFalse(NativeAudio.FunIsStopPlaying(new double[0]));
    }

    @Test
    void pauseAndLevelWhileRecording() throws Exception {
        assertFalse(NativeAudio.Pause());
        assertTrue(NativeAudio.RecordBuffer());
        double[] t = {0};
        long until = System.nanoTime() + 5_000_000_000L;
        while (!(NativeAudio.FunGetTimeRecording(t) && t[0] >= 0.27)) {
            assertTrue(System.nanoTime() < until);
            Thread.sleep(2);
        }
        // The level of the speech being recorded: at least the loudest of what the first three
        // blocks captured, at most the loudest of the whole microphone signal.
        int peak = NativeAudio.FunGetMaxSample();
        assertTrue(peak >= maxAbs(microphone, 0, 3 * 720), "peak " + peak);
        assertTrue(peak <= maxAbs(microphone, 0, microphone.length), "peak " + peak);
        assertTrue(NativeAudio.Pause());
        assertFalse(NativeAudio.Pause());
        assertTrue(NativeAudio.Pause());
        long t0 = System.nanoTime();
        assertTrue(NativeAudio.Stop());
        assertTrue(System.nanoTime() - t0 < 1_500_000_000L);
        waitStop(true);
        // After the stop the blocks captured before it are delivered; once they are all taken
        // nothing more comes, and the caller's array is left as it was.
        byte[] block = new byte[54];
        while (NativeAudio.GetBuffer(block)) {
            // the blocks of the three first recorded tenths and what followed up to the stop
        }
        java.util.Arrays.fill(block, (byte) 0x5A);
        assertFalse(NativeAudio.GetBuffer(block));
        byte[] untouched = new byte[54];
        java.util.Arrays.fill(untouched, (byte) 0x5A);
        assertArrayEquals(untouched, block);
    }

    @Test
    void badSettingsRefuseTheEngineWithATextThroughFunGetError() {
        System.setProperty("brimvox.audio.speed", "abc");
        try {
            assertFalse(NativeAudio.NewJavaClass4800());
        } finally {
            System.clearProperty("brimvox.audio.speed");
        }
        assertEquals("brimvox.audio.speed: \"abc\" is not a clock speed; use a number from 0.01 to 1000",
                     NativeAudio.takeError());
        assertNull(NativeAudio.takeError(), "delivered once");
        // Without an engine too, and a good setting clears the refusal.
        assertTrue(NativeAudio.DeleteJavaClass4800());
        System.setProperty("brimvox.audio", "pulse");
        try {
            assertFalse(NativeAudio.NewJavaClass4800());
        } finally {
            System.clearProperty("brimvox.audio");
        }
        assertEquals("brimvox.audio: \"pulse\" is not a sound card; use alsa, virtual or none",
                     NativeAudio.takeError());
        assertTrue(NativeAudio.NewJavaClass4800());
        assertNull(NativeAudio.takeError());
    }

    @Test
    void withoutAnEngineNothingHappens() {
        assertTrue(NativeAudio.DeleteJavaClass4800());
        assertEquals(101, NativeAudio.GetVersion());
        assertFalse(NativeAudio.RecordBuffer());
        assertFalse(NativeAudio.PlayFile("x"));
        assertTrue(NativeAudio.Stop());
        assertFalse(NativeAudio.FunGetTimeRecording(new double[1]));
        assertNull(NativeAudio.takeError());
        assertEquals(0, NativeAudio.FunGetMaxSample());
        assertTrue(NativeAudio.NewJavaClass4800());
        assertNotNull(speaker);
    }
}
