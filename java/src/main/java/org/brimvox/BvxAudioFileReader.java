package org.brimvox;

import java.io.BufferedInputStream;
import java.io.File;
import java.io.FileInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.net.URL;
import java.net.URLConnection;
import java.util.HashMap;
import java.util.Locale;
import java.util.Map;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.UnsupportedAudioFileException;
import javax.sound.sampled.spi.AudioFileReader;

/**
 * Reads compressed speech files for {@code AudioSystem}: a file or URL whose name ends in
 * {@code .bvx} decodes to 8000 Hz, 16-bit, mono, signed little-endian PCM. The files have no
 * header, so a file is known only by its name: a stream without a name, or a file with another
 * name, is refused with {@link UnsupportedAudioFileException} and left to the other readers.
 * Bytes at the end that do not fill a whole 18-byte frame are ignored.
 */
public final class BvxAudioFileReader extends AudioFileReader {
    private static final int BUFFER_BYTES = 8192;

    private static boolean hasBvxName(String name) {
        return name != null && name.toLowerCase(Locale.ROOT).endsWith(".bvx");
    }

    private static UnsupportedAudioFileException notBvx(String what) {
        return new UnsupportedAudioFileException(what + " is not a compressed speech file (.bvx)");
    }

    /** Sample frames of a file of the given size in bytes: 240 per whole 18-byte frame. */
    private static long sampleFrames(long bytes) {
        return bytes < 0 ? AudioSystem.NOT_SPECIFIED
                         : bytes / BvxDecoder.FRAME_BYTES * BvxDecoder.FRAME_SAMPLES;
    }

    private static AudioFileFormat fileFormat(long bytes) {
        final long samples = sampleFrames(bytes);
        final Map<String, Object> properties = new HashMap<>();
        int frameLength = AudioSystem.NOT_SPECIFIED;
        if (samples >= 0) {
            properties.put("duration", samples * 1_000_000L / BvxDecoder.SAMPLE_RATE);
            if (samples <= Integer.MAX_VALUE) frameLength = (int) samples;
        }
        return new AudioFileFormat(
            BvxSound.FILE_TYPE, BvxSound.pcmFormat(false), frameLength, properties);
    }

    private static AudioInputStream decoded(InputStream frames, long bytes) {
        return new AudioInputStream(new BvxDecodingInputStream(frames, false),
            BvxSound.pcmFormat(false), sampleFrames(bytes));
    }

    /** Always refused: a stream without a name cannot be told to hold compressed speech. */
    @Override
    public AudioFileFormat getAudioFileFormat(InputStream stream)
        throws UnsupportedAudioFileException {
        throw notBvx("a stream without a file name");
    }

    /** Always refused: a stream without a name cannot be told to hold compressed speech. */
    @Override
    public AudioInputStream getAudioInputStream(InputStream stream)
        throws UnsupportedAudioFileException {
        throw notBvx("a stream without a file name");
    }

    @Override
    public AudioFileFormat getAudioFileFormat(File file)
        throws UnsupportedAudioFileException, IOException {
        if (!hasBvxName(file.getName())) throw notBvx(file.getPath());
        if (!file.isFile()) throw new java.io.FileNotFoundException(file.getPath());
        return fileFormat(file.length());
    }

    @Override
    public AudioInputStream getAudioInputStream(File file)
        throws UnsupportedAudioFileException, IOException {
        if (!hasBvxName(file.getName())) throw notBvx(file.getPath());
        final FileInputStream in = new FileInputStream(file);
        final long bytes = in.getChannel().size();
        return decoded(new BufferedInputStream(in, BUFFER_BYTES), bytes);
    }

    @Override
    public AudioFileFormat getAudioFileFormat(URL url)
        throws UnsupportedAudioFileException, IOException {
        if (!hasBvxName(url.getPath())) throw notBvx(url.toString());
        final URLConnection connection = url.openConnection();
        final InputStream in = connection.getInputStream(); // fails when there is no such file
        final long length = connection.getContentLengthLong();
        in.close();
        return fileFormat(length);
    }

    @Override
    public AudioInputStream getAudioInputStream(URL url)
        throws UnsupportedAudioFileException, IOException {
        if (!hasBvxName(url.getPath())) throw notBvx(url.toString());
        final URLConnection connection = url.openConnection();
        final InputStream in = connection.getInputStream();
        return decoded(
            new BufferedInputStream(in, BUFFER_BYTES), connection.getContentLengthLong());
    }
}
