// The WebAssembly codec's speed against the native build in the same run, and the size of what
// a page downloads.   node bench/web_bench.mjs BUILD_WEB_DIR WEB_CODEC_REF
import {execFileSync} from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import {fileURLToPath, pathToFileURL} from "node:url";
import zlib from "node:zlib";

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..");
const webDir = path.resolve(process.argv[2] ?? path.join(root, "build/web"));
const ref = path.resolve(process.argv[3] ?? path.join(root, "build/linux/tests/web/web_codec_ref"));
const speechFile = path.join(root, "tests/codec/data/speech_8k.raw");
const SECONDS = 1;
const ROUNDS = 3;

const {loadBrimvox} = await import(pathToFileURL(path.join(webDir, "brimvox.mjs")).href);
const bv = await loadBrimvox();
const raw = fs.readFileSync(speechFile);
const pcm = new Int16Array(raw.buffer.slice(raw.byteOffset, raw.byteOffset + raw.length));

// Frames per second, repeated for SECONDS after a warm-up.
function rate(run) {
    run();
    let frames = 0;
    const t0 = performance.now();
    let elapsed = 0;
    do {
        frames += run();
        elapsed = (performance.now() - t0) / 1000;
    } while (elapsed < SECONDS);
    return frames / elapsed;
}

// Rounds of WebAssembly and native alternate, and the best round of each counts, so that a
// machine busy with other work slows both alike rather than one of them.
const frames = bv.encode(pcm);
let wasmEncode = 0, wasmDecode = 0;
const native = {encodeFramesPerSecond: 0, decodeFramesPerSecond: 0};
for (let round = 0; round < ROUNDS; round++) {
    wasmEncode = Math.max(wasmEncode, rate(() => bv.encode(pcm).length / 18));
    wasmDecode = Math.max(wasmDecode, rate(() => bv.decode(frames).length / 240));
    const n = JSON.parse(execFileSync(ref, ["time", String(SECONDS), speechFile]).toString());
    native.encodeFramesPerSecond = Math.max(native.encodeFramesPerSecond, n.encodeFramesPerSecond);
    native.decodeFramesPerSecond = Math.max(native.decodeFramesPerSecond, n.decodeFramesPerSecond);
}

const realTime = 1000 / 30;  // frames per second of speech
console.log("WebAssembly codec in Node " + process.version + " against the native build:");
console.log(`  encode: ${wasmEncode.toFixed(0)} frames/s (${(wasmEncode / realTime).toFixed(0)}x real time), ` +
            `native ${native.encodeFramesPerSecond.toFixed(0)} frames/s: ` +
            `${(wasmEncode / native.encodeFramesPerSecond).toFixed(2)}x native`);
console.log(`  decode: ${wasmDecode.toFixed(0)} frames/s (${(wasmDecode / realTime).toFixed(0)}x real time), ` +
            `native ${native.decodeFramesPerSecond.toFixed(0)} frames/s: ` +
            `${(wasmDecode / native.decodeFramesPerSecond).toFixed(2)}x native`);

let total = 0, totalGz = 0;
for (const name of ["brimvox.mjs", "brimvox.wasm"]) {
    const data = fs.readFileSync(path.join(webDir, name));
    const gz = zlib.gzipSync(data, {level: 9}).length;
    total += data.length;
    totalGz += gz;
    console.log(`  ${name}: ${(data.length / 1024).toFixed(1)} KB, gzipped ${(gz / 1024).toFixed(1)} KB`);
}
console.log(`  together: ${(total / 1024).toFixed(1)} KB (limit 150), gzipped ` +
            `${(totalGz / 1024).toFixed(1)} KB (limit 70)`);
