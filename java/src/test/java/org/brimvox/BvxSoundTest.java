package org.brimvox;

import static org.brimvox.NativeCodec.assertSameSamples;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayInputStream;
import java.io.File;
import java.io.FilterInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.util.Arrays;
import java.util.SplittableRandom;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.UnsupportedAudioFileException;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Compressed speech through javax.sound.sampled: only AudioSystem calls, which find the reader
 * and the converter through the jar's service registrations.
 */
class BvxSoundTest {
    static final AudioFormat PCM = new AudioFormat(8000f, 16, 1, true, false);

    @TempDir File dir;
    byte[] frames; // encoded test speech
    short[] expected; // the native decoder's samples for it

    @BeforeEach
    void setUp() throws Exception {
        frames = NativeCodec.encode(NativeCodec.speech(), dir);
        expected = NativeCodec.decode(frames, dir);
    }

    /** The speech file with 7 trailing bytes that do not fill a frame. */
    File speechFile() throws IOException {
        final File f = new File(dir, "message.bvx");
        final byte[] withTail = Arrays.copyOf(frames, frames.length + 7);
        Arrays.fill(withTail, frames.length, withTail.length, (byte) 0x5A);
        Files.write(f.toPath(), withTail);
        return f;
    }

    static short[] readAll(AudioInputStream in) throws IOException {
        try (in) {
            return NativeCodec.toShorts(in.readAllBytes());
        }
    }

    @Test
    void fileFormatReportsFramesOfPcm() throws Exception {
        final AudioFileFormat format = AudioSystem.getAudioFileFormat(speechFile());
        assertEquals("BVX", format.getType().toString());
        assertEquals("bvx", format.getType().getExtension());
        assertTrue(PCM.matches(format.getFormat()), format.getFormat().toString());
        assertEquals(8000f, format.getFormat().getSampleRate());
        assertEquals(frames.length / 18 * 240, format.getFrameLength());
        assertEquals(frames.length / 18 * 30_000L, format.getProperty("duration"));
        assertEquals(frames.length + 7, format.getByteLength(), "the file's size");
        assertEquals(frames.length / 18 * 30_000L, format.properties().get("duration"));

        // Any case of the extension; an empty file is zero frames long.
        final File empty = new File(dir, "EMPTY.BVX");
        Files.write(empty.toPath(), new byte[17]);
        assertEquals(0, AudioSystem.getAudioFileFormat(empty).getFrameLength());
        assertEquals(0, readAll(AudioSystem.getAudioInputStream(empty)).length);
    }

    @Test
    void fileDecodesLikeTheNativeDecoderIgnoringTrailingBytes() throws Exception {
        final File file = speechFile();
        try (AudioInputStream in = AudioSystem.getAudioInputStream(file)) {
            assertTrue(PCM.matches(in.getFormat()));
            assertEquals(expected.length, in.getFrameLength());
            assertSameSamples(expected, NativeCodec.toShorts(in.readAllBytes()), "file");
        }
        // Through a URL as well.
        assertSameSamples(
            expected, readAll(AudioSystem.getAudioInputStream(file.toURI().toURL())), "url");
        // The native tool reads the same file the same way.
        assertSameSamples(expected, NativeCodec.decodeFile(file, dir), "native, same file");
    }

    @Test
    void skipAndAvailableFollowTheStreamContract() throws Exception {
        final File file = speechFile();
        final byte[] all = NativeCodec.toBytes(expected, false);
        try (AudioInputStream in = AudioSystem.getAudioInputStream(file)) {
            final int first = in.available();
            assertTrue(first > 0 && first <= all.length, "available " + first);
            // Skips that end inside a frame, across frames, by odd counts (rounded down to whole
            // samples), and reads in between, give the same bytes as one read of everything.
            int pos = 0;
            final long[] skips = {1000, 481, 1, 0, 4801, 96000};
            for (long n : skips) {
                final long skipped = in.skip(n);
                assertEquals(n - n % 2, skipped, "skip " + n);
                pos += (int) skipped;
                final byte[] chunk = new byte[700];
                final int got = in.readNBytes(chunk, 0, chunk.length);
                assertEquals(700, got);
                assertArrayEquals(
                    Arrays.copyOfRange(all, pos, pos + 700), chunk, "after skip " + n);
                pos += got;
                final int available = in.available();
                assertTrue(available > 0 && available <= all.length - pos,
                    "available " + available + " of " + (all.length - pos));
            }
            assertEquals(all.length - pos, in.skip(Long.MAX_VALUE / 2), "skip past the end");
            assertEquals(0, in.available());
            assertEquals(-1, in.read(new byte[2]));
        }
    }

    @Test
    void frameStreamConvertsToPcm() throws Exception {
        final AudioInputStream source = new AudioInputStream(
            new ByteArrayInputStream(frames), BvxSound.frameFormat(), frames.length / 18);
        assertTrue(
            AudioSystem.isConversionSupported(AudioFormat.Encoding.PCM_SIGNED, source.getFormat()));
        final AudioInputStream pcm =
            AudioSystem.getAudioInputStream(AudioFormat.Encoding.PCM_SIGNED, source);
        assertTrue(PCM.matches(pcm.getFormat()), pcm.getFormat().toString());
        assertEquals(expected.length, pcm.getFrameLength());
        assertSameSamples(expected, readAll(pcm), "converted stream");

        // Big-endian on request.
        final AudioFormat bigEndian = new AudioFormat(8000f, 16, 1, true, true);
        final AudioInputStream be = AudioSystem.getAudioInputStream(bigEndian,
            new AudioInputStream(
                new ByteArrayInputStream(frames), BvxSound.frameFormat(), frames.length / 18));
        assertTrue(bigEndian.matches(be.getFormat()));
        assertArrayEquals(NativeCodec.toBytes(expected, true), be.readAllBytes());

        // No conversion to other formats.
        assertThrows(IllegalArgumentException.class,
            ()
                -> AudioSystem.getAudioInputStream(new AudioFormat(16000f, 16, 1, true, false),
                    new AudioInputStream(new ByteArrayInputStream(frames), BvxSound.frameFormat(),
                        frames.length / 18)));
    }

