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
 * A {@code .bvx} file that starts like a WAV, AIFF, AU, FLAC, Ogg or tagged MP3 file is refused
 * too (it is such a file, misnamed), so that the reader of its real format takes it. Bytes at the
 * end that do not fill a whole 18-byte frame are ignored.
 */
public final class BvxAudioFileReader extends AudioFileReader {
    /** The provider, as the {@code javax.sound.sampled} service loader creates it. */
    public BvxAudioFileReader() {}

    private static final int BUFFER_BYTES = 8192;

    private static boolean hasBvxName(String name) {
        return name != null && name.toLowerCase(Locale.ROOT).endsWith(".bvx");
    }

    /** Leading bytes of the sound files a misnamed .bvx most likely is. */
    private static final String[] OTHER_FORMATS = {"RIFF", "RIFX", "RF64", "FORM", ".snd", "fLaC", "OggS", "ID3"};

    /** The other format the head names, or null. */
    static String otherFormat(byte[] head, int n) {
        String start = new String(head, 0, Math.min(n, 4), java.nio.charset.StandardCharsets.ISO_8859_1);
        for (String magic : OTHER_FORMATS) {
            if (start.startsWith(magic)) {
                return magic;
            }
        }
        return null;
    }

    private static void refuseOtherFormat(InputStream in, String what)
        throws IOException, UnsupportedAudioFileException {
        in.mark(4);
        final byte[] head = new byte[4];
        final int n = in.readNBytes(head, 0, 4);
        in.reset();
        if (otherFormat(head, n) != null) {
            throw new UnsupportedAudioFileException(
                what + " is named .bvx but starts like another sound file (" + otherFormat(head, n).trim() + ")");
        }
    }

    private static UnsupportedAudioFileException notBvx(String what) {
        return new UnsupportedAudioFileException(what + " is not a compressed speech file (.bvx)");
    }

    /** Sample frames of a file of the given size in bytes: 240 per whole 18-byte frame. */
    private static long sampleFrames(long bytes) {
        return bytes < 0 ? AudioSystem.NOT_SPECIFIED
                         : bytes / BvxDecoder.FRAME_BYTES * BvxDecoder.FRAME_SAMPLES;
    }

    /** The format of a file of the given size (-1: unknown): its byte and frame lengths. */
    private static AudioFileFormat fileFormat(long bytes) {
        final long samples = sampleFrames(bytes);
        final Map<String, Object> properties = new HashMap<>();
        int frameLength = AudioSystem.NOT_SPECIFIED;
        if (samples >= 0) {
            properties.put("duration", samples * 1_000_000L / BvxDecoder.SAMPLE_RATE);
            if (samples <= Integer.MAX_VALUE) frameLength = (int) samples;
        }
        final int byteLength = bytes >= 0 && bytes <= Integer.MAX_VALUE ? (int) bytes : AudioSystem.NOT_SPECIFIED;
        final Map<String, Object> shown = java.util.Collections.unmodifiableMap(properties);
        // The constructor that takes the byte length is protected and takes no properties.
        return new AudioFileFormat(BvxSound.FILE_TYPE, byteLength, BvxSound.pcmFormat(false), frameLength) {
            @Override
            public Map<String, Object> properties() {
                return shown;
            }

            @Override
            public Object getProperty(String key) {
                return shown.get(key);
            }
        };
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
        try (InputStream in = new BufferedInputStream(new FileInputStream(file), 16)) {
            refuseOtherFormat(in, file.getPath());
        }
        return fileFormat(file.length());
    }

    @Override
    public AudioInputStream getAudioInputStream(File file)
        throws UnsupportedAudioFileException, IOException {
        if (!hasBvxName(file.getName())) throw notBvx(file.getPath());
        final FileInputStream in = new FileInputStream(file);
        final long bytes = in.getChannel().size();
        final BufferedInputStream buffered = new BufferedInputStream(in, BUFFER_BYTES);
        try {
            refuseOtherFormat(buffered, file.getPath());
        } catch (IOException | UnsupportedAudioFileException e) {
            in.close();
            throw e;
        }
        return decoded(buffered, bytes);
    }

    @Override
    public AudioFileFormat getAudioFileFormat(URL url)
        throws UnsupportedAudioFileException, IOException {
        if (!hasBvxName(url.getPath())) throw notBvx(url.toString());
        final URLConnection connection = url.openConnection();
        final long length;
        try (InputStream in = new BufferedInputStream(connection.getInputStream(), 16)) {
            length = connection.getContentLengthLong();
            refuseOtherFormat(in, url.toString());
        }
        return fileFormat(length);
    }

    @Override
    public AudioInputStream getAudioInputStream(URL url)
        throws UnsupportedAudioFileException, IOException {
        if (!hasBvxName(url.getPath())) throw notBvx(url.toString());
        final URLConnection connection = url.openConnection();
        final InputStream in = connection.getInputStream();
        final BufferedInputStream buffered = new BufferedInputStream(in, BUFFER_BYTES);
        try {
            refuseOtherFormat(buffered, url.toString());
        } catch (IOException | UnsupportedAudioFileException e) {
            in.close();
            throw e;
        }
        return decoded(buffered, connection.getContentLengthLong());
    }
}
