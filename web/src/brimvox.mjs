// brimvox in the browser and in Node: the 4800 bit/s speech codec compiled to WebAssembly
// (brimvox.wasm, loaded next to this module), a microphone recorder, a streaming player and
// upload bodies in the layout the Retrieve server component reads.
//
// Works in a page, a Worker, an AudioWorklet (pass the compiled module: loadBrimvox({ wasm }))
// and Node >= 18. The recorder and the player need a page (Web Audio).

export const SAMPLE_RATE = 8000;
export const FRAME_SAMPLES = 240;
export const FRAME_BYTES = 18;
export const BLOCK_BYTES = 54; // three frames, 90 ms: the unit the recorder hands out

const PREFIX = "brimvox: ";

function describe(value) {
    if (value === null) return "null";
    if (typeof value !== "object") return typeof value;
    return value.constructor ? value.constructor.name : "object";
}

function checkPcm(pcm, what) {
    if (!(pcm instanceof Int16Array)) {
        throw new TypeError(`${PREFIX}${what} expects an Int16Array of 8000 Hz mono samples, ` +
                            `got ${describe(pcm)}`);
    }
}

function toBytes(data, what) {
    if (data instanceof Uint8Array) return data;
    if (data instanceof ArrayBuffer) return new Uint8Array(data);
    throw new TypeError(`${PREFIX}${what} expects a Uint8Array of 18-byte frames, ` +
                        `got ${describe(data)}`);
}

