package org.brimvox;

/**
 * Decoder for compressed speech: 18-byte frames of the 4800 bit/s codec, each decoding to 240
 * signed 16-bit samples (30 ms at 8000 Hz, mono). Pure Java, and sample for sample the same as
 * the native decoder.
 *
 * <p>A decoder carries the codec's history from frame to frame: decode the frames of one stream
 * in order with one decoder, and start a new decoder for a new stream. Not thread-safe; use one
 * decoder per thread. Decoding never fails: a frame with invalid gain or lag codes, and a frame
 * reported lost, are concealed from the previous frames.
 */
public final class BvxDecoder {
    /** Bytes per compressed frame. */
    public static final int FRAME_BYTES = CelpFrame.BYTES;
    /** Samples per compressed frame. */
    public static final int FRAME_SAMPLES = 240;
    /** Samples per second of the decoded speech. */
    public static final int SAMPLE_RATE = 8000;

    private static final int ORDER = CelpShared.ORDER;
    private static final int SUBFRAME = CelpShared.SUBFRAME;
    private static final int HISTORY = CelpShared.HISTORY;

    // The state that carries from frame to frame.
    private final double[] decPrevLsp = CelpTables.LspMeanTable.clone();
    private final double[] decExcitation = new double[HISTORY]; // clamped, oldest first
    private final double[] decSynthMemory = new double[ORDER]; // newest first

    // Working data of one frame, kept to decode without allocating.
    private final CelpFrame params = new CelpFrame();
    private final double[] lsp = new double[ORDER];
    private final double[] sets = new double[4 * ORDER];
    private final double[] excitation = new double[HISTORY + FRAME_SAMPLES];
    private final double[] synth = new double[ORDER + FRAME_SAMPLES];
    private final double[] acb = new double[SUBFRAME];
    private final double[] scratch = new double[64];
    private final double[] lpcWork = new double[34];
    private final short[] samples = new short[FRAME_SAMPLES];

    /** A decoder in the initial state of a new stream. */
    public BvxDecoder() {}

    /**
     * Decodes the frame at {@code frame[offset..offset+17]} into
     * {@code pcm[pcmOffset..pcmOffset+239]}.
     */
    public void decodeFrame(byte[] frame, int offset, short[] pcm, int pcmOffset) {
        java.util.Objects.checkFromIndexSize(offset, FRAME_BYTES, frame.length);
        java.util.Objects.checkFromIndexSize(pcmOffset, FRAME_SAMPLES, pcm.length);
        decode(frame, offset, pcm, pcmOffset, (short) 0);
    }

    /**
     * Writes 240 samples for a frame that never arrived, predicted from the previous frames, into
     * {@code pcm[pcmOffset..pcmOffset+239]}.
     */
    public void decodeLostFrame(short[] pcm, int pcmOffset) {
        java.util.Objects.checkFromIndexSize(pcmOffset, FRAME_SAMPLES, pcm.length);
        decode(null, 0, pcm, pcmOffset, (short) 1);
    }

    /**
     * Decodes one frame into 480 bytes of 16-bit PCM at {@code out[outOffset..]}, little-endian
     * or big-endian.
     */
    void decodeFrameToBytes(
        byte[] frame, int offset, byte[] out, int outOffset, boolean bigEndian) {
        decode(frame, offset, samples, 0, (short) 0);
        final int hi = bigEndian ? 0 : 1;
        final int lo = 1 - hi;
        for (int n = 0; n < FRAME_SAMPLES; ++n) {
            final short s = samples[n];
            out[outOffset + 2 * n + lo] = (byte) s;
            out[outOffset + 2 * n + hi] = (byte) (s >> 8);
        }
    }

    /** Doubles of the state that carries from frame to frame, as {@link #copyState} writes it. */
    static final int STATE_SIZE = ORDER + HISTORY + ORDER;

