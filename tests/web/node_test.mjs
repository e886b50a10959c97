// The WebAssembly codec in Node against the native build, the resampler, the upload body.
//   node tests/web/node_test.mjs BUILD_WEB_DIR NATIVE_BUILD_DIR
import assert from "node:assert/strict";
import {execFileSync} from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import {test} from "node:test";
import {fileURLToPath, pathToFileURL} from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, "../..");
const webDir = path.resolve(process.argv[2] ?? path.join(root, "build/web"));
const nativeDir = path.resolve(process.argv[3] ?? path.join(root, "build/linux"));
const ref = path.join(nativeDir, "tests/web/web_codec_ref");
const uploadCheck = path.join(nativeDir, "tests/web/web_upload_check");
const dataDir = path.join(root, "tests/codec/data");

const api = await import(pathToFileURL(path.join(webDir, "brimvox.mjs")).href);
const bv = await api.loadBrimvox();
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), "brimvox-web-"));
process.on("exit", () => fs.rmSync(tmp, {recursive: true, force: true}));

// Deterministic pseudo-random numbers (xorshift32), so a failure can be repeated.
function rng(seed) {
    let s = seed >>> 0 || 1;
    return () => {
        s ^= s << 13;
        s >>>= 0;
        s ^= s >>> 17;
        s ^= s << 5;
        s >>>= 0;
        return s / 4294967296;
    };
}

function pcmOf(buffer) {
    const copy = new Uint8Array(buffer.length - (buffer.length % 2));
    copy.set(buffer.subarray(0, copy.length));
    return new Int16Array(copy.buffer);
}

function nativeEncode(pcm) {
    const input = path.join(tmp, "in.raw");
    const output = path.join(tmp, "out.bvx");
    fs.writeFileSync(input, new Uint8Array(pcm.buffer, pcm.byteOffset, pcm.byteLength));
    execFileSync(ref, ["encode", input, output]);
    return new Uint8Array(fs.readFileSync(output));
}

function nativeDecode(frames, lostMask = "") {
    const input = path.join(tmp, "in.bvx");
    const output = path.join(tmp, "out.raw");
    fs.writeFileSync(input, frames);
    execFileSync(ref, ["decode", input, output, lostMask]);
    return pcmOf(fs.readFileSync(output));
}

function concat(parts, Type) {
    const out = new Type(parts.reduce((n, p) => n + p.length, 0));
    let at = 0;
    for (const p of parts) {
        out.set(p, at);
        at += p.length;
    }
    return out;
}

// Test vectors: every raw file of the codec tests, and synthetic signals that reach the
// codec's edges (full-scale noise and clipping, silence, tones, a length that is no multiple
// of a frame).
function vectors() {
    const list = [];
    for (const name of fs.readdirSync(dataDir).filter((n) => n.endsWith(".raw"))) {
        list.push([name, pcmOf(fs.readFileSync(path.join(dataDir, name)))]);
    }
    const random = rng(7);
    const make = (name, n, f) => list.push([name, Int16Array.from({length: n}, (_, i) => f(i))]);
    make("noise_full_scale", 24000, () => Math.floor(random() * 65536) - 32768);
    make("silence", 4800, () => 0);
    make("square_clipped", 16000, (i) => ((i >> 5) & 1 ? 32767 : -32768));
    make("sweep", 20000, (i) => Math.round(12000 * Math.sin(Math.PI * i * i / 80000)));
    make("short_odd_length", 1001, (i) => Math.round(3000 * Math.sin(i / 7)));
    return list;
}

function splitRandomly(array, random, max) {
    const parts = [];
    for (let at = 0; at < array.length;) {
        const n = Math.floor(random() * max);  // includes empty chunks
        parts.push(array.subarray(at, at + n));
        at += n;
    }
    return parts;
}

test("encoder and decoder are bit-exact with the native build on every vector", () => {
    for (const [name, pcm] of vectors()) {
        const expected = nativeEncode(pcm);
        const random = rng(name.length * 977 + pcm.length);

        const enc = bv.createEncoder();
        const frames = concat([...splitRandomly(pcm, random, 1000).map((p) => enc.encode(p)),
                               enc.flush()], Uint8Array);
        enc.free();
        assert.equal(frames.length, expected.length, `${name}: frame count`);
        assert.deepEqual(frames, expected, `${name}: streaming encode`);
        assert.deepEqual(bv.encode(pcm), expected, `${name}: one-shot encode`);

        const expectedPcm = nativeDecode(expected);
        const dec = bv.createDecoder();
        const decoded = concat(splitRandomly(expected, random, 100).map((p) => dec.decode(p)),
                               Int16Array);
        dec.free();
        assert.deepEqual(decoded, expectedPcm, `${name}: streaming decode`);
        assert.deepEqual(bv.decode(expected), expectedPcm, `${name}: one-shot decode`);
    }
});

