package org.brimvox;

import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.spi.FormatConversionProvider;

/**
 * Converts a stream of compressed frames ({@link BvxSound#frameFormat()}, from a socket, a
 * database or anywhere) to 8000 Hz, 16-bit, mono, signed PCM in either byte order, decoding
 * as the stream is read.
 */
public final class BvxFormatConversionProvider extends FormatConversionProvider {
    /** The provider, as the {@code javax.sound.sampled} service loader creates it. */
    public BvxFormatConversionProvider() {}

    private static final AudioFormat.Encoding[] SOURCE = {BvxSound.ENCODING};
    private static final AudioFormat.Encoding[] TARGET = {AudioFormat.Encoding.PCM_SIGNED};
    private static final AudioFormat.Encoding[] NONE = {};

    @Override
    public AudioFormat.Encoding[] getSourceEncodings() {
        return SOURCE.clone();
    }

    @Override
    public AudioFormat.Encoding[] getTargetEncodings() {
        return TARGET.clone();
    }

    @Override
    public AudioFormat.Encoding[] getTargetEncodings(AudioFormat sourceFormat) {
        return BvxSound.isFrameFormat(sourceFormat) ? TARGET.clone() : NONE;
    }

    @Override
    public AudioFormat[] getTargetFormats(
        AudioFormat.Encoding targetEncoding, AudioFormat sourceFormat) {
        if (!AudioFormat.Encoding.PCM_SIGNED.equals(targetEncoding)
            || !BvxSound.isFrameFormat(sourceFormat)) {
            return new AudioFormat[0];
        }
        return new AudioFormat[] {BvxSound.pcmFormat(false), BvxSound.pcmFormat(true)};
    }

    @Override
    public AudioInputStream getAudioInputStream(
        AudioFormat.Encoding targetEncoding, AudioInputStream sourceStream) {
        if (!AudioFormat.Encoding.PCM_SIGNED.equals(targetEncoding)) {
            throw unsupported(targetEncoding.toString(), sourceStream.getFormat());
        }
        return getAudioInputStream(BvxSound.pcmFormat(false), sourceStream);
    }

    @Override
    public AudioInputStream getAudioInputStream(
        AudioFormat targetFormat, AudioInputStream sourceStream) {
        final AudioFormat source = sourceStream.getFormat();
        for (AudioFormat candidate : getTargetFormats(targetFormat.getEncoding(), source)) {
            if (targetFormat.matches(candidate)) {
                final long frames = sourceStream.getFrameLength();
                final long samples = frames == AudioSystem.NOT_SPECIFIED
                        || source.getFrameSize() != BvxDecoder.FRAME_BYTES
                    ? AudioSystem.NOT_SPECIFIED
                    : frames * BvxDecoder.FRAME_SAMPLES;
                return new AudioInputStream(
                    new BvxDecodingInputStream(sourceStream, candidate.isBigEndian()), candidate,
                    samples);
            }
        }
        throw unsupported(targetFormat.toString(), source);
    }

    private static IllegalArgumentException unsupported(String target, AudioFormat source) {
        return new IllegalArgumentException(
            "Unsupported conversion: " + target + " from " + source);
    }
}
