package org.brimvox;

import static org.brimvox.NativeCodec.assertSameSamples;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.util.SplittableRandom;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The pure-Java decoder against the native decoder of the same build, sample for sample. */
class BvxDecoderTest {
    @TempDir File dir;

    static short[] decodeJava(byte[] frames) {
        final int count = frames.length / 18;
        final short[] pcm = new short[count * 240];
        final BvxDecoder decoder = new BvxDecoder();
        for (int i = 0; i < count; ++i) decoder.decodeFrame(frames, 18 * i, pcm, 240 * i);
        return pcm;
    }

    @Test
    void unpacksTheWorkedExampleAndMarksInvalidCodesBad() {
        final byte[] frame = hex("1856341201A8EA3D4882077BEFFF5F554B55");
        final CelpFrame f = new CelpFrame();
        f.unpack(frame, 0, (short) 0);
        assertEquals(0, f.badFrame);
        assertEquals(0x123456, f.lspIndex);
        assertArrayEquals(new int[] {60, 100}, f.pitchLag);
        assertArrayEquals(new int[] {1, 2, 1, 3}, f.lagOffset);
        assertArrayEquals(new int[] {5, 10, 20, 41}, f.acbGainIndex);
        assertArrayEquals(new int[] {0, 7, 12, 23}, f.fcbGainIndex);
        assertArrayEquals(new int[] {1, 2, 4, 8}, f.pulseSigns);
        assertArrayEquals(new int[] {0x001, 0x2AA, 0x555, 0x7FF}, f.pulsePositions);

        // Subframe 3's combined gain set to 1008; then lag code 124 for pitchLag[0].
        final byte[] badGain = frame.clone();
        setCombinedGain(badGain, 0, 3, 1008);
        f.unpack(badGain, 0, (short) 0);
        assertEquals(1, f.badFrame);
        assertEquals(0x123456, f.lspIndex, "a bad frame keeps its LSP index");
        assertArrayEquals(new int[] {0, 0, 0, 0}, f.acbGainIndex);
        assertArrayEquals(new int[] {18, 18}, f.pitchLag);
        final byte[] badLag = frame.clone();
        badLag[17] = (byte) (124 << 1);
        f.unpack(badLag, 0, (short) 0);
        assertEquals(1, f.badFrame);
        f.unpack(frame, 0, (short) -7);
        assertEquals(-7, f.badFrame, "the lost flag is kept as given");
        assertEquals(0, f.lspIndex, "a lost frame is not read");
    }

    @Test
    void outputRoundsHalfAwayFromZeroAndClamps() {
        final double[] in = {0.5, -0.5, 0.49999, 2.49, -2.5, -32767.5, -32767.6, 32766.5, 32766.49,
            40000.0, -40000.0};
        final short[] expected = {1, -1, 0, 2, -3, -32768, -32768, 32767, 32766, 32767, -32768};
        for (int i = 0; i < in.length; ++i) {
            assertEquals(expected[i], BvxDecoder.toPcm16(in[i]), "toPcm16(" + in[i] + ")");
        }
    }

    @Test
    void speechVectorDecodesLikeTheNativeDecoder() throws Exception {
        final byte[] frames = NativeCodec.encode(NativeCodec.speech(), dir);
        assertTrue(frames.length > 300 * 18, "the test speech is several seconds long");
        assertSameSamples(NativeCodec.decode(frames, dir), decodeJava(frames), "speech");
    }

    /**
     * A minute and a half of speech at levels from quiet to clipped (the loudest drives the
     * excitation out of the 16-bit range, where the kept history is clamped).
     */
    @Test
    void longSpeechDecodesLikeTheNativeDecoder() throws Exception {
        final short[] speech = NativeCodec.speech();
        final double[] gains = {1.0, 0.05, 2.5, 0.5, 8.0, 1.5, 0.2, 4.0, 1.0, 12.0};
        final short[] pcm = new short[speech.length * gains.length];
        for (int g = 0; g < gains.length; ++g) {
            for (int n = 0; n < speech.length; ++n) {
                final double x = speech[n] * gains[g];
                pcm[g * speech.length + n] = (short) Math.max(-32768, Math.min(32767, x));
            }
        }
        final byte[] frames = NativeCodec.encode(pcm, dir);
        assertEquals((pcm.length + 239) / 240 * 18, frames.length);
        final short[] expected = NativeCodec.decode(frames, dir);
        assertSameSamples(expected, decodeJava(frames), "long speech");
        assertTrue(hasExtremes(expected), "the loud parts reach the ends of the 16-bit range");
        NativeCodec.assertSameAsNative(frames, new short[frames.length / 18], dir, "long speech");
    }

    static boolean hasExtremes(short[] pcm) {
        boolean min = false;
        boolean max = false;
        for (short s : pcm) {
            min |= s == Short.MIN_VALUE;
            max |= s == Short.MAX_VALUE;
        }
        return min && max;
    }