test("decoder matches the native build on damaged streams and lost frames", () => {
    // Random bytes carry out-of-range gains and lags (frames the decoder marks bad); every
    // fifth frame is decoded as lost.
    const random = rng(99);
    const frames = Uint8Array.from({length: 18 * 400}, () => Math.floor(random() * 256));
    const mask = Array.from({length: 400}, (_, i) => (i % 5 === 3 ? "1" : "0")).join("");
    const expected = nativeDecode(frames, mask);
    const dec = bv.createDecoder();
    const parts = [];
    for (let i = 0; i < 400; i++) {
        if (mask[i] === "1") {
            parts.push(dec.decodeLost());
        } else {
            // A frame split in two calls: the first half must be kept for the second.
            parts.push(dec.decode(frames.subarray(18 * i, 18 * i + 7)));
            parts.push(dec.decode(frames.subarray(18 * i + 7, 18 * i + 18)));
        }
    }
    dec.free();
    assert.deepEqual(concat(parts, Int16Array), expected);
});

test("padding, trailing bytes and empty input", () => {
    const pcm = Int16Array.from({length: 250}, (_, i) => (i * 37) % 2000 - 1000);
    const padded = new Int16Array(480);
    padded.set(pcm);
    assert.deepEqual(bv.encode(pcm), bv.encode(padded));
    assert.equal(bv.encode(new Int16Array(0)).length, 0);
    const frames = bv.encode(padded);
    const withTail = concat([frames, new Uint8Array([1, 2, 3])], Uint8Array);
    assert.deepEqual(bv.decode(withTail), bv.decode(frames));
    assert.equal(bv.decode(new Uint8Array(17)).length, 0);
    const enc = bv.createEncoder();
    assert.equal(enc.encode(pcm.subarray(0, 239)).length, 0);
    assert.equal(enc.encode(pcm.subarray(239, 240)).length, 18);
    assert.equal(enc.flush().length, 0);
    enc.free();
});

test("bad input and freed objects give clear errors", () => {
    for (const bad of [new Float32Array(240), [1, 2, 3], null, undefined, "pcm", new Uint8Array(480)]) {
        assert.throws(() => bv.encode(bad), {name: "TypeError", message: /Int16Array/});
    }
    for (const bad of [new Int16Array(9), [1], null, 42]) {
        assert.throws(() => bv.decode(bad), {name: "TypeError", message: /Uint8Array/});
    }
    const dec = bv.createDecoder();
    for (const bad of [0, -1, 1.5, NaN, "2"]) {
        assert.throws(() => dec.decodeLost(bad), {name: "RangeError"});
    }
    assert.equal(dec.decodeLost(2).length, 480);
    dec.free();
    dec.free();  // a second free does nothing
    assert.throws(() => dec.decode(new Uint8Array(18)), /freed/);
    const enc = bv.createEncoder();
    enc.free();
    assert.throws(() => enc.encode(new Int16Array(240)), /freed/);
    assert.throws(() => enc.flush(), /freed/);
});

test("many codec states: memory grows and every state is independent", () => {
    const pcm = pcmOf(fs.readFileSync(path.join(dataDir, "speech_8k.raw"))).subarray(0, 4800);
    const expected = bv.encode(pcm);
    const encoders = Array.from({length: 300}, () => bv.createEncoder());
    const outputs = encoders.map((e) => e.encode(pcm));
    for (const e of encoders) e.free();
    for (const out of outputs) assert.deepEqual(out, expected);
});

test("loading from bytes, a module, and a bad source", async () => {
    const bytes = fs.readFileSync(path.join(webDir, "brimvox.wasm"));
    const fromBytes = await api.loadBrimvox({wasm: bytes});
    const fromModule = await api.loadBrimvox({wasm: bv.module});
    const pcm = Int16Array.from({length: 960}, (_, i) => Math.round(8000 * Math.sin(i / 5)));
    assert.deepEqual(fromBytes.encode(pcm), bv.encode(pcm));
    assert.deepEqual(fromModule.encode(pcm), bv.encode(pcm));
    await assert.rejects(api.loadBrimvox({wasm: new Uint8Array([0, 97, 115, 109, 9, 9])}));
    await assert.rejects(api.loadBrimvox({wasm: pathToFileURL(path.join(tmp, "none.wasm"))}));
});

// Level of the resampler's output against a unit-amplitude input tone, in dB, measured after
// the filter's start-up.
function toneGain(inputRate, frequency, chunk) {
    const rs = new api.BvxResampler(inputRate, 8000);
    const n = inputRate;  // one second
    const input = Float32Array.from({length: n}, (_, i) => 0.5 * Math.sin(2 * Math.PI * frequency * i / inputRate));
    const out = [];
    for (let at = 0; at < n; at += chunk) rs.process(input.subarray(at, at + chunk), (v) => out.push(v));
    rs.flush((v) => out.push(v));
    const steady = out.slice(800, 7200);
    const rms = Math.sqrt(steady.reduce((s, v) => s + v * v, 0) / steady.length);
    return {db: 20 * Math.log10(rms / (0.5 / Math.SQRT2)), count: out.length, out};
}

