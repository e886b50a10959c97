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

// Offset d at which y[d .. d + ref.length) best matches ref: envelopes at 200 Hz first, then
// samples within 10 ms of the envelope's best.
export function align(y, ref) {
    const step = 40;
    const ey = envelope(y, step), er = envelope(ref, step);
    let best = -Infinity, coarse = 0;
    for (let d = 0; d + er.length <= ey.length; d++) {
        const c = correlation(ey, d, er, er.length);
        if (c > best) [best, coarse] = [c, d];
    }
    let fine = coarse * step, bestFine = -Infinity;
    for (let d = Math.max(0, coarse * step - 80); d <= coarse * step + 80; d++) {
        if (d + ref.length > y.length) break;
        const c = correlation(y, d, ref, ref.length);
        if (c > bestFine) [bestFine, fine] = [c, d];
    }
    return {offset: fine, correlation: bestFine};
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

// y: the recording's decoded samples; ref: the reference. The reference is cut into 0.6 s
// pieces; each piece with speech is aligned on its own (within 0.3 s of the whole signal's
// alignment), so that a dropout of a loaded machine's audio thread shifts only the pieces after
// it instead of spoiling the whole comparison. Returns the medians over the pieces of the
// correlation, the segmental SNR (segments within 30 dB of the loudest, each clamped to
// -10..35 dB) and the log-spectral distance (64 bands up to 4 kHz).
export function compareSpeech(y, ref) {
    const whole = align(y, ref);
    const seg = 240, piece = 4800, reach = 2400;
    let loudest = 0;
    for (let at = 0; at + seg <= ref.length; at += seg) {
        let e = 0;
        for (let i = 0; i < seg; i++) e += ref[at + i] * ref[at + i];
        loudest = Math.max(loudest, e);
    }
    const floorEnergy = loudest * 1e-3;
    const found = [];
    for (let at = 0; at + piece <= ref.length; at += piece) {
        const part = ref.subarray(at, at + piece);
        let best = -Infinity, offset = -1;
        const from = Math.max(0, whole.offset + at - reach);
        const to = Math.min(y.length - piece, whole.offset + at + reach);
        for (let d = from; d <= to; d++) {
            const c = correlation(y, d, part, piece);
            if (c > best) [best, offset] = [c, d];
        }
        if (offset < 0) continue;
        const m = pieceMeasures(y, offset, ref, at, piece, floorEnergy, loudest);
        if (m) found.push({correlation: best, ...m});
    }
    return {offset: whole.offset, pieces: found.length,
            segments: found.reduce((n, f) => n + f.segments, 0),
            correlation: median(found.map((f) => f.correlation)),
            segSnrDb: median(found.map((f) => f.segSnrDb)),
            lsdDb: median(found.map((f) => f.lsdDb))};
}
