import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.UnsupportedAudioFileException;

/** Reading 16-bit mono WAV files and comparing a decoded signal with its original. */
public final class SpeechQuality {
    private SpeechQuality() {}

    /** The samples of a 16-bit little-endian mono WAV file. */
    public static short[] readWav(File file) throws IOException {
        try (AudioInputStream in = AudioSystem.getAudioInputStream(file)) {
            AudioFormat f = in.getFormat();
            if (f.getSampleSizeInBits() != 16 || f.getChannels() != 1 || f.isBigEndian()) {
                throw new IOException(file + ": not 16-bit little-endian mono: " + f);
            }
            byte[] bytes = readAll(in);
            short[] samples = new short[bytes.length / 2];
            for (int i = 0; i < samples.length; i++) {
                samples[i] = (short) ((bytes[2 * i] & 0xFF) | (bytes[2 * i + 1] << 8));
            }
            return samples;
        } catch (UnsupportedAudioFileException e) {
            throw new IOException(file + ": " + e.getMessage(), e);
        }
    }

    private static byte[] readAll(InputStream in) throws IOException {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] buffer = new byte[8192];
        int n;
        while ((n = in.read(buffer)) > 0) {
            out.write(buffer, 0, n);
        }
        return out.toByteArray();
    }

    /**
     * Segmental SNR in dB of decoded against original over 30 ms segments, after aligning the
     * decoded signal by the delay (0..maxLag samples) that gives the best overall SNR. Segments
     * of the original quieter than 40 dB below its loudest are skipped; each segment's SNR is
     * limited to -10..35 dB so single segments cannot dominate the mean.
     */
    public static double segmentalSnr(short[] original, short[] decoded, int maxLag) {
        int bestLag = 0;
        double bestSnr = Double.NEGATIVE_INFINITY;
        for (int lag = 0; lag <= maxLag; lag++) {
            double s = 0;
            double e = 0;
            int n = Math.min(original.length, decoded.length - lag);
            for (int i = 0; i < n; i++) {
                double d = original[i] - decoded[i + lag];
                s += (double) original[i] * original[i];
                e += d * d;
            }
            double snr = 10 * Math.log10((s + 1) / (e + 1));
            if (snr > bestSnr) {
                bestSnr = snr;
                bestLag = lag;
            }
        }
        final int seg = 240;
        int n = Math.min(original.length, decoded.length - bestLag) / seg;
        double loudest = 0;
        for (int k = 0; k < n; k++) {
            loudest = Math.max(loudest, energy(original, k * seg, seg));
        }
        double sum = 0;
        int used = 0;
        for (int k = 0; k < n; k++) {
            double s = energy(original, k * seg, seg);
            if (s < loudest * 1e-4 || s == 0) {
                continue;
            }
            double e = 0;
            for (int i = k * seg; i < (k + 1) * seg; i++) {
                double d = original[i] - decoded[i + bestLag];
                e += d * d;
            }
            double snr = 10 * Math.log10(s / Math.max(e, 1e-9));
            sum += Math.max(-10, Math.min(35, snr));
            used++;
        }
        return used == 0 ? Double.NaN : sum / used;
    }

    private static double energy(short[] x, int from, int count) {
        double s = 0;
        for (int i = from; i < from + count; i++) {
            s += (double) x[i] * x[i];
        }
        return s;
    }
}