test("resampler: aliasing, pass band, rates and chunking", () => {
    // 5 kHz would fold to 3 kHz at 8000 Hz; it must be at least 50 dB down.
    for (const rate of [48000, 44100]) {
        const alias = toneGain(rate, 5000, 128);
        assert.ok(alias.db <= -50, `${rate} Hz: 5 kHz tone only ${alias.db.toFixed(1)} dB down`);
        // Just above the stop-band edge (it would fold to 3.8 kHz).
        const nearEdge = toneGain(rate, 4200, 128);
        assert.ok(nearEdge.db <= -60, `${rate} Hz: 4.2 kHz tone only ${nearEdge.db.toFixed(1)} dB down`);
        const pass = toneGain(rate, 1000, 128);
        assert.ok(Math.abs(pass.db) < 0.1, `${rate} Hz: 1 kHz tone at ${pass.db.toFixed(2)} dB`);
        const edge = toneGain(rate, 3300, 128);
        assert.ok(Math.abs(edge.db) < 0.5, `${rate} Hz: 3.3 kHz tone at ${edge.db.toFixed(2)} dB`);
        console.log(`# ${rate} Hz: 5 kHz ${alias.db.toFixed(1)} dB, 4.2 kHz ${nearEdge.db.toFixed(1)} dB, ` +
                    `1 kHz ${pass.db.toFixed(3)} dB, ` +
                    `3.3 kHz ${edge.db.toFixed(3)} dB`);
        assert.ok(Math.abs(alias.count - 8000) <= 1, `${rate} Hz: ${alias.count} outputs per second`);
    }
    assert.deepEqual(toneGain(48000, 1000, 128).out, toneGain(48000, 1000, 1000).out);
    assert.throws(() => new api.BvxResampler(4000), {name: "RangeError"});
});

test("toWav: a 16-bit mono 8000 Hz WAV of the decoded frames", async () => {
    const pcm = Int16Array.from({length: 720}, (_, i) => Math.round(5000 * Math.sin(i / 3)));
    const frames = bv.encode(pcm);
    const wav = new Uint8Array(await api.toWav(frames).arrayBuffer());
    const v = new DataView(wav.buffer);
    assert.equal(String.fromCharCode(...wav.subarray(0, 4)), "RIFF");
    assert.equal(v.getUint16(22, true), 1);
    assert.equal(v.getUint32(24, true), 8000);
    assert.equal(v.getUint16(34, true), 16);
    assert.equal(v.getUint32(40, true), 720 * 2);
    assert.deepEqual(pcmOf(wav.subarray(44)), bv.decode(frames));
});

test("upload body: Retrieve reads back the ACTION line and the frames", async () => {
    const random = rng(5);
    // Frames starting with LF and CR bytes: the line reader must stop right after the CR LF.
    const frames = Uint8Array.from({length: 18 * 50}, () => Math.floor(random() * 256));
    frames[0] = 10;
    frames[18] = 13;
    for (const [head, action] of [[["POST x", "a: b", "", "four", "five"], "ACTION=save;id=42"],
                                  [[], ""], [["only one"], " spaced  action "]]) {
        const body = new Uint8Array(await api.buildUploadBody({head, action, frames}).arrayBuffer());
        const lines = [...head, ...Array(5 - head.length).fill(""), action].join("\r\n") + "\r\n";
        assert.deepEqual(body, new Uint8Array([...Buffer.from(lines, "latin1"), ...frames]),
                         "five head lines, the ACTION line, CR LF after each, the frames");
        const dir = fs.mkdtempSync(path.join(tmp, "up-"));
        fs.writeFileSync(path.join(dir, "body"), body);
        execFileSync(uploadCheck, ["body", "action", "data"], {cwd: dir});
        assert.equal(fs.readFileSync(path.join(dir, "action"), "latin1"), action);
        assert.deepEqual(new Uint8Array(fs.readFileSync(path.join(dir, "data"))), frames);
    }
    const ok = {action: "A", frames: new Uint8Array(18)};
    assert.throws(() => api.buildUploadBody({...ok, action: "two\r\nlines"}), {name: "RangeError"});
    assert.throws(() => api.buildUploadBody({...ok, head: ["a\nb"]}), {name: "RangeError"});
    assert.throws(() => api.buildUploadBody({...ok, head: ["1", "2", "3", "4", "5", "6"]}),
                  {name: "RangeError"});
    assert.throws(() => api.buildUploadBody({...ok, action: "\u20ac"}), {name: "RangeError"});
    assert.throws(() => api.buildUploadBody({...ok, action: undefined}), {name: "TypeError"});
    assert.throws(() => api.buildUploadBody({...ok, frames: new Uint8Array(20)}), {name: "RangeError"});
    assert.throws(() => api.buildUploadBody({...ok, frames: "x"}), {name: "TypeError"});
});
