import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.util.SplittableRandom;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.brimvox.BvxDecoder;

/**
 * Speed of the pure-Java decoder on one thread after warm-up, beside the native decoder's in the
 * same run (codec_bench's BM_decodeFrame, on the same kind of frames: valid, with varied lags,
 * gains, pulses and LSP rows). Real-time factor = 30 ms / time per frame.
 *
 * <p>usage: java -cp brimvox.jar:decoder-bench.jar DecoderBench [CODEC_BENCH]
 */
public final class DecoderBench {
    private DecoderBench() {}

    /** Packs one frame of the given fields (the layout of the 18-byte frame). */
    static void pack(byte[] out, int at, int lsp, int lag0, int lag1, int[] lagOffset,
        int[] combinedGain, int[] signs, int[] positions) {
        final long w0 = (long) lagOffset[1] << 2 | signs[0] << 4 | (long) lsp << 8;
        final long w1 = positions[0] | positions[2] << 11 | (long) combinedGain[1] << 22;
        final long w2 = signs[3] | signs[2] << 4 | signs[1] << 8 | combinedGain[0] << 12
            | (long) combinedGain[2] << 22;
        final long w3 = combinedGain[3] | positions[3] << 10 | (long) positions[1] << 21;
        final int w4 = lagOffset[3] | (lag1 - 18) << 2 | (lag0 - 18) << 9;
        final long[] words = {w0, w1, w2, w3};
        for (int w = 0; w < 4; ++w) {
            for (int b = 0; b < 4; ++b) out[at + 4 * w + b] = (byte) (words[w] >> (8 * b));
        }
        out[at + 16] = (byte) w4;
        out[at + 17] = (byte) (w4 >> 8);
    }

    /** Valid frames with varied parameters, drawn as codec_bench draws them. */
    static byte[] validFrames(int count) {
        final SplittableRandom rng = new SplittableRandom(7);
        final byte[] frames = new byte[18 * count];
        final int[] offset = new int[4];
        final int[] gain = new int[4];
        final int[] signs = new int[4];
        final int[] positions = new int[4];
        for (int f = 0; f < count; ++f) {
            for (int s = 0; s < 4; ++s) {
                offset[s] = s % 2 == 1 ? rng.nextInt(4) : 1;
                gain[s] = rng.nextInt(42) * 24 + rng.nextInt(12);
                signs[s] = rng.nextInt(16);
                positions[s] = rng.nextInt(2048);
            }
            pack(frames, 18 * f, rng.nextInt(1 << 24), 18 + rng.nextInt(124), 18 + rng.nextInt(124),
                offset, gain, signs, positions);
        }
        return frames;
    }

    /** Nanoseconds per frame of one timed round of at least the given duration. */
    static double round(byte[] frames, short[] pcm, long minNanos) {
        final BvxDecoder decoder = new BvxDecoder();
        final int count = frames.length / 18;
        long decoded = 0;
        final long start = System.nanoTime();
        long elapsed;
        do {
            for (int i = 0; i < count; ++i) decoder.decodeFrame(frames, 18 * i, pcm, 0);
            decoded += count;
            elapsed = System.nanoTime() - start;
        } while (elapsed < minNanos);
        return (double) elapsed / decoded;
    }

    /** The native decoder's nanoseconds per frame from codec_bench, or NaN without it. */
    static double nativeNanosPerFrame(String codecBench) throws IOException, InterruptedException {
        final Process p = new ProcessBuilder(codecBench, "--benchmark_filter=BM_decodeFrame$",
            "--benchmark_min_time=2", "--benchmark_format=json")
                              .redirectError(ProcessBuilder.Redirect.INHERIT)
                              .start();
        final ByteArrayOutputStream out = new ByteArrayOutputStream();
        try (InputStream in = p.getInputStream()) {
            in.transferTo(out);
        }
        if (p.waitFor() != 0) throw new IOException(codecBench + " failed");
        final String json = out.toString();
        final Matcher time = Pattern.compile("\"real_time\":\\s*([0-9.eE+-]+)").matcher(json);
        final Matcher unit = Pattern.compile("\"time_unit\":\\s*\"(\\w+)\"").matcher(json);
        if (!time.find() || !unit.find()) throw new IOException("no timing from " + codecBench);
        final double value = Double.parseDouble(time.group(1));
        switch (unit.group(1)) {
            case "ns":
                return value;
            case "us":
                return value * 1e3;
            case "ms":
                return value * 1e6;
            default:
                throw new IOException("unknown time unit " + unit.group(1));
        }
    }

    static String line(String what, double nanosPerFrame) {
        return String.format("%-28s %9.0f ns/frame   real-time factor %7.0f", what, nanosPerFrame,
            30e6 / nanosPerFrame);
    }

    public static void main(String[] args) throws Exception {
        final byte[] frames = validFrames(1000);
        final short[] pcm = new short[BvxDecoder.FRAME_SAMPLES];
        // Warm-up: let the JIT compile the decoder fully before timing.
        for (int i = 0; i < 5; ++i) round(frames, pcm, 1_000_000_000L);
        double best = Double.MAX_VALUE;
        for (int i = 0; i < 5; ++i) best = Math.min(best, round(frames, pcm, 1_000_000_000L));
        System.out.println(line("Java decoder (best of 5 s)", best));
        if (args.length > 0) {
            final double nativeNanos = nativeNanosPerFrame(args[0]);
            System.out.println(line("native decoder", nativeNanos));
            System.out.printf("Java / native speed: %.2f%n", nativeNanos / best);
        }
    }
}