    /**
     * Copies the carried state: the previous LSP vector, the excitation history, the synthesis
     * memory (for tests that compare it with the native decoder's bit for bit).
     */
    void copyState(double[] out) {
        System.arraycopy(decPrevLsp, 0, out, 0, ORDER);
        System.arraycopy(decExcitation, 0, out, ORDER, HISTORY);
        System.arraycopy(decSynthMemory, 0, out, ORDER + HISTORY, ORDER);
    }

    private void decode(byte[] frame, int offset, short[] pcm, int pcmOffset, short lost) {
        final CelpFrame p = params;
        p.unpack(frame, offset, lost);

        CelpShared.decodeLsp(lsp, decPrevLsp, p.lspIndex, p.badFrame);
        CelpShared.interpolateLsp(sets, lsp, decPrevLsp, lpcWork);
        System.arraycopy(lsp, 0, decPrevLsp, 0, ORDER);

        // B[0..144] is the kept history, B[145..384] the frame's new excitation.
        final double[] b = excitation;
        System.arraycopy(decExcitation, 0, b, 0, HISTORY);
        for (int s = 0; s < 4; ++s) {
            final int lag = p.pitchLag[s / 2];
            final int sub = HISTORY + SUBFRAME * s;
            CelpShared.buildFixedExcitation(b, sub, p, s, lag, scratch);
            CelpShared.adaptiveContribution(
                acb, b, SUBFRAME * s, lag, p.lagOffset[s], p.acbGainIndex[s], scratch);
            for (int n = 0; n < SUBFRAME; ++n) b[sub + n] += acb[n];
        }

        // The synthesis runs on the unclamped excitation; only the kept history is clamped.
        for (int k = 0; k < HISTORY; ++k) {
            decExcitation[k] = clampHistory(b[FRAME_SAMPLES + k]);
        }

        // y[ORDER + n] is output n, y[ORDER - 1 - k] is decSynthMemory[k]: the outputs are
        // appended instead of shifting the memory every sample. The memory runs on across the
        // four subframes, each with its own predictor set.
        final double[] y = synth;
        for (int k = 0; k < ORDER; ++k) y[ORDER - 1 - k] = decSynthMemory[k];
        for (int s = 0; s < 4; ++s) {
            final double[] a = sets;
            final int base = s * ORDER;
            final double p0 = a[base], p1 = a[base + 1], p2 = a[base + 2], p3 = a[base + 3];
            final double p4 = a[base + 4], p5 = a[base + 5], p6 = a[base + 6];
            final double p7 = a[base + 7], p8 = a[base + 8], p9 = a[base + 9];
            for (int n = SUBFRAME * s; n < SUBFRAME * (s + 1); ++n) {
                final int past = ORDER - 1 + n; // y[past - k] is the output k + 1 samples back
                // The sum over k = 0..9 in increasing k, as the native synthesis filter adds it
                // (it leaves out the leading "0 +", which only could change the sign of a zero
                // sum and so never an output sample).
                double sum = p0 * y[past];
                sum += p1 * y[past - 1];
                sum += p2 * y[past - 2];
                sum += p3 * y[past - 3];
                sum += p4 * y[past - 4];
                sum += p5 * y[past - 5];
                sum += p6 * y[past - 6];
                sum += p7 * y[past - 7];
                sum += p8 * y[past - 8];
                sum += p9 * y[past - 9];
                final double out = sum + b[HISTORY + n];
                y[ORDER + n] = out;
                pcm[pcmOffset + n] = toPcm16(out);
            }
        }
        for (int k = 0; k < ORDER; ++k) decSynthMemory[k] = y[ORDER + FRAME_SAMPLES - 1 - k];
    }

    /** Confines a value to the 16-bit range without rounding it. */
    private static double clampHistory(double x) {
        if (x < -32767.5) return -32768.0;
        if (x > 32766.5) return 32767.0;
        return x;
    }

    /** One output value as a 16-bit sample: clamped to the range, rounded half away from 0. */
    static short toPcm16(double x) {
        if (x < -32767.5) return -32768;
        if (x > 32766.5) return 32767;
        return (short) (int) (x >= 0.0 ? x + 0.5 : x - 0.5);
    }
}
