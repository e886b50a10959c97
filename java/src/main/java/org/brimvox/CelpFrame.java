package org.brimvox;

/**
 * The unpacked parameters of one 18-byte frame (four subframes of 60 samples), reused from frame
 * to frame by one decoder.
 */
final class CelpFrame {
    static final int BYTES = 18;
    static final int SUBFRAMES = 4;
    static final int MIN_PITCH_LAG = 18;
    static final int MAX_PITCH_LAG = 141; // lag codes 0..123 are valid
    static final int FCB_GAIN_COUNT = 24;
    static final int COMBINED_GAIN_LIMIT = 42 * FCB_GAIN_COUNT; // 1008: first invalid value

    /** Non-zero: the frame is lost or invalid. */
    short badFrame;
    /** 24 bits: band 0 in bits 16..23, band 1 in 8..15, band 2 in 0..7. */
    int lspIndex;
    /** Open-loop lags of subframes 0-1 and 2-3. */
    final int[] pitchLag = new int[2];
    /** Per subframe: delay = pitchLag + lagOffset - 1. */
    final int[] lagOffset = new int[SUBFRAMES];
    final int[] acbGainIndex = new int[SUBFRAMES];
    final int[] fcbGainIndex = new int[SUBFRAMES];
    /** Bit p set: pulse p positive. */
    final int[] pulseSigns = new int[SUBFRAMES];
    /** 3 + 3 + 3 + 2 bits of track positions. */
    final int[] pulsePositions = new int[SUBFRAMES];

    /**
     * The values of an all-zero frame in every field except the LSP index, marked bad: no pitch
     * contribution, the smallest pulse amplitude and in-range delays, so a lost or corrupt frame
     * decodes to near silence. These are also the defaults a valid frame starts from (lag
     * offsets 1, the value subframes 0 and 2 always have).
     */
    private void setQuiet(short bad, int lsp) {
        badFrame = bad;
        lspIndex = lsp;
        pitchLag[0] = MIN_PITCH_LAG;
        pitchLag[1] = MIN_PITCH_LAG;
        for (int s = 0; s < SUBFRAMES; ++s) {
            lagOffset[s] = 1;
            acbGainIndex[s] = 0;
            fcbGainIndex[s] = 0;
            pulseSigns[s] = 0;
            pulsePositions[s] = 0;
        }
    }

    private static int readWord32(byte[] b, int p) {
        return (b[p] & 0xFF) | (b[p + 1] & 0xFF) << 8 | (b[p + 2] & 0xFF) << 16 | b[p + 3] << 24;
    }

    private static int bits(int word, int first, int width) {
        return (word >>> first) & ((1 << width) - 1);
    }

    /**
     * Extracts the parameters of the frame at {@code frame[offset..offset+17]}. A non-zero lost
     * flag marks the frame bad without reading it; a combined gain of 1008 or more or a lag code
     * above 123 marks it bad too, and it then carries the quiet values with its LSP index.
     */
    void unpack(byte[] frame, int offset, short lost) {
        if (lost != 0) {
            setQuiet(lost, 0);
            return;
        }
        final int w0 = readWord32(frame, offset);
        final int w1 = readWord32(frame, offset + 4);
        final int w2 = readWord32(frame, offset + 8);
        final int w3 = readWord32(frame, offset + 12);
        final int w4 = (frame[offset + 16] & 0xFF) | (frame[offset + 17] & 0xFF) << 8;

        final int lsp = bits(w0, 8, 24);
        final int gain0 = bits(w2, 12, 10);
        final int gain1 = bits(w1, 22, 10);
        final int gain2 = bits(w2, 22, 10);
        final int gain3 = bits(w3, 0, 10);
        final int lagCode0 = bits(w4, 9, 7);
        final int lagCode1 = bits(w4, 2, 7);
        final int maxLagCode = MAX_PITCH_LAG - MIN_PITCH_LAG;
        if (gain0 >= COMBINED_GAIN_LIMIT || gain1 >= COMBINED_GAIN_LIMIT
            || gain2 >= COMBINED_GAIN_LIMIT || gain3 >= COMBINED_GAIN_LIMIT || lagCode0 > maxLagCode
            || lagCode1 > maxLagCode) {
            setQuiet((short) 1, lsp);
            return;
        }

        badFrame = 0;
        lspIndex = lsp;
        lagOffset[0] = 1;
        lagOffset[1] = bits(w0, 2, 2);
        lagOffset[2] = 1;
        lagOffset[3] = bits(w4, 0, 2);
        pulseSigns[0] = bits(w0, 4, 4);
        pulseSigns[1] = bits(w2, 8, 4);
        pulseSigns[2] = bits(w2, 4, 4);
        pulseSigns[3] = bits(w2, 0, 4);
        pulsePositions[0] = bits(w1, 0, 11);
        pulsePositions[1] = bits(w3, 21, 11);
        pulsePositions[2] = bits(w1, 11, 11);
        pulsePositions[3] = bits(w3, 10, 11);
        setGain(0, gain0);
        setGain(1, gain1);
        setGain(2, gain2);
        setGain(3, gain3);
        pitchLag[0] = lagCode0 + MIN_PITCH_LAG;
        pitchLag[1] = lagCode1 + MIN_PITCH_LAG;
    }

    private void setGain(int s, int combined) {
        acbGainIndex[s] = combined / FCB_GAIN_COUNT;
        fcbGainIndex[s] = combined % FCB_GAIN_COUNT;
    }
}
