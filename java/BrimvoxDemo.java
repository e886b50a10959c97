import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.StandardCopyOption;

/**
 * Records speech to a compressed file and to blocks through NativeAudio, plays both back, and
 * prints a summary. Usage: BrimvoxDemo MICROPHONE_WAV OUTPUT_DIR [SECONDS]. The sound card is
 * whatever BRIMVOX_AUDIO selects; with the virtual card, BRIMVOX_AUDIO_OUT names the WAV file
 * its speaker writes, which the demo copies after each playback.
 */
public final class BrimvoxDemo {
    private BrimvoxDemo() {}

    public static void main(String[] args) throws Exception {
        if (args.length < 2) {
            System.err.println("usage: BrimvoxDemo MICROPHONE_WAV OUTPUT_DIR [SECONDS]");
            System.exit(2);
        }
        File mic = new File(args[0]);
        File dir = new File(args[1]);
        double seconds = args.length > 2 ? Double.parseDouble(args[2]) : 4.0;
        String speaker = System.getenv("BRIMVOX_AUDIO_OUT");
        if (!dir.isDirectory() && !dir.mkdirs()) {
            throw new IOException("cannot create " + dir);
        }
        if (!NativeAudio.NewJavaClass4800()) {
            throw new IllegalStateException("the engine could not be created");
        }
        try {
            File compressed = new File(dir, "speech.bvx");
            double recorded = recordFile(compressed, seconds);
            double played = playFile(compressed);
            File fromFile = keepSpeaker(speaker, new File(dir, "played_file.wav"));

            byte[] blocks = recordBlocks(seconds);
            double playedBlocks = playBlocks(blocks);
            File fromBlocks = keepSpeaker(speaker, new File(dir, "played_blocks.wav"));

            long bytes = compressed.length();
            System.out.printf("file recording:  %.2f s, %d bytes, %d blocks, %.0f bit/s%n",
                              recorded, bytes, bytes / 54, bytes * 8 / recorded);
            System.out.printf("file playback:   %.2f s%n", played);
            System.out.printf("block recording: %d blocks of 54 bytes (%d bytes)%n",
                              blocks.length / 54, blocks.length);
            System.out.printf("block playback:  %.2f s%n", playedBlocks);
            short[] original = SpeechQuality.readWav(mic);
            if (fromFile != null) {
                System.out.printf("round-trip segmental SNR, file:   %.2f dB%n",
                                  SpeechQuality.segmentalSnr(original, SpeechQuality.readWav(fromFile), 480));
            }
            if (fromBlocks != null) {
                System.out.printf("round-trip segmental SNR, blocks: %.2f dB%n",
                                  SpeechQuality.segmentalSnr(original, SpeechQuality.readWav(fromBlocks), 480));
            }
        } finally {
            NativeAudio.DeleteJavaClass4800();
        }
    }

    private static void check() {
        String error = NativeAudio.takeError();
        if (error != null) {
            throw new IllegalStateException("brimvox: " + error);
        }
    }

    private static double waitStop(boolean recording) throws InterruptedException {
        double[] t = new double[1];
        long until = System.nanoTime() + 60_000_000_000L;
        while (!(recording ? NativeAudio.FunIsStopRecording(t) : NativeAudio.FunIsStopPlaying(t))) {
            if (System.nanoTime() > until) {
                throw new IllegalStateException("the run did not end");
            }
            Thread.sleep(5);
        }
        check();
        return t[0];
    }

    private static void waitRecorded(double seconds) throws InterruptedException {
        double[] t = new double[1];
        double latest = 0;
        while (latest < seconds - 1e-9) {
            if (NativeAudio.FunGetTimeRecording(t)) {
                latest = t[0];
            }
            check();
            Thread.sleep(5);
        }
    }

    static double recordFile(File file, double seconds) throws InterruptedException {
        if (!NativeAudio.RecordFile(file.getPath())) {
            throw new IllegalStateException("RecordFile refused");
        }
        waitRecorded(seconds);
        NativeAudio.Stop();
        return waitStop(true);
    }

    static double playFile(File file) throws InterruptedException {
        if (!NativeAudio.PlayFile(file.getPath())) {
            throw new IllegalStateException("PlayFile refused");
        }
        return waitStop(false);
    }

    static byte[] recordBlocks(double seconds) throws InterruptedException {
        if (!NativeAudio.RecordBuffer()) {
            throw new IllegalStateException("RecordBuffer refused");
        }
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] block = new byte[54];
        int wanted = (int) Math.ceil(seconds / 0.09 - 1e-9);
        while (out.size() < wanted * 54) {
            if (NativeAudio.GetBuffer(block)) {
                out.write(block, 0, 54);
            } else {
                check();
                Thread.sleep(5);
            }
        }
        NativeAudio.Stop();
        waitStop(true);
        return out.toByteArray();
    }

    static double playBlocks(byte[] frames) throws InterruptedException {
        if (!NativeAudio.PlayBuffer()) {
            throw new IllegalStateException("PlayBuffer refused");
        }
        byte[] block = new byte[180];
        int sent = 0;
        while (sent < frames.length) {
            int n = Math.min(180, frames.length - sent);
            System.arraycopy(frames, sent, block, 0, n);
            boolean last = sent + n >= frames.length;
            if (NativeAudio.SetBuffer(block, (short) n, last)) {
                sent += n;
            } else {
                check();
                Thread.sleep(5);  // not playing yet, or the ring is full
            }
        }
        return waitStop(false);
    }

    private static File keepSpeaker(String speaker, File copy) throws IOException {
        if (speaker == null || speaker.isEmpty() || !new File(speaker).isFile()) {
            return null;
        }
        Files.copy(new File(speaker).toPath(), copy.toPath(), StandardCopyOption.REPLACE_EXISTING);
        return copy;
    }
}