    /** A source that hands out a few bytes at a time, as a socket does, and may end mid-frame. */
    static InputStream trickle(InputStream in, long seed) {
        final SplittableRandom rng = new SplittableRandom(seed);
        return new FilterInputStream(in) {
            @Override
            public int read(byte[] b, int off, int len) throws IOException {
                return super.read(b, off, Math.min(len, 1 + rng.nextInt(25)));
            }

            @Override
            public int available() {
                return 0;
            }
        };
    }

    @Test
    void streamOfUnknownLengthConvertsFrameByFrame() throws Exception {
        final byte[] withTail = Arrays.copyOf(frames, frames.length + 11);
        final AudioInputStream source =
            new AudioInputStream(trickle(new ByteArrayInputStream(withTail), 5),
                BvxSound.frameFormat(), AudioSystem.NOT_SPECIFIED);
        final AudioInputStream pcm =
            AudioSystem.getAudioInputStream(AudioFormat.Encoding.PCM_SIGNED, source);
        assertEquals(AudioSystem.NOT_SPECIFIED, pcm.getFrameLength());
        assertSameSamples(expected, readAll(pcm), "trickled stream");
    }

    @Test
    void endlessSourceIsDecodedIncrementally() throws Exception {
        // An endless frame source: decoding that waited for its end would never return.
        final InputStream endless = new InputStream() {
            long pos;

            @Override
            public int read() {
                return frames[(int) (pos++ % frames.length)] & 0xFF;
            }

            @Override
            public int read(byte[] b, int off, int len) {
                for (int i = 0; i < len; ++i) b[off + i] = (byte) read();
                return len;
            }
        };
        final AudioInputStream pcm =
            AudioSystem.getAudioInputStream(AudioFormat.Encoding.PCM_SIGNED,
                new AudioInputStream(endless, BvxSound.frameFormat(), AudioSystem.NOT_SPECIFIED));
        final byte[] first = pcm.readNBytes(2 * expected.length);
        assertSameSamples(expected, NativeCodec.toShorts(first), "first pass");
        assertEquals(20_000_000, pcm.skip(20_000_000), "skips 20 MB of decoded speech");
        assertEquals(4800, pcm.readNBytes(4800).length);
    }

    @Test
    void writesWav() throws Exception {
        final File wav = new File(dir, "message.wav");
        try (AudioInputStream in = AudioSystem.getAudioInputStream(speechFile())) {
            assertTrue(AudioSystem.isFileTypeSupported(AudioFileFormat.Type.WAVE, in));
            assertEquals(
                44 + 2L * expected.length, AudioSystem.write(in, AudioFileFormat.Type.WAVE, wav));
        }
        final AudioFileFormat format = AudioSystem.getAudioFileFormat(wav);
        assertEquals(AudioFileFormat.Type.WAVE, format.getType());
        assertTrue(PCM.matches(format.getFormat()));
        assertSameSamples(expected, readAll(AudioSystem.getAudioInputStream(wav)), "WAV");
    }

    @Test
    void refusesOtherFilesAndNamelessStreams() throws Exception {
        // The same bytes under another name, and without a name, are not taken for speech.
        final File other = new File(dir, "message.dat");
        Files.write(other.toPath(), frames);
        assertThrows(
            UnsupportedAudioFileException.class, () -> AudioSystem.getAudioFileFormat(other));
        assertThrows(
            UnsupportedAudioFileException.class, () -> AudioSystem.getAudioInputStream(other));
        assertThrows(UnsupportedAudioFileException.class,
            () -> AudioSystem.getAudioInputStream(new ByteArrayInputStream(frames)));
        assertThrows(UnsupportedAudioFileException.class,
            () -> AudioSystem.getAudioFileFormat(new ByteArrayInputStream(frames)));
        // A WAV file named .bvx is left to the WAV reader: its samples, not decoded noise.
        final short[] tone = new short[800];
        for (int i = 0; i < tone.length; i++) tone[i] = (short) (8000 * Math.sin(i * 0.3));
        final byte[] le = new byte[tone.length * 2];
        for (int i = 0; i < tone.length; i++) {
            le[2 * i] = (byte) tone[i];
            le[2 * i + 1] = (byte) (tone[i] >> 8);
        }
        final File misnamed = new File(dir, "misnamed.bvx");
        AudioSystem.write(new AudioInputStream(new ByteArrayInputStream(le), PCM, tone.length),
            AudioFileFormat.Type.WAVE, misnamed);
        assertEquals(AudioFileFormat.Type.WAVE, AudioSystem.getAudioFileFormat(misnamed).getType());
        assertArrayEquals(tone, readAll(AudioSystem.getAudioInputStream(misnamed)));
        final UnsupportedAudioFileException refused = assertThrows(UnsupportedAudioFileException.class,
            () -> new BvxAudioFileReader().getAudioInputStream(misnamed));
        assertTrue(refused.getMessage().contains("starts like another sound file (RIFF)"), refused.getMessage());
        assertThrows(UnsupportedAudioFileException.class,
            () -> new BvxAudioFileReader().getAudioFileFormat(misnamed.toURI().toURL()));
        // A missing file is an I/O error, not an unsupported format.
        assertThrows(
            IOException.class, () -> AudioSystem.getAudioInputStream(new File(dir, "missing.bvx")));
    }
}
