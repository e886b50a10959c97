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

// y: the recording's decoded samples; ref: the reference. Returns the alignment and the two
// measures over the segments where the reference is within 30 dB of its loudest segment.
export function compareSpeech(y, ref) {
    const {offset, correlation: corr} = align(y, ref);
    const seg = 240;
    const energies = [];
    for (let at = 0; at + seg <= ref.length; at += seg) {
        let e = 0;
        for (let i = 0; i < seg; i++) e += ref[at + i] * ref[at + i];
        energies.push(e);
    }
    const loudest = Math.max(...energies);
    let snrSum = 0, lsdSum = 0, count = 0;
    for (let s = 0; s < energies.length; s++) {
        if (energies[s] < loudest * 1e-3) continue;
        const at = s * seg;
        let noise = 0;
        for (let i = 0; i < seg; i++) {
            const d = y[offset + at + i] - ref[at + i];
            noise += d * d;
        }
        const snr = 10 * Math.log10(energies[s] / Math.max(noise, 1e-9));
        snrSum += Math.min(35, Math.max(-10, snr));
        const a = spectrum(ref, at), b = spectrum(y, offset + at);
        const floor = (loudest / seg) * 1e-5;
        let d2 = 0;
        for (let k = 0; k < a.length; k++) {
            const diff = 10 * Math.log10((a[k] + floor) / (b[k] + floor));
            d2 += diff * diff;
        }
        lsdSum += Math.sqrt(d2 / a.length);
        count++;
    }
    return {offset, correlation: corr, segments: count, segSnrDb: snrSum / count,
            lsdDb: lsdSum / count};
}
