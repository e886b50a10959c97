package org.brimvox;

import java.io.IOException;
import java.io.InputStream;

/**
 * Decodes a stream of compressed frames into 16-bit PCM bytes as they are read, one frame at a
 * time, in constant memory. Bytes at the end of the source that do not fill a frame are
 * ignored. Skipping decodes the skipped frames too, since every frame depends on the ones
 * before it.
 */
final class BvxDecodingInputStream extends InputStream {
    private static final int FRAME_BYTES = BvxDecoder.FRAME_BYTES;
    private static final int PCM_BYTES = 2 * BvxDecoder.FRAME_SAMPLES;

    private final InputStream source;
    private final boolean bigEndian;
    private final BvxDecoder decoder = new BvxDecoder();
    // Compressed bytes read from the source and not decoded yet: frames[start..end).
    private final byte[] frames = new byte[FRAME_BYTES * 32];
    private int start;
    private int end;
    private boolean sourceEnded;
    // PCM of the current frame not handed out yet: pcm[pcmPos..PCM_BYTES).
    private final byte[] pcm = new byte[PCM_BYTES];
    private int pcmPos = PCM_BYTES;

    BvxDecodingInputStream(InputStream source, boolean bigEndian) {
        this.source = source;
        this.bigEndian = bigEndian;
    }

    /** Whether a whole frame is buffered, so the next frame decodes without reading. */
    private boolean frameBuffered() { return end - start >= FRAME_BYTES; }

    /** Decodes the next frame into pcm, reading the source as needed; false at its end. */
    private boolean nextFrame() throws IOException {
        if (!frameBuffered()) {
            System.arraycopy(frames, start, frames, 0, end - start);
            end -= start;
            start = 0;
            while (!sourceEnded && end < FRAME_BYTES) {
                final int n = source.read(frames, end, frames.length - end);
                if (n < 0) {
                    sourceEnded = true;
                } else {
                    end += n;
                }
            }
            if (end < FRAME_BYTES) return false; // a trailing partial frame is ignored
        }
        decoder.decodeFrameToBytes(frames, start, pcm, 0, bigEndian);
        start += FRAME_BYTES;
        pcmPos = 0;
        return true;
    }

    @Override
    public int read() throws IOException {
        if (pcmPos == PCM_BYTES && !nextFrame()) return -1;
        return pcm[pcmPos++] & 0xFF;
    }

    @Override
    public int read(byte[] b, int off, int len) throws IOException {
        java.util.Objects.checkFromIndexSize(off, len, b.length);
        if (len == 0) return 0;
        int done = 0;
        while (done < len) {
            if (pcmPos == PCM_BYTES) {
                // Block on the source only while nothing has been delivered yet.
                if (done > 0 && !frameBuffered()) break;
                if (!nextFrame()) break;
            }
            final int n = Math.min(len - done, PCM_BYTES - pcmPos);
            System.arraycopy(pcm, pcmPos, b, off + done, n);
            pcmPos += n;
            done += n;
        }
        return done == 0 ? -1 : done;
    }

    @Override
    public long skip(long n) throws IOException {
        long done = 0;
        while (done < n) {
            if (pcmPos == PCM_BYTES && !nextFrame()) break;
            final int step = (int) Math.min(n - done, PCM_BYTES - pcmPos);
            pcmPos += step;
            done += step;
        }
        return done;
    }

    /**
     * PCM bytes that can be read without blocking: the decoded rest of the current frame and
     * every whole frame that is buffered or that the source can deliver without blocking.
     */
    @Override
    public int available() throws IOException {
        final long sourceBytes = sourceEnded ? 0 : source.available();
        final long wholeFrames = (end - start + sourceBytes) / FRAME_BYTES;
        return (int) Math.min(Integer.MAX_VALUE, PCM_BYTES - pcmPos + wholeFrames * PCM_BYTES);
    }

    @Override
    public void close() throws IOException {
        source.close();
    }
}
