package org.brimvox;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.File;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.util.Arrays;
import java.util.concurrent.TimeUnit;

/**
 * The native codec, run as programs of the same build: the command-line tool (system property
 * brimvox.codec) and the test tool that decodes frames with lost flags (brimvox.decodeRecords).
 */
final class NativeCodec {
    private NativeCodec() {}

    static String program(String property) {
        final String path = System.getProperty(property);
        if (path == null || !new File(path).canExecute()) {
            throw new IllegalStateException("system property " + property + " must name the "
                + "built program (the tests run through ctest set it)");
        }
        return path;
    }

    static void run(String... command) throws IOException, InterruptedException {
        final ProcessBuilder pb = new ProcessBuilder(command);
        pb.redirectErrorStream(true);
        final Process p = pb.start();
        final byte[] output = p.getInputStream().readAllBytes();
        if (!p.waitFor(120, TimeUnit.SECONDS)) p.destroyForcibly();
        assertEquals(
            0, p.exitValue(), () -> String.join(" ", command) + " failed:\n" + new String(output));
    }

    /** Encodes raw 8000 Hz PCM into frames with brimvox-codec encode. */
    static byte[] encode(short[] pcm, File dir) throws Exception {
        final File raw = new File(dir, "in.raw");
        final File frames = new File(dir, "encoded.bvx");
        Files.write(raw.toPath(), toBytes(pcm, false));
        run(program("brimvox.codec"), "encode", "--raw", raw.getPath(), frames.getPath());
        return Files.readAllBytes(frames.toPath());
    }

    /** Decodes a file of frames with brimvox-codec decode. */
    static short[] decodeFile(File frames, File dir) throws Exception {
        final File raw = new File(dir, "native.raw");
        run(program("brimvox.codec"), "decode", frames.getPath(), raw.getPath());
        return toShorts(Files.readAllBytes(raw.toPath()));
    }

    static short[] decode(byte[] frames, File dir) throws Exception {
        final File in = new File(dir, "frames.bvx");
        Files.write(in.toPath(), frames);
        return decodeFile(in, dir);
    }

    /** Samples and, after every frame, the carried state of a native decoding. */
    static final class Decoded {
        final short[] pcm;
        final double[] state; // BvxDecoder.STATE_SIZE doubles per frame

        Decoded(short[] pcm, double[] state) {
            this.pcm = pcm;
            this.state = state;
        }
    }

    /**
     * Decodes frames with per-frame lost flags through the native test tool: frame i is
     * frames[18i..18i+17], handed over with lost[i].
     */
    static Decoded decodeRecords(byte[] frames, short[] lost, File dir) throws Exception {
        final ByteBuffer records =
            ByteBuffer.allocate(lost.length * 20).order(ByteOrder.LITTLE_ENDIAN);
        for (int i = 0; i < lost.length; ++i) {
            records.putShort(lost[i]);
            records.put(frames, 18 * i, 18);
        }
        final File in = new File(dir, "records.bin");
        final File out = new File(dir, "records.raw");
        final File state = new File(dir, "records.state");
        Files.write(in.toPath(), records.array());
        run(program("brimvox.decodeRecords"), in.getPath(), out.getPath(), state.getPath());
        final byte[] stateBytes = Files.readAllBytes(state.toPath());
        final double[] values = new double[stateBytes.length / 8];
        ByteBuffer.wrap(stateBytes).order(ByteOrder.LITTLE_ENDIAN).asDoubleBuffer().get(values);
        return new Decoded(toShorts(Files.readAllBytes(out.toPath())), values);
    }

    /**
     * Decodes the frames with the Java decoder (lost[i] non-zero: frame i is lost) and checks its
     * samples and, after every frame, every bit of its carried state against the native run.
     */
    static Decoded assertSameAsNative(byte[] frames, short[] lost, File dir, String what)
        throws Exception {
        final Decoded expected = decodeRecords(frames, lost, dir);
        final int count = lost.length;
        final short[] pcm = new short[240 * count];
        final double[] state = new double[BvxDecoder.STATE_SIZE];
        final BvxDecoder decoder = new BvxDecoder();
        assertEquals(count * state.length, expected.state.length, what + ": state size");
        for (int i = 0; i < count; ++i) {
            if (lost[i] != 0) {
                decoder.decodeLostFrame(pcm, 240 * i);
            } else {
                decoder.decodeFrame(frames, 18 * i, pcm, 240 * i);
            }
            decoder.copyState(state);
            for (int k = 0; k < state.length; ++k) {
                final double e = expected.state[i * state.length + k];
                if (Double.doubleToRawLongBits(e) != Double.doubleToRawLongBits(state[k])) {
                    throw new AssertionError(what + ": after frame " + i + " state value " + k
                        + " is " + state[k] + ", the native decoder has " + e
                        + " (0-9 LSP, 10-154 excitation, 155-164 synthesis memory)");
                }
            }
        }
        assertSameSamples(expected.pcm, pcm, what);
        return expected;
    }

    /** Whether some kept excitation history value was clamped to the 16-bit range. */
    static boolean historyClamped(Decoded d) {
        for (int i = 0; i < d.state.length; i += BvxDecoder.STATE_SIZE) {
            for (int k = 10; k < 155; ++k) {
                if (d.state[i + k] == 32767.0 || d.state[i + k] == -32768.0) return true;
            }
        }
        return false;
    }

    static byte[] toBytes(short[] pcm, boolean bigEndian) {
        final ByteBuffer b = ByteBuffer.allocate(2 * pcm.length)
                                 .order(bigEndian ? ByteOrder.BIG_ENDIAN : ByteOrder.LITTLE_ENDIAN);
        b.asShortBuffer().put(pcm);
        return b.array();
    }

    static short[] toShorts(byte[] bytes) {
        final short[] s = new short[bytes.length / 2];
        ByteBuffer.wrap(bytes).order(ByteOrder.LITTLE_ENDIAN).asShortBuffer().get(s);
        return s;
    }

    /** Raw 8000 Hz test speech of the codec tests (brimvox.speechRaw). */
    static short[] speech() throws IOException {
        final String path = System.getProperty("brimvox.speechRaw");
        if (path == null) throw new IllegalStateException("system property brimvox.speechRaw");
        return toShorts(Files.readAllBytes(new File(path).toPath()));
    }

    /** Fails at the first sample that differs, naming its frame. */
    static void assertSameSamples(short[] expected, short[] actual, String what) {
        assertEquals(expected.length, actual.length, what + ": sample count");
        final int m = Arrays.mismatch(expected, actual);
        if (m >= 0) {
            throw new AssertionError(what + ": sample " + m + " (frame " + m / 240 + ") is "
                + actual[m] + ", the native decoder gives " + expected[m]);
        }
    }
}
