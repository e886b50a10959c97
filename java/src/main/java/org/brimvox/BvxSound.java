package org.brimvox;

import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioSystem;

/**
 * The compressed speech format in {@code javax.sound.sampled} terms. Compressed speech files
 * ({@code .bvx}) are bare sequences of 18-byte frames with no header; each frame is 30 ms of
 * 8000 Hz mono speech. {@code AudioSystem.getAudioInputStream(new File("message.bvx"))} decodes
 * such a file to PCM, and {@code AudioSystem.getAudioInputStream(Encoding.PCM_SIGNED, frames)}
 * converts a stream of compressed frames in {@link #frameFormat()} from any source.
 */
public final class BvxSound {
    /** The encoding of a stream of compressed frames. */
    public static final AudioFormat.Encoding ENCODING = new AudioFormat.Encoding("BRIMVOX_CELP");

    /** The type of a compressed speech file. */
    public static final AudioFileFormat.Type FILE_TYPE = new AudioFileFormat.Type("BVX", "bvx");

    private BvxSound() {}

    /** The format of a stream of compressed frames: one 18-byte frame per audio frame. */
    public static AudioFormat frameFormat() {
        return new AudioFormat(ENCODING, BvxDecoder.SAMPLE_RATE, AudioSystem.NOT_SPECIFIED, 1,
            BvxDecoder.FRAME_BYTES, (float) BvxDecoder.SAMPLE_RATE / BvxDecoder.FRAME_SAMPLES,
            false);
    }

    /** The decoded format: 8000 Hz, 16-bit, mono, signed PCM in the given byte order. */
    public static AudioFormat pcmFormat(boolean bigEndian) {
        return new AudioFormat(BvxDecoder.SAMPLE_RATE, 16, 1, true, bigEndian);
    }

    static boolean isFrameFormat(AudioFormat f) {
        return ENCODING.equals(f.getEncoding())
            && (f.getChannels() == 1 || f.getChannels() == AudioSystem.NOT_SPECIFIED)
            && (f.getFrameSize() == BvxDecoder.FRAME_BYTES
                || f.getFrameSize() == AudioSystem.NOT_SPECIFIED);
    }
}