    /**
     * Long pseudo-random sequences: speech frames with flipped bits, wholly random frames, frames
     * with invalid gain or lag codes, and lost frames with arbitrary non-zero flags, in runs.
     */
    @Test
    void damagedAndLostFramesDecodeLikeTheNativeDecoder() throws Exception {
        final byte[] speech = NativeCodec.encode(NativeCodec.speech(), dir);
        final int speechFrames = speech.length / 18;
        for (long seed = 1; seed <= 3; ++seed) {
            final SplittableRandom rng = new SplittableRandom(seed);
            final int count = 12000;
            final byte[] frames = new byte[18 * count];
            final short[] lost = new short[count];
            int lostCount = 0;
            for (int i = 0; i < count; ++i) {
                final int at = 18 * i;
                System.arraycopy(speech, 18 * (i % speechFrames), frames, at, 18);
                final int kind = rng.nextInt(100);
                if (kind < 8) { // lost, alone or in a burst
                    final int burst = rng.nextInt(4) == 0 ? 1 + rng.nextInt(6) : 1;
                    for (int k = 0; k < burst && i + k < count; ++k) {
                        short flag;
                        do flag = (short) rng.nextInt();
                        while (flag == 0);
                        lost[i + k] = flag;
                        ++lostCount;
                    }
                } else if (kind < 20) { // random bytes: large gains, invalid codes
                    for (int k = 0; k < 18; ++k) frames[at + k] = (byte) rng.nextInt();
                } else if (kind < 30) { // a few flipped bits
                    for (int k = 1 + rng.nextInt(4); k > 0; --k) {
                        frames[at + rng.nextInt(18)] ^= (byte) (1 << rng.nextInt(8));
                    }
                } else if (kind < 34) { // combined gain 1008..1023 in one subframe
                    setCombinedGain(frames, at, rng.nextInt(4), 1008 + rng.nextInt(16));
                } else if (kind < 37) { // lag code 124..127
                    setLagCode(frames, at, rng.nextInt(2), 124 + rng.nextInt(4));
                } else if (kind < 39) {
                    // A run of loud frames: strong pitch gain (taps summing to about 1.24) on a
                    // short lag with the largest pulses drive the excitation out of range.
                    final int run = Math.min(count - i, 3 + rng.nextInt(20));
                    for (int k = 0; k < run; ++k) {
                        final int a = 18 * (i + k);
                        for (int s = 0; s < 4; ++s) setCombinedGain(frames, a, s, 35 * 24 + 23);
                        setLagCode(frames, a, 0, rng.nextInt(8));
                        setLagCode(frames, a, 1, rng.nextInt(8));
                    }
                    i += run - 1;
                }
            }
            int invalidCount = 0;
            for (int i = 0; i < count; ++i) {
                final CelpFrame f = new CelpFrame();
                f.unpack(frames, 18 * i, lost[i]);
                if (lost[i] == 0 && f.badFrame != 0) ++invalidCount;
            }
            assertTrue(lostCount > count / 20 && invalidCount > count / 20,
                "lost " + lostCount + ", invalid " + invalidCount);
            final NativeCodec.Decoded d =
                NativeCodec.assertSameAsNative(frames, lost, dir, "random sequence " + seed);
            assertTrue(NativeCodec.historyClamped(d), "the loud runs clamp the excitation history");
        }
    }

    /**
     * Band 0 row 67 repeated pulls the lowest LSP value below 0 after the spacing pass; the
     * cosine grid is then read modulo 512 (T[-1] = T[511]) as the native decoder reads it.
     */
    @Test
    void lspBelowZeroDecodesLikeTheNativeDecoder() throws Exception {
        final int count = 8;
        final byte[] frames = new byte[18 * count];
        for (int i = 0; i < count; ++i) frames[18 * i + 3] = 67; // lspIndex bits 16..23
        final NativeCodec.Decoded d =
            NativeCodec.assertSameAsNative(frames, new short[count], dir, "LSP below 0");
        boolean negative = false;
        for (int i = 0; i < count; ++i) negative |= d.state[i * BvxDecoder.STATE_SIZE] < 0.0;
        assertTrue(negative, "some frame's lowest LSP value lies below 0");
    }

    /** Sets the 7-bit code of pitchLag[which] of the frame at {@code at}. */
    static void setLagCode(byte[] frames, int at, int which, int code) {
        final int first = which == 0 ? 9 : 2; // in W4, bytes 16..17
        int w4 = (frames[at + 16] & 0xFF) | (frames[at + 17] & 0xFF) << 8;
        w4 = (w4 & ~(0x7F << first)) | code << first;
        frames[at + 16] = (byte) w4;
        frames[at + 17] = (byte) (w4 >> 8);
    }

    /** Sets the 10-bit combined gain of subframe s of the frame at {@code at}. */
    static void setCombinedGain(byte[] frames, int at, int s, int gain) {
        // Frame bit of the gain's lowest bit, per subframe: W2 12, W1 22, W2 22, W3 0.
        final int[] firstBit = {64 + 12, 32 + 22, 64 + 22, 96};
        for (int b = 0; b < 10; ++b) {
            final int bit = firstBit[s] + b;
            final int index = at + bit / 8;
            if (((gain >> b) & 1) != 0) {
                frames[index] |= (byte) (1 << (bit % 8));
            } else {
                frames[index] &= (byte) ~(1 << (bit % 8));
            }
        }
    }

    private static byte[] hex(String digits) {
        final byte[] bytes = new byte[digits.length() / 2];
        for (int i = 0; i < bytes.length; i++) {
            bytes[i] = (byte) Integer.parseInt(digits.substring(2 * i, 2 * i + 2), 16);
        }
        return bytes;
    }
}
