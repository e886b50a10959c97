// Comparison of a recorded, decoded signal with a reference decoded signal (both 8000 Hz):
// alignment by cross-correlation, segmental SNR and log-spectral distance over 30 ms segments
// where the reference is speech.

function envelope(x, step) {
    const out = new Float64Array(Math.floor(x.length / step));
    for (let i = 0; i < out.length; i++) {
        let s = 0;
        for (let k = 0; k < step; k++) s += Math.abs(x[i * step + k]);
        out[i] = s / step;
    }
    return out;
}

function correlation(a, aAt, b, n) {
    let ab = 0, aa = 0, bb = 0;
    for (let i = 0; i < n; i++) {
        const x = a[aAt + i], y = b[i];
        ab += x * y;
        aa += x * x;
        bb += y * y;
    }
    return aa > 0 && bb > 0 ? ab / Math.sqrt(aa * bb) : 0;
}

// Power spectrum of one 240-sample segment (Hann window, 256 bins up to 4000 Hz, plain DFT:
// the signals are short).
function spectrum(x, at) {
    const n = 240, bins = 64;
    const out = new Float64Array(bins);
    for (let k = 0; k < bins; k++) {
        let re = 0, im = 0;
        const w = (2 * Math.PI * (k + 0.5) * 0.5) / bins;  // bin centres 0..4000 Hz
        for (let i = 0; i < n; i++) {
            const v = x[at + i] * (0.5 - 0.5 * Math.cos((2 * Math.PI * i) / n));
            re += v * Math.cos(w * i);
            im -= v * Math.sin(w * i);
        }
        out[k] = re * re + im * im;
    }
    return out;
}

function median(values) {
    const v = [...values].sort((a, b) => a - b);
    return v.length ? (v[(v.length - 1) >> 1] + v[v.length >> 1]) / 2 : NaN;
}

// Measures of one aligned piece over its 30 ms segments louder than `floorEnergy`.
function pieceMeasures(y, at, ref, refAt, length, floorEnergy, loudest) {
    const seg = 240;
    let snrSum = 0, lsdSum = 0, count = 0;
    for (let s = 0; s + seg <= length; s += seg) {
        let energy = 0, noise = 0;
        for (let i = 0; i < seg; i++) {
            const r = ref[refAt + s + i];
            const d = y[at + s + i] - r;
            energy += r * r;
            noise += d * d;
        }
        if (energy < floorEnergy) continue;
        const snr = 10 * Math.log10(energy / Math.max(noise, 1e-9));
        snrSum += Math.min(35, Math.max(-10, snr));
        const a = spectrum(ref, refAt + s), b = spectrum(y, at + s);
        const floor = (loudest / seg) * 1e-5;
        let d2 = 0;
        for (let k = 0; k < a.length; k++) {
            const diff = 10 * Math.log10((a[k] + floor) / (b[k] + floor));
            d2 += diff * diff;
        }
        lsdSum += Math.sqrt(d2 / a.length);
        count++;
    }
    return count ? {segSnrDb: snrSum / count, lsdDb: lsdSum / count, segments: count} : null;
}

// Where in y the piece fits best: the three best places by envelope (at 200 Hz, at least
// 0.25 s apart), each refined to the sample within 10 ms.
function findPiece(y, envY, piece, envPiece, step) {
    const coarse = [];
    for (let d = 0; d + envPiece.length <= envY.length; d++) {
        coarse.push([correlation(envY, d, envPiece, envPiece.length), d]);
    }
    coarse.sort((a, b) => b[0] - a[0]);
    const picked = [];
    for (const [, d] of coarse) {
        if (picked.every((p) => Math.abs(p - d) >= 50)) picked.push(d);
        if (picked.length === 3) break;
    }
    let best = -Infinity, offset = -1;
    for (const d0 of picked) {
        for (let d = Math.max(0, d0 * step - 80); d <= d0 * step + 80; d++) {
            if (d + piece.length > y.length) break;
            const c = correlation(y, d, piece, piece.length);
            if (c > best) [best, offset] = [c, d];
        }
    }
    return {offset, correlation: best};
}

// y: the recording's decoded samples; ref: the reference. The reference is cut into 0.6 s
// pieces and each piece with speech is looked for in the whole recording on its own, so that a
// dropout of a loaded machine's audio path spoils only the piece it falls in (and a recording
// of a looping source offers every copy). Returns the medians over the pieces of the
// correlation, the segmental SNR (segments within 30 dB of the loudest, each clamped to
// -10..35 dB) and the log-spectral distance (64 bands up to 4 kHz).
export function compareSpeech(y, ref) {
    const seg = 240, piece = 4800, step = 40;
    let loudest = 0;
    for (let at = 0; at + seg <= ref.length; at += seg) {
        let e = 0;
        for (let i = 0; i < seg; i++) e += ref[at + i] * ref[at + i];
        loudest = Math.max(loudest, e);
    }
    const floorEnergy = loudest * 1e-3;
    const envY = envelope(y, step);
    const found = [];
    for (let at = 0; at + piece <= ref.length; at += piece) {
        const part = ref.subarray(at, at + piece);
        const {offset, correlation: c} = findPiece(y, envY, part, envelope(part, step), step);
        if (offset < 0) continue;
        const m = pieceMeasures(y, offset, ref, at, piece, floorEnergy, loudest);
        if (m) found.push({correlation: c, ...m});
    }
    return {pieces: found.length,
            segments: found.reduce((n, f) => n + f.segments, 0),
            correlation: median(found.map((f) => f.correlation)),
            segSnrDb: median(found.map((f) => f.segSnrDb)),
            lsdDb: median(found.map((f) => f.lsdDb))};
}