function concatBytes(parts, total) {
    if (total === undefined) total = parts.reduce((n, p) => n + p.length, 0);
    const out = new Uint8Array(total);
    let at = 0;
    for (const p of parts) {
        out.set(p, at);
        at += p.length;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Loading the WebAssembly module

const isNode = typeof process === "object" && process !== null && !!process.versions &&
               typeof process.versions.node === "string";

async function compileBytes(bytes) {
    try {
        return await WebAssembly.compile(bytes);
    } catch (e) {
        throw new Error(`${PREFIX}this engine cannot compile brimvox.wasm (it needs WebAssembly ` +
                        `with SIMD128): ${e.message}`, {cause: e});
    }
}

async function compileFrom(source) {
    if (source instanceof WebAssembly.Module) return source;
    if (source instanceof ArrayBuffer || ArrayBuffer.isView(source)) {
        return compileBytes(source);
    }
    if (typeof Response === "function" && source instanceof Response) {
        if (!source.ok) throw new Error(`${PREFIX}cannot load brimvox.wasm: HTTP ${source.status}`);
        return compileBytes(await source.arrayBuffer());
    }
    const url = source === undefined ? new URL("brimvox.wasm", import.meta.url)
                                     : new URL(String(source), import.meta.url);
    if (url.protocol === "file:" && isNode) {
        const fs = await import("node:fs/promises");
        return compileBytes(await fs.readFile(url));
    }
    if (typeof fetch !== "function") {
        throw new Error(`${PREFIX}this scope cannot fetch ${url}; ` +
                        "pass the compiled module: loadBrimvox({ wasm: module })");
    }
    let response;
    try {
        response = await fetch(url);
    } catch (e) {
        throw new Error(`${PREFIX}cannot load ${url}: ${e.message}`, {cause: e});
    }
    if (!response.ok) throw new Error(`${PREFIX}cannot load ${url}: HTTP ${response.status}`);
    return compileBytes(await response.arrayBuffer());
}

function trapImport(module, name) {
    return () => {
        throw new Error(`${PREFIX}the codec called ${module}.${name}, which it never should`);
    };
}

async function instantiate(module) {
    const imports = {};
    for (const imp of WebAssembly.Module.imports(module)) {
        if (imp.kind !== "function") continue;
        // Memory growth is announced to the host; the views over it are renewed on use.
        const quiet = imp.name === "emscripten_notify_memory_growth";
        (imports[imp.module] ??= {})[imp.name] = quiet ? () => {} : trapImport(imp.module, imp.name);
    }
    const instance = await WebAssembly.instantiate(module, imports);
    return new Brimvox(module, instance);
}

let defaultInstance = null;
let defaultLoading = null;

// Loads the codec. Without options the module next to this file is loaded once and shared.
// options.wasm: a WebAssembly.Module, the bytes of brimvox.wasm, a Response or a URL.
export function loadBrimvox(options = {}) {
    if (options === null || typeof options !== "object") {
        throw new TypeError(`${PREFIX}loadBrimvox takes an options object`);
    }
    if (options.wasm === undefined) {
        defaultLoading ??= compileFrom(undefined).then(instantiate).then(
            (bv) => (defaultInstance = bv), (e) => {
                defaultLoading = null;
                throw e;
            });
        return defaultLoading;
    }
    return compileFrom(options.wasm).then(instantiate);
}

// The loaded codec: one WebAssembly instance. Encoders and decoders made by it hold codec
// states in its memory until freed.
class Brimvox {
    constructor(module, instance) {
        this.module = module;
        this._x = instance.exports;
        this._x._initialize();
        this._pcmView = null;
        this._frameView = null;
        this._registry = typeof FinalizationRegistry === "function"
            ? new FinalizationRegistry((codec) => this._x.bvx_codec_free(codec))
            : null;
    }

    // Views over the module's scratch areas, renewed when its memory has grown.
    _io() {
        const buffer = this._x.memory.buffer;
        if (this._pcmView === null || this._pcmView.buffer !== buffer) {
            this._pcmView = new Int16Array(buffer, this._x.bvx_io_pcm(), FRAME_SAMPLES);
            this._frameView = new Uint8Array(buffer, this._x.bvx_io_frame(), FRAME_BYTES);
        }
    }

    _newCodec(owner) {
        const codec = this._x.bvx_codec_new();
        if (!codec) throw new RangeError(`${PREFIX}out of memory for another codec state`);
        if (this._registry) this._registry.register(owner, codec, owner);
        return codec;
    }

    _freeCodec(owner, codec) {
        if (this._registry) this._registry.unregister(owner);
        this._x.bvx_codec_free(codec);
    }

    // Int16Array of 8 kHz mono samples -> Uint8Array of 18-byte frames; a last partial frame
    // is completed with silence.
    encode(pcm) {
        checkPcm(pcm, "encode");
        const e = this.createEncoder();
        try {
            const whole = e.encode(pcm);
            const rest = e.flush();
            return rest.length ? concatBytes([whole, rest]) : whole;
        } finally {
            e.free();
        }
    }

    // Uint8Array of frames -> Int16Array, 240 samples a frame; trailing bytes are ignored.
    decode(frames) {
        const bytes = toBytes(frames, "decode");
        const d = this.createDecoder();
        try {
            return d.decode(bytes);
        } finally {
            d.free();
        }
    }

    createEncoder() {
        return new BvxEncoder(this);
    }

    createDecoder() {
        return new BvxDecoder(this);
    }

    // A 16-bit mono 8000 Hz WAV file of the decoded frames.
    toWav(frames) {
        return new Blob([wavFile(this.decode(frames))], {type: "audio/wav"});
    }
}

// Streaming encoder: whole frames come out as soon as their 240 samples are in.
class BvxEncoder {
    constructor(bv) {
        this._bv = bv;
        this._codec = bv._newCodec(this);
        this._pending = new Int16Array(FRAME_SAMPLES);
        this._count = 0;
    }

    _live(what) {
        if (!this._codec) throw new Error(`${PREFIX}${what} on an encoder that was freed`);
    }

    _encodePending(out, at) {
        const bv = this._bv;
        bv._io();
        bv._pcmView.set(this._pending);
        bv._x.bvx_encode_frame(this._codec);
        out.set(bv._frameView, at);
    }

    // Returns the frames completed by these samples; the rest waits for the next call.
    encode(pcm) {
        this._live("encode");
        checkPcm(pcm, "encode");
        const frames = Math.floor((this._count + pcm.length) / FRAME_SAMPLES);
        const out = new Uint8Array(frames * FRAME_BYTES);
        let i = 0;
        let at = 0;
        while (i < pcm.length) {
            const take = Math.min(FRAME_SAMPLES - this._count, pcm.length - i);
            this._pending.set(pcm.subarray(i, i + take), this._count);
            this._count += take;
            i += take;
            if (this._count === FRAME_SAMPLES) {
                this._encodePending(out, at);
                at += FRAME_BYTES;
                this._count = 0;
            }
        }
        return out;
    }

    // Encodes the samples still waiting, completed with silence, as one last frame.
    flush() {
        this._live("flush");
        if (this._count === 0) return new Uint8Array(0);
        this._pending.fill(0, this._count);
        const out = new Uint8Array(FRAME_BYTES);
        this._encodePending(out, 0);
        this._count = 0;
        return out;
    }

    free() {
        if (this._codec) this._bv._freeCodec(this, this._codec);
        this._codec = 0;
    }
}

// Streaming decoder: a partial frame is kept until the rest of its bytes arrive.
class BvxDecoder {
    constructor(bv) {
        this._bv = bv;
        this._codec = bv._newCodec(this);
        this._pending = new Uint8Array(FRAME_BYTES);
        this._count = 0;
    }

    _live(what) {
        if (!this._codec) throw new Error(`${PREFIX}${what} on a decoder that was freed`);
    }

    _decodeOne(frame, lost, out, at) {
        const bv = this._bv;
        bv._io();
        if (frame) bv._frameView.set(frame);
        bv._x.bvx_decode_frame(this._codec, lost ? 1 : 0);
        out.set(bv._pcmView, at);
    }

    decode(bytes) {
        this._live("decode");
        const data = toBytes(bytes, "decode");
        const frames = Math.floor((this._count + data.length) / FRAME_BYTES);
        const out = new Int16Array(frames * FRAME_SAMPLES);
        let i = 0;
        let at = 0;
        if (this._count > 0) {
            const take = Math.min(FRAME_BYTES - this._count, data.length);
            this._pending.set(data.subarray(0, take), this._count);
            this._count += take;
            i = take;
            if (this._count < FRAME_BYTES) return out;
            this._decodeOne(this._pending, false, out, at);
            at += FRAME_SAMPLES;
            this._count = 0;
        }
        for (; i + FRAME_BYTES <= data.length; i += FRAME_BYTES) {
            this._decodeOne(data.subarray(i, i + FRAME_BYTES), false, out, at);
            at += FRAME_SAMPLES;
        }
        this._pending.set(data.subarray(i), 0);
        this._count = data.length - i;
        return out;
    }

    // Conceals `count` lost frames (240 samples each). A partial frame in hand stays kept.
    decodeLost(count = 1) {
        this._live("decodeLost");
        if (!Number.isInteger(count) || count < 1 || count > 1e6) {
            throw new RangeError(`${PREFIX}decodeLost takes a whole number of frames 1..1000000, ` +
                                 `got ${count}`);
        }
        const out = new Int16Array(count * FRAME_SAMPLES);
        for (let k = 0; k < count; k++) this._decodeOne(null, true, out, k * FRAME_SAMPLES);
        return out;
    }

    free() {
        if (this._codec) this._bv._freeCodec(this, this._codec);
        this._codec = 0;
    }
}

// ---------------------------------------------------------------------------------------------
// WAV files

function wavFile(pcm) {
    const bytes = new Uint8Array(44 + pcm.length * 2);
    const v = new DataView(bytes.buffer);
    const text = (at, s) => {
        for (let i = 0; i < s.length; i++) bytes[at + i] = s.charCodeAt(i);
    };
    text(0, "RIFF");
    v.setUint32(4, 36 + pcm.length * 2, true);
    text(8, "WAVE");
    text(12, "fmt ");
    v.setUint32(16, 16, true);
    v.setUint16(20, 1, true);  // PCM
    v.setUint16(22, 1, true);  // mono
    v.setUint32(24, SAMPLE_RATE, true);
    v.setUint32(28, SAMPLE_RATE * 2, true);
    v.setUint16(32, 2, true);
    v.setUint16(34, 16, true);
    text(36, "data");
    v.setUint32(40, pcm.length * 2, true);
    for (let i = 0; i < pcm.length; i++) v.setInt16(44 + 2 * i, pcm[i], true);
    return bytes;
}

// Needs the shared codec loaded (await loadBrimvox() first).
export function toWav(frames) {
    if (!defaultInstance) throw new Error(`${PREFIX}toWav needs the codec: await loadBrimvox() first`);
    return defaultInstance.toWav(frames);
}

// ---------------------------------------------------------------------------------------------
// Resampling to 8000 Hz

// Windowed-sinc low-pass resampler from any integer input rate to 8000 Hz. The kernel is
// sin(2 pi fc t) / (pi t) with fc = 3700 Hz under a Kaiser window (beta 7.857, for 80 dB) of
// 8 ms (4 ms either side), giving a pass band to about 3390 Hz and a stop band from about
// 4010 Hz. The kernel is kept as a table of 64 fractional phases with linear interpolation
// between neighbouring phases; each phase is normalised to unit gain at DC.
// Used in the capture AudioWorklet (its source is copied there as text), so it must stay
// self-contained.
export class BvxResampler {
    constructor(inputRate, outputRate = 8000) {
        const inRate = Math.round(inputRate);
        if (!(inRate >= outputRate && inRate <= 768000)) {
            throw new RangeError(`brimvox: cannot resample from ${inputRate} Hz to ${outputRate} Hz`);
        }
        const cutoff = 3700 * (outputRate / 8000);
        const halfSeconds = 0.004 * (8000 / outputRate);
        const beta = 7.857;
        const phases = 64;
        const half = Math.ceil(halfSeconds * inRate);  // taps either side of the centre
        const taps = 2 * half;
        const bessel0 = (x) => {
            let sum = 1, term = 1;
            for (let k = 1; k < 50; k++) {
                term *= (x / (2 * k)) * (x / (2 * k));
                sum += term;
                if (term < 1e-12 * sum) break;
            }
            return sum;
        };
        const norm = bessel0(beta);
        const table = new Float64Array((phases + 1) * taps);
        for (let p = 0; p <= phases; p++) {
            const frac = p / phases;
            let sum = 0;
            for (let j = 0; j < taps; j++) {
                // Tap j weighs input sample (base - half + 1 + j); its distance from the
                // output instant (base + frac) in seconds:
                const t = (frac + half - 1 - j) / inRate;
                const w = Math.abs(t) >= halfSeconds
                    ? 0 : bessel0(beta * Math.sqrt(1 - (t / halfSeconds) ** 2)) / norm;
                const s = t === 0 ? 2 * cutoff : Math.sin(2 * Math.PI * cutoff * t) / (Math.PI * t);
                table[p * taps + j] = s * w;
                sum += s * w;
            }
            for (let j = 0; j < taps; j++) table[p * taps + j] /= sum;
        }
        this.inputRate = inRate;
        this.outputRate = outputRate;
        this._phases = phases;
        this._half = half;
        this._taps = taps;
        this._table = table;
        // History of input samples: the window of the next output starts at _buf[0].
        this._buf = new Float64Array(taps + 8192);
        this._len = half - 1;  // the first output is centred on input 0: zeros before it
        this._frac = 0;        // position of the next output: _buf index (half - 1) + _frac / outRate
    }

    // Feeds input samples (floats, -1..1) and calls emit(value) for every output sample, as
    // a float of the same scale.
    process(input, emit) {
        let at = 0;
        while (at < input.length) {
            const room = this._buf.length - this._len;
            const take = Math.min(room, input.length - at);
            for (let i = 0; i < take; i++) this._buf[this._len + i] = input[at + i];
            this._len += take;
            at += take;
            this._drain(emit);
        }
    }

    _drain(emit) {
        const taps = this._taps, phases = this._phases, table = this._table, buf = this._buf;
        const inRate = this.inputRate, outRate = this.outputRate;
        let base = 0;
        let frac = this._frac;
        while (base + taps <= this._len) {
            const pos = (frac * phases) / outRate;
            const p = Math.floor(pos);
            const mix = pos - p;
            const row0 = p * taps, row1 = row0 + taps;
            let acc = 0;
            for (let j = 0; j < taps; j++) {
                const h = table[row0 + j] + mix * (table[row1 + j] - table[row0 + j]);
                acc += h * buf[base + j];
            }
            emit(acc);
            frac += inRate;
            base += Math.floor(frac / outRate);
            frac %= outRate;
        }
        this._buf.copyWithin(0, base, this._len);
        this._len -= base;
        this._frac = frac;
    }

    // Feeds the silence that lets the outputs up to the last input sample come out.
    flush(emit) {
        this.process(new Float64Array(this._half), emit);
    }
}

// ---------------------------------------------------------------------------------------------
// Recording

// The capture processor: mixes the input to mono, resamples it to 8000 Hz and posts 720-sample
// blocks (Int16Array) to the encoder worker and the block's level to the page.
const captureProcessorSource = () => `
${BvxResampler.toString()}
class BvxCaptureProcessor extends AudioWorkletProcessor {
    constructor() {
        super();
        this.resampler = new BvxResampler(sampleRate, 8000);
        this.block = new Int16Array(720);
        this.count = 0;
        this.paused = false;
        this.ended = false;
        this.sink = null;
        this.silence = new Float32Array(128);
        this.emit = (v) => {
            let s = Math.round(v * 32768);
            s = s > 32767 ? 32767 : (s < -32768 ? -32768 : s);
            this.block[this.count++] = s;
            if (this.count === 720) this.send(false);
        };
        this.port.onmessage = (e) => {
            const m = e.data;
            if (m.type === "sink") this.sink = m.port;
            else if (m.type === "pause") this.paused = true;
            else if (m.type === "resume") this.paused = false;
            else if (m.type === "stop" && !this.ended) {
                this.resampler.flush(this.emit);
                if (this.count > 0) this.send(true);
                this.ended = true;
                this.sink.postMessage({type: "end"});
            }
        };
    }
    send(partial) {
        const pcm = partial ? this.block.slice(0, this.count) : this.block;
        let peak = 0;
        for (let i = 0; i < pcm.length; i++) {
            const a = pcm[i] < 0 ? -pcm[i] : pcm[i];
            if (a > peak) peak = a;
        }
        this.port.postMessage({type: "level", peak: peak / 32768, samples: pcm.length});
        this.sink.postMessage({type: "pcm", pcm}, [pcm.buffer]);
        if (!partial) this.block = new Int16Array(720);
        this.count = 0;
    }
    process(inputs) {
        if (this.ended) return false;
        const channels = inputs[0];
        if (this.paused || !this.sink) return true;
        // An input with no active source (a track that has not started or has ended) is
        // silence, recorded as such so that the recording keeps time with the clock.
        if (!channels || channels.length === 0) {
            this.resampler.process(this.silence, this.emit);
            return true;
        }
        const n = channels[0].length;
        let mono = channels[0];
        if (channels.length > 1) {
            mono = new Float32Array(n);
            for (const ch of channels) for (let i = 0; i < n; i++) mono[i] += ch[i];
            for (let i = 0; i < n; i++) mono[i] /= channels.length;
        }
        this.resampler.process(mono, this.emit);
        return true;
    }
}
registerProcessor("brimvox-capture", BvxCaptureProcessor);
`;

// The encoder worker: turns the 8000 Hz blocks into frames and posts 54-byte blocks.
const encoderWorkerSource = (moduleUrl) => `
import { loadBrimvox } from ${JSON.stringify(moduleUrl)};
let encoder = null;
let carry = new Uint8Array(0);
function post(frames) {
    let all = carry.length ? new Uint8Array(carry.length + frames.length) : frames;
    if (carry.length) { all.set(carry); all.set(frames, carry.length); }
    let at = 0;
    for (; at + 54 <= all.length; at += 54) {
        const block = all.slice(at, at + 54);
        postMessage({type: "block", block}, [block.buffer]);
    }
    carry = all.slice(at);
}
self.onmessage = async (e) => {
    const m = e.data;
    if (m.type !== "init") return;
    try {
        const bv = await loadBrimvox({wasm: m.module});
        encoder = bv.createEncoder();
    } catch (err) {
        postMessage({type: "error", message: String(err && err.message || err)});
        return;
    }
    m.port.onmessage = (ev) => {
        const d = ev.data;
        if (d.type === "pcm") {
            post(encoder.encode(d.pcm));
        } else if (d.type === "end") {
            post(encoder.flush());
            // The last block is completed with encoded silence so that every block has 54 bytes.
            while (carry.length % 54 !== 0) post(encoder.encode(new Int16Array(240)));
            postMessage({type: "done"});
        }
    };
    postMessage({type: "ready"});
};
`;

function withTimeout(promise, ms, message) {
    let timer;
    return Promise.race([
        promise,
        new Promise((_, reject) => {
            timer = setTimeout(() => reject(new Error(PREFIX + message)), ms);
        }),
    ]).finally(() => clearTimeout(timer));
}

function blobUrl(text, type) {
    return URL.createObjectURL(new Blob([text], {type}));
}

async function startContext(context, own) {
    if (context.state === "running") return;
    if (typeof OfflineAudioContext === "function" && context instanceof OfflineAudioContext) return;
    try {
        await withTimeout(context.resume(), 3000, "timeout");
    } catch (e) {
        if (own) await context.close().catch(() => {});
        throw new Error(`${PREFIX}the audio context could not start (${e.message}); ` +
                        "browsers start audio only after a click or key press on the page");
    }
    if (context.state !== "running") {
        throw new Error(`${PREFIX}the audio context could not start (state ${context.state})`);
    }
}

function microphoneError(e) {
    const name = e && e.name;
    if (name === "NotAllowedError" || name === "SecurityError") {
        return new Error(`${PREFIX}permission to use the microphone was refused`, {cause: e});
    }
    if (name === "NotFoundError" || name === "OverconstrainedError") {
        return new Error(`${PREFIX}no microphone was found`, {cause: e});
    }
    if (name === "NotReadableError" || name === "AbortError") {
        return new Error(`${PREFIX}the microphone could not be opened (is another program using ` +
                         "it?)", {cause: e});
    }
    return new Error(`${PREFIX}the microphone could not be opened: ${e && e.message}`, {cause: e});
}

// Records from a microphone (or any MediaStream with audio) into frames.
export class BvxRecorder {
    // options.stream: a MediaStream to record (otherwise the microphone is asked for);
    // options.onBlock(Uint8Array): called with each 54-byte block (three frames, 90 ms).
    static async start(options = {}) {
        if (options === null || typeof options !== "object") {
            throw new TypeError(`${PREFIX}BvxRecorder.start takes an options object`);
        }
        const {stream, onBlock} = options;
        if (onBlock !== undefined && typeof onBlock !== "function") {
            throw new TypeError(`${PREFIX}onBlock must be a function`);
        }
        if (stream !== undefined &&
            !(typeof MediaStream === "function" && stream instanceof MediaStream)) {
            throw new TypeError(`${PREFIX}stream must be a MediaStream, got ${describe(stream)}`);
        }
        const rec = new BvxRecorder(onBlock);
        try {
            await rec._open(stream);
        } catch (e) {
            rec._close();
            throw e;
        }
        return rec;
    }

    constructor(onBlock) {
        this._onBlock = onBlock;
        this._blocks = [];
        this._samples = 0;
        this._peak = 0;
        this._paused = false;
        this._stopping = null;
        this._done = null;
        this._ownTracks = [];
        this.context = null;
    }

    async _open(stream) {
        if (typeof AudioWorkletNode !== "function" || typeof Worker !== "function") {
            throw new Error(`${PREFIX}this browser has no AudioWorklet or Worker support`);
        }
        if (!stream) {
            if (!globalThis.navigator?.mediaDevices?.getUserMedia) {
                throw new Error(`${PREFIX}this page cannot use a microphone ` +
                                "(it needs a secure context: https or localhost)");
            }
            try {
                stream = await navigator.mediaDevices.getUserMedia({
                    audio: {channelCount: 1, echoCancellation: false, noiseSuppression: false,
                            autoGainControl: false},
                });
            } catch (e) {
                throw microphoneError(e);
            }
            this._ownTracks = stream.getTracks();
        }
        if (stream.getAudioTracks().length === 0) {
            throw new Error(`${PREFIX}the stream has no audio track`);
        }
        const bv = await loadBrimvox();
        try {
            this.context = new AudioContext();
        } catch (e) {
            throw new Error(`${PREFIX}audio cannot start in this page: ${e.message}`, {cause: e});
        }
        await startContext(this.context, true);

        const workletUrl = blobUrl(captureProcessorSource(), "text/javascript");
        try {
            await this.context.audioWorklet.addModule(workletUrl);
        } catch (e) {
            throw new Error(`${PREFIX}the capture worklet could not load: ${e.message}`, {cause: e});
        } finally {
            URL.revokeObjectURL(workletUrl);
        }

        const workerUrl = blobUrl(encoderWorkerSource(import.meta.url), "text/javascript");
        this._worker = new Worker(workerUrl, {type: "module"});
        URL.revokeObjectURL(workerUrl);
        const channel = new MessageChannel();
        let finish;
        this._done = new Promise((resolve, reject) => (finish = {resolve, reject}));
        this._done.catch(() => {});
        const ready = new Promise((resolve, reject) => {
            this._worker.onmessage = (e) => {
                const m = e.data;
                if (m.type === "ready") resolve();
                else if (m.type === "block") this._takeBlock(m.block);
                else if (m.type === "done") finish.resolve();
                else if (m.type === "error") {
                    const err = new Error(`${PREFIX}the encoder failed: ${m.message}`);
                    reject(err);
                    finish.reject(err);
                }
            };
            this._worker.onerror = (e) => {
                const err = new Error(`${PREFIX}the encoder worker failed: ${e.message || "error"}`);
                e.preventDefault?.();
                reject(err);
                finish.reject(err);
            };
        });
        this._worker.postMessage({type: "init", module: bv.module, port: channel.port2},
                                 [channel.port2]);
        await withTimeout(ready, 10000, "the encoder worker did not start");

        this._node = new AudioWorkletNode(this.context, "brimvox-capture",
                                          {numberOfInputs: 1, numberOfOutputs: 1,
                                           outputChannelCount: [1]});
        this._node.port.onmessage = (e) => {
            if (e.data.type === "level") {
                this._samples += e.data.samples;
                this._peak = e.data.peak;
            }
        };
        this._node.port.postMessage({type: "sink", port: channel.port1}, [channel.port1]);
        this._source = this.context.createMediaStreamSource(stream);
        this._source.connect(this._node);
        // The node writes silence; being connected keeps it rendered in every browser.
        this._node.connect(this.context.destination);
    }

    _takeBlock(block) {
        this._blocks.push(block);
        if (this._onBlock) {
            try {
                this._onBlock(block);
            } catch (e) {
                // A failing callback must not stop the recording; report it where it is seen.
                setTimeout(() => {
                    throw e;
                });
            }
        }
    }

    get elapsed() {
        return this._samples / SAMPLE_RATE;
    }

    get peak() {
        return this._peak;
    }

    get paused() {
        return this._paused;
    }

    pause() {
        if (this._stopping) return;
        this._paused = true;
        this._node.port.postMessage({type: "pause"});
    }

    resume() {
        if (this._stopping) return;
        this._paused = false;
        this._node.port.postMessage({type: "resume"});
    }

    // Ends the recording and returns every frame recorded (the blocks given to onBlock).
    stop() {
        this._stopping ??= (async () => {
            try {
                this._node.port.postMessage({type: "stop"});
                await withTimeout(this._done, 10000, "the encoder did not finish");
            } catch (e) {
                // The frames encoded so far are not lost with the failure.
                e.frames = concatBytes(this._blocks);
                throw e;
            } finally {
                this._close();
            }
            return concatBytes(this._blocks);
        })();
        return this._stopping;
    }

    _close() {
        try {
            this._source?.disconnect();
            this._node?.disconnect();
            this._node?.port.close();
        } catch (e) {
            // already disconnected
        }
        this._worker?.terminate();
        for (const t of this._ownTracks) t.stop();
        this._ownTracks = [];
        if (this.context && this.context.state !== "closed") this.context.close().catch(() => {});
    }
}

// ---------------------------------------------------------------------------------------------
// Playback

const CHUNK_BYTES = 30 * FRAME_BYTES;  // 0.9 s of frames per slice of an in-memory source
const LOOKAHEAD = 2.0;                  // seconds scheduled ahead of the playing position

function sliceReader(bytes) {
    let at = 0;
    return {
        read: async () => {
            if (at >= bytes.length) return {done: true, value: undefined};
            const value = bytes.subarray(at, at + CHUNK_BYTES);
            at += value.length;
            return {done: false, value};
        },
        cancel: async () => {},
    };
}

function streamReader(stream) {
    const reader = stream.getReader();
    return {
        read: async () => {
            const r = await reader.read();
            if (!r.done && !(r.value instanceof Uint8Array)) {
                throw new TypeError(`${PREFIX}the stream must deliver Uint8Array chunks, ` +
                                    `got ${describe(r.value)}`);
            }
            return r;
        },
        cancel: async () => reader.cancel().catch(() => {}),
    };
}

async function openSource(source) {
    if (source instanceof ArrayBuffer) source = new Uint8Array(source);
    if (source instanceof Uint8Array) {
        return {reader: sliceReader(source), bytes: source.length};
    }
    if (typeof source === "string" || source instanceof URL) {
        let response;
        try {
            response = await fetch(source);
        } catch (e) {
            throw new Error(`${PREFIX}cannot load ${source}: ${e.message}`, {cause: e});
        }
        if (!response.ok) throw new Error(`${PREFIX}cannot load ${source}: HTTP ${response.status}`);
        source = response;
    }
    if (typeof Response === "function" && source instanceof Response) {
        if (!source.ok) throw new Error(`${PREFIX}the response has HTTP status ${source.status}`);
        if (!source.body) return {reader: sliceReader(new Uint8Array(0)), bytes: 0};
        const length = Number(source.headers.get("Content-Length"));
        const encoded = source.headers.get("Content-Encoding");
        return {reader: streamReader(source.body),
                bytes: Number.isFinite(length) && length > 0 && !encoded ? length : null};
    }
    if (typeof Blob === "function" && source instanceof Blob) {
        return {reader: streamReader(source.stream()), bytes: source.size};
    }
    if (typeof ReadableStream === "function" && source instanceof ReadableStream) {
        return {reader: streamReader(source), bytes: null};
    }
    throw new TypeError(`${PREFIX}BvxPlayer.play takes a Uint8Array, Blob, Response, URL or ` +
                        `ReadableStream of frames, got ${describe(source)}`);
}

// Plays frames through Web Audio, decoding them as they arrive.
export class BvxPlayer {
    // source: Uint8Array, Blob, Response, URL string or ReadableStream of frames.
    // options.context: an AudioContext or OfflineAudioContext to play into (otherwise its own).
    static async play(source, options = {}) {
        if (options === null || typeof options !== "object") {
            throw new TypeError(`${PREFIX}BvxPlayer.play takes an options object`);
        }
        const bv = await loadBrimvox();
        const opened = await openSource(source);
        const player = new BvxPlayer(bv, opened);
        try {
            await player._open(options.context);
        } catch (e) {
            player._teardown();
            opened.reader.cancel();
            throw e;
        }
        // Resolves once playback is under way; into an OfflineAudioContext, once the whole
        // source is scheduled, so that startRendering() may follow at once.
        const pumping = player._pump();
        await (player._offline ? pumping : Promise.race([pumping, player._firstScheduled]));
        // A source that fails before any speech is scheduled fails the call itself.
        if (player._error && player._total === 0) throw player._error;
        return player;
    }

    static toWav(frames) {
        return toWav(frames);
    }

    constructor(bv, opened) {
        this._decoder = bv.createDecoder();
        this._reader = opened.reader;
        this._duration = opened.bytes === null
            ? null : Math.floor(opened.bytes / FRAME_BYTES) * FRAME_SAMPLES / SAMPLE_RATE;
        this._chunks = [];       // scheduled: {buffer, start (sample), when, node}
        this._played = 0;        // samples of chunks that have finished
        this._total = 0;         // samples decoded so far
        this._nextWhen = 0;
        this._loaded = false;
        this._paused = false;
        this._pausedAt = 0;
        this._stopped = false;
        this._wake = null;
        this._firstScheduled = new Promise((resolve) => (this._onFirst = resolve));
        this.ended = new Promise((resolve, reject) => (this._end = {resolve, reject}));
        this.ended.catch(() => {});
    }

    async _open(context) {
        if (context !== undefined) {
            if (typeof BaseAudioContext !== "function" || !(context instanceof BaseAudioContext)) {
                throw new TypeError(`${PREFIX}context must be an AudioContext or ` +
                                    `OfflineAudioContext, got ${describe(context)}`);
            }
            this.context = context;
            this._ownContext = false;
        } else {
            try {
                this.context = new AudioContext();
            } catch (e) {
                throw new Error(`${PREFIX}audio cannot start in this page: ${e.message}`,
                                {cause: e});
            }
            this._ownContext = true;
        }
        this._offline = typeof OfflineAudioContext === "function" &&
                        this.context instanceof OfflineAudioContext;
        await startContext(this.context, this._ownContext);
        this._gain = this.context.createGain();
        this._gain.connect(this.context.destination);
    }

    get duration() {
        return this._duration;
    }

    get paused() {
        return this._paused;
    }

    // Seconds of speech played so far.
    get currentTime() {
        if (this._paused || this._stopped) return this._pausedAt / SAMPLE_RATE;
        const now = this.context.currentTime;
        let position = this._played;
        for (const c of this._chunks) {
            if (now < c.when) break;
            position = c.start + Math.min(c.buffer.length, (now - c.when) * SAMPLE_RATE);
        }
        return position / SAMPLE_RATE;
    }

    _notify() {
        const wake = this._wake;
        this._wake = null;
        if (wake) wake();
    }

    // Starts the chunk's audio at context time `at`, from sample `offsetSamples` of the chunk.
    _startNode(chunk, at, offsetSamples) {
        const node = this.context.createBufferSource();
        node.buffer = chunk.buffer;
        node.connect(this._gain);
        node.onended = () => {
            if (chunk.node !== node) return;
            const i = this._chunks.indexOf(chunk);
            if (i >= 0) this._chunks.splice(i, 1);
            this._played = Math.max(this._played, chunk.start + chunk.buffer.length);
            this._checkEnd();
            this._notify();
        };
        node.start(at, offsetSamples / SAMPLE_RATE);
        chunk.node = node;
        // Position reckoning takes `when` as the context time of the chunk's first sample.
        chunk.when = at - offsetSamples / SAMPLE_RATE;
    }

    _scheduleTime() {
        const rate = this.context.sampleRate;
        const earliest = this.context.currentTime + (this._offline ? 0 : 0.05);
        const t = Math.max(this._nextWhen, earliest);
        return Math.ceil(t * rate - 1e-6) / rate;  // on a sample of the context
    }

    _schedule(pcm) {
        const buffer = this.context.createBuffer(1, pcm.length, SAMPLE_RATE);
        const data = buffer.getChannelData(0);
        for (let i = 0; i < pcm.length; i++) data[i] = pcm[i] / 32768;
        const chunk = {buffer, start: this._total, when: 0, node: null};
        this._total += pcm.length;
        this._chunks.push(chunk);
        if (this._paused) return;
        const at = this._scheduleTime();
        this._nextWhen = at + pcm.length / SAMPLE_RATE;
        this._startNode(chunk, at, 0);
        this._onFirst();
    }

    async _pump() {
        try {
            while (!this._stopped) {
                const ahead = this._nextWhen - this.context.currentTime;
                if (this._paused || (!this._offline && ahead > LOOKAHEAD)) {
                    await new Promise((resolve) => {
                        this._wake = resolve;
                        setTimeout(resolve, 250);
                    });
                    continue;
                }
                const {done, value} = await this._reader.read();
                if (done || this._stopped) break;
                const pcm = this._decoder.decode(value);
                if (pcm.length) this._schedule(pcm);
            }
            if (this._stopped) return;
            this._loaded = true;
            this._duration = this._total / SAMPLE_RATE;
            this._checkEnd();
        } catch (e) {
            if (this._stopped) return;
            this._fail(e instanceof Error ? e : new Error(String(e)));
        }
    }

    _checkEnd() {
        if (this._loaded && !this._stopped && this._chunks.length === 0) {
            this._finish();
            this._end.resolve();
        }
    }

    _fail(e) {
        this._finish();
        this._error = e.message.startsWith(PREFIX) ? e
                      : new Error(`${PREFIX}playback failed: ${e.message}`, {cause: e});
        this._end.reject(this._error);
    }

    pause() {
        if (this._paused || this._stopped) return;
        this._pausedAt = this.currentTime * SAMPLE_RATE;
        this._paused = true;
        for (const c of this._chunks) {
            const node = c.node;
            c.node = null;
            node?.stop();
        }
    }

    resume() {
        if (!this._paused || this._stopped) return;
        this._paused = false;
        this._nextWhen = 0;
        const at = this._pausedAt;
        this._chunks = this._chunks.filter((c) => c.start + c.buffer.length > at);
        this._played = Math.max(this._played, at);
        for (const c of this._chunks) {
            const offset = Math.max(0, at - c.start);
            const when = this._scheduleTime();
            this._nextWhen = when + (c.buffer.length - offset) / SAMPLE_RATE;
            this._startNode(c, when, offset);
        }
        this._notify();
        this._checkEnd();
    }

    // Stops for good; `ended` resolves.
    stop() {
        if (this._stopped) return;
        this._pausedAt = this.currentTime * SAMPLE_RATE;
        this._finish();
        this._end.resolve();
    }

    _finish() {
        if (!this._stopped) this._pausedAt = Math.max(this._pausedAt, this._played);
        this._stopped = true;
        for (const c of this._chunks) {
            const node = c.node;
            c.node = null;
            try {
                node?.stop();
            } catch (e) {
                // not started yet in an offline context
            }
        }
        this._chunks = [];
        this._reader.cancel();
        this._notify();
        this._teardown();
    }

    _teardown() {
        this._decoder?.free();
        this._decoder = null;
        this._gain?.disconnect();
        if (this._ownContext && this.context && this.context.state !== "closed") {
            this.context.close().catch(() => {});
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Uploads

function headLine(text, what) {
    if (typeof text !== "string") {
        throw new TypeError(`${PREFIX}${what} must be a string, got ${describe(text)}`);
    }
    const bytes = new Uint8Array(text.length);
    for (let i = 0; i < text.length; i++) {
        const c = text.charCodeAt(i);
        if (c === 10 || c === 13 || c === 0) {
            throw new RangeError(`${PREFIX}${what} must be one line without CR, LF or NUL`);
        }
        if (c > 255) {
            throw new RangeError(`${PREFIX}${what} has a character beyond the single-byte range ` +
                                 `(U+${c.toString(16).toUpperCase().padStart(4, "0")})`);
        }
        bytes[i] = c;
    }
    return bytes;
}

// The body Retrieve reads: five head lines, the ACTION line, then the frames, CR LF after
// each line. head: up to five strings (missing lines are empty).
export function buildUploadBody({head = [], action, frames} = {}) {
    if (!Array.isArray(head)) throw new TypeError(`${PREFIX}head must be an array of strings`);
    if (head.length > 5) throw new RangeError(`${PREFIX}head has ${head.length} lines; at most 5`);
    const data = toBytes(frames, "buildUploadBody");
    if (data.length % FRAME_BYTES !== 0) {
        throw new RangeError(`${PREFIX}frames must be whole 18-byte frames ` +
                             `(got ${data.length} bytes)`);
    }
    const crlf = new Uint8Array([13, 10]);
    const parts = [];
    for (let i = 0; i < 5; i++) {
        parts.push(headLine(i < head.length ? head[i] : "", `head line ${i + 1}`), crlf);
    }
    parts.push(headLine(action, "action"), crlf, data);
    return new Blob(parts, {type: "application/octet-stream"});
}

// POSTs the frames to a page that hands its body to Retrieve; returns the Response.
export async function upload(url, frames, {head, action, headers, signal} = {}) {
    const body = buildUploadBody({head, action, frames});
    let response;
    try {
        response = await fetch(url, {
            method: "POST",
            body,
            headers: {"Content-Type": "application/octet-stream", ...headers},
            signal,
        });
    } catch (e) {
        throw new Error(`${PREFIX}upload to ${url} failed: ${e.message}`, {cause: e});
    }
    if (!response.ok) {
        throw new Error(`${PREFIX}upload to ${url} failed: HTTP ${response.status} ` +
                        response.statusText);
    }
    return response;
}
