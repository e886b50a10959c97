// Runs in the browser under test (served by tests/web/browser_test.mjs): records from the fake
// microphone and from a MediaStream, plays through Web Audio, uploads, and posts everything
// back. The server side compares the recordings with the native codec.
import {
    BvxPlayer, BvxRecorder, buildUploadBody, loadBrimvox, toWav, upload,
} from "/web/brimvox.mjs";

const params = new URLSearchParams(location.search);
const browser = params.get("browser");
const config = await (await fetch("/data/config.json")).json();
const results = {browser, userAgent: navigator.userAgent, checks: [], recordings: {}};
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function log(text) {
    document.getElementById("log").textContent += text + "\n";
    window.pageLog(text);
}

function check(name, ok, detail = "") {
    results.checks.push({name, ok: !!ok, detail: String(detail)});
    log(`${ok ? "ok  " : "FAIL"} ${name} ${detail}`);
}

async function section(name, body) {
    log(`-- ${name}`);
    try {
        await body();
    } catch (e) {
        check(`${name}: no exception`, false, `${e && e.name}: ${e && e.message}\n${e && e.stack}`);
    }
}

function base64(bytes) {
    let s = "";
    for (let i = 0; i < bytes.length; i += 0x8000) {
        s += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    }
    return btoa(s);
}

function equalBytes(a, b) {
    if (a.length !== b.length) return false;
    for (let i = 0; i < a.length; i++) if (a[i] !== b[i]) return false;
    return true;
}

async function expectRejection(name, promise, test) {
    try {
        await promise;
        check(name, false, "resolved");
    } catch (e) {
        check(name, test(e), `${e && e.name}: ${e && e.message}`);
    }
}

const bv = await loadBrimvox();
const speechFrames = new Uint8Array(await (await fetch("/data/speech.bvx")).arrayBuffer());

await section("codec: bit-exact with the native build in this browser", async () => {
    const raw = await (await fetch("/data/speech.raw")).arrayBuffer();
    const decoded = await (await fetch("/data/speech_decoded.raw")).arrayBuffer();
    check("encode equals the native encode", equalBytes(bv.encode(new Int16Array(raw)), speechFrames));
    const d = bv.createDecoder();
    const parts = [];
    for (let i = 0; i < speechFrames.length; i += 25) parts.push(d.decode(speechFrames.subarray(i, i + 25)));
    d.free();
    const joined = new Int16Array(parts.reduce((n, p) => n + p.length, 0));
    parts.reduce((at, p) => (joined.set(p, at), at + p.length), 0);
    check("streaming decode equals the native decode",
          equalBytes(new Uint8Array(joined.buffer), new Uint8Array(decoded)));
});

await section("codec inside an AudioWorklet", async () => {
    const ctx = new AudioContext();
    const source = `import {loadBrimvox} from ${JSON.stringify(new URL("/web/brimvox.mjs", location.href).href)};
class CodecProbe extends AudioWorkletProcessor {
    constructor() {
        super();
        this.port.onmessage = async (e) => {
            try {
                const bv = await loadBrimvox({wasm: e.data.module});
                this.port.postMessage({frames: bv.encode(new Int16Array(e.data.pcm))});
            } catch (err) {
                this.port.postMessage({error: String(err && err.message || err)});
            }
        };
    }
    process() { return true; }
}
registerProcessor("codec-probe", CodecProbe);`;
    const url = URL.createObjectURL(new Blob([source], {type: "text/javascript"}));
    await ctx.audioWorklet.addModule(url);
    const node = new AudioWorkletNode(ctx, "codec-probe");
    const pcm = Int16Array.from({length: 2400}, (_, i) => Math.round(9000 * Math.sin(i / 4)));
    const reply = new Promise((r) => (node.port.onmessage = (e) => r(e.data)));
    node.port.postMessage({module: bv.module, pcm: pcm.buffer});
    const got = await Promise.race([reply, sleep(8000).then(() => ({error: "no reply"}))]);
    check("AudioWorklet: loadBrimvox({wasm: module}) encodes as on the page",
          got.frames && equalBytes(got.frames, bv.encode(pcm)), got.error ?? "");
    await ctx.close();
});

// Records `seconds` and checks what every recording must satisfy.
async function record(name, options, seconds, during) {
    const blocks = [];
    const peaks = [];
    const rec = await BvxRecorder.start({...options, onBlock: (b) => blocks.push(b)});
    if (during) await during(rec);
    // The audio path may take a while to deliver its first samples on a loaded machine; from
    // then on the recording must keep pace with the clock.
    const t0 = performance.now();
    while (rec.elapsed === 0 && performance.now() - t0 < 5000) await sleep(20);
    const t1 = performance.now();
    const e1 = rec.elapsed;
    const c1 = rec.context.currentTime;
    while (performance.now() < t1 + seconds * 1000) {
        await sleep(100);
        peaks.push(rec.peak);
    }
    const elapsed = rec.elapsed;
    const wall = (performance.now() - t1) / 1000;
    const rendered = rec.context.currentTime - c1;
    const frames = await rec.stop();
    check(`${name}: every block has 54 bytes`, blocks.length > 0 && blocks.every((b) => b.length === 54),
          blocks.map((b) => b.length).filter((n) => n !== 54).join(","));
    const joined = new Uint8Array(blocks.reduce((n, b) => n + b.length, 0));
    blocks.reduce((at, b) => (joined.set(b, at), at + b.length), 0);
    check(`${name}: stop() returns the blocks given to onBlock`, equalBytes(joined, frames));
    const seconds8k = (frames.length / 18) * 0.03;
    // The recorder must keep everything the audio graph renders. The graph itself may fall
    // behind the wall clock when the machine is overloaded; that is reported, not failed.
    check(`${name}: recorded length matches elapsed, which keeps pace with the audio clock`,
          Math.abs(seconds8k - elapsed) < 0.25 && Math.abs(elapsed - e1 - rendered) < 0.3,
          `frames ${seconds8k.toFixed(2)} s, elapsed ${elapsed.toFixed(2)} s (${e1.toFixed(2)} s ` +
          `at the first block), audio clock ${rendered.toFixed(2)} s, wall ${wall.toFixed(2)} s`);
    check(`${name}: peak level in 0..1 and heard`, peaks.every((p) => p >= 0 && p <= 1) &&
          Math.max(...peaks) > 0.01, Math.max(...peaks).toFixed(3));
    check(`${name}: context closed after stop`, rec.context.state === "closed" ||
          (await sleep(200), rec.context.state === "closed"), rec.context.state);
    results.recordings[name] = base64(frames);
    return frames;
}

// A MediaStream playing the speech WAV once, from a context of its own.
async function speechStream() {
    const ctx = new AudioContext();
    await ctx.resume();
    const wav = await (await fetch("/data/speech.wav")).arrayBuffer();
    const buffer = await ctx.decodeAudioData(wav);
    const dest = ctx.createMediaStreamDestination();
    const src = ctx.createBufferSource();
    src.buffer = buffer;
    src.connect(dest);
    return {stream: dest.stream, start: () => src.start(), ctx};
}

await section("recorder: microphone", async () => {
    await record("mic", {}, config.micSeconds);
});

await section("recorder: MediaStream from a decoded WAV", async () => {
    const s = await speechStream();
    await record("stream", {stream: s.stream}, config.streamSeconds, async () => s.start());
    await s.ctx.close();
});

// Waits until the recorder has taken `seconds` of audio (a loaded machine may start late).
async function until(rec, seconds) {
    const t0 = performance.now();
    while (rec.elapsed < seconds && performance.now() - t0 < 8000) await sleep(50);
    return rec.elapsed >= seconds;
}

await section("recorder: pause and resume", async () => {
    const t0 = performance.now();
    const rec = await BvxRecorder.start({});
    check("pause: a second recorded before the pause", await until(rec, 1.0));
    rec.pause();
    check("pause: paused flag", rec.paused);
    await sleep(300);  // blocks already on their way arrive
    const atPause = rec.elapsed;
    await sleep(1000);
    check("pause: elapsed does not grow while paused", Math.abs(rec.elapsed - atPause) < 0.1,
          `${atPause.toFixed(2)} -> ${rec.elapsed.toFixed(2)}`);
    rec.resume();
    check("pause: recording continues after resume", await until(rec, atPause + 1.0));
    const frames = await rec.stop();
    const wall = (performance.now() - t0) / 1000;
    const seconds = (frames.length / 18) * 0.03;
    check("pause: the paused second is not in the recording",
          seconds > 1.9 && seconds < wall - 0.9 && Math.abs(seconds - rec.elapsed) < 0.2,
          `${seconds.toFixed(2)} s recorded, elapsed ${rec.elapsed.toFixed(2)} s, wall ${wall.toFixed(2)} s`);
    check("pause: second stop gives the same frames", equalBytes(await rec.stop(), frames));
});

await section("recorder: failures", async () => {
    await expectRejection("bad stream option is a TypeError",
                          BvxRecorder.start({stream: "mic"}), (e) => e instanceof TypeError);
    await expectRejection("bad onBlock is a TypeError",
                          BvxRecorder.start({onBlock: 5}), (e) => e instanceof TypeError);
    const md = navigator.mediaDevices;
    const realGum = md.getUserMedia;
    md.getUserMedia = async () => {
        throw new DOMException("denied by test", "NotAllowedError");
    };
    await expectRejection("refused permission", BvxRecorder.start({}),
                          (e) => e instanceof Error && /permission.*refused/.test(e.message));
    md.getUserMedia = async () => {
        throw new DOMException("none", "NotFoundError");
    };
    await expectRejection("no microphone", BvxRecorder.start({}),
                          (e) => /no microphone/.test(e.message));
    // A worklet that cannot load: the microphone and the context must be released.
    let opened = null;
    md.getUserMedia = async (c) => (opened = await realGum.call(md, c));
    const made = [];
    const RealContext = window.AudioContext;
    window.AudioContext = class extends RealContext {
        constructor(o) {
            super(o);
            made.push(this);
        }
    };
    const realAdd = AudioWorklet.prototype.addModule;
    AudioWorklet.prototype.addModule = async () => {
        throw new DOMException("blocked by test", "AbortError");
    };
    try {
        await expectRejection("worklet failure", BvxRecorder.start({}),
                              (e) => /worklet could not load/.test(e.message));
    } finally {
        AudioWorklet.prototype.addModule = realAdd;
        window.AudioContext = RealContext;
        md.getUserMedia = realGum;
    }
    // A context that never starts (a browser that wants a click first).
    const stuck = [];
    let opened2 = null;
    md.getUserMedia = async (c) => (opened2 = await realGum.call(md, c));
    window.AudioContext = class extends RealContext {
        constructor(o) {
            super(o);
            stuck.push(this);
        }
        get state() {
            return super.state === "closed" ? "closed" : "suspended";
        }
        resume() {
            return new Promise(() => {});
        }
    };
    try {
        await expectRejection("context that cannot start", BvxRecorder.start({}),
                              (e) => /audio context could not start/.test(e.message));
    } finally {
        window.AudioContext = RealContext;
        md.getUserMedia = realGum;
    }
    await sleep(300);
    check("context failure: microphone released and context closed",
          opened2 && opened2.getTracks().every((t) => t.readyState === "ended") &&
          stuck.length === 1 && stuck[0].state === "closed", stuck.map((c) => c.state).join(","));
    check("worklet failure: microphone released",
          opened && opened.getTracks().every((t) => t.readyState === "ended"));
    check("worklet failure: context closed", made.length === 1 && made[0].state === "closed",
          made.map((c) => c.state).join(","));
});

// Renders a source through an OfflineAudioContext at 8000 Hz: the output must be the decoded
// samples exactly (no resampling at that rate).
async function renderOffline(name, source, frames) {
    const expected = bv.decode(frames);
    const ctx = new OfflineAudioContext(1, expected.length + 8000, 8000);
    const player = await BvxPlayer.play(source, {context: ctx});
    const rendered = (await ctx.startRendering()).getChannelData(0);
    await player.ended;
    let worst = 0;
    for (let i = 0; i < expected.length; i++) {
        worst = Math.max(worst, Math.abs(rendered[i] - expected[i] / 32768));
    }
    let tail = 0;
    for (let i = expected.length; i < rendered.length; i++) tail = Math.max(tail, Math.abs(rendered[i]));
    check(`player ${name}: offline output equals the decoded samples`, worst < 1e-6 && tail === 0,
          `max difference ${worst}, after the end ${tail}`);
    check(`player ${name}: duration`, Math.abs(player.duration - expected.length / 8000) < 1e-9,
          player.duration);
}

await section("player: offline rendering of every source kind", async () => {
    await renderOffline("Uint8Array", speechFrames, speechFrames);
    await renderOffline("Blob", new Blob([speechFrames]), speechFrames);
    await renderOffline("URL", "/data/speech.bvx", speechFrames);
    await renderOffline("Response", await fetch("/data/speech.bvx"), speechFrames);
    const chunks = [];
    for (let i = 0; i < speechFrames.length; i += 77) chunks.push(speechFrames.slice(i, i + 77));
    const stream = new ReadableStream({
        pull(c) {
            if (chunks.length) c.enqueue(chunks.shift());
            else c.close();
        },
    });
    await renderOffline("ReadableStream", stream, speechFrames);
    await expectRejection("player: a missing URL is an Error", BvxPlayer.play("/data/none.bvx"),
                          (e) => /404/.test(e.message));
    const broken = new ReadableStream({
        pull(c) {
            c.error(new Error("network went away"));
        },
    });
    await expectRejection("player: a stream failing before any speech rejects play()",
                          BvxPlayer.play(broken), (e) => /network went away/.test(e.message));
    await expectRejection("player: a number is a TypeError", BvxPlayer.play(42),
                          (e) => e instanceof TypeError);
});

await section("player: live stream starts before it has finished loading", async () => {
    const first = speechFrames.subarray(0, 18 * 40);   // 1.2 s
    const rest = speechFrames.subarray(18 * 40, 18 * 80);  // 1.2 s more
    let player = null;
    let release;
    const gate = new Promise((r) => (release = r));
    const stream = new ReadableStream({
        async start(c) {
            c.enqueue(first);
            await gate;
            c.enqueue(rest);
            c.close();
        },
    });
    player = await BvxPlayer.play(stream);
    check("stream: duration unknown while loading", player.duration === null, player.duration);
    const t0 = performance.now();
    while (player.currentTime < 0.3 && performance.now() - t0 < 5000) await sleep(50);
    check("stream: playing before the stream finished", player.currentTime >= 0.3,
          player.currentTime.toFixed(3));
    release();
    await sleep(300);
    player.pause();
    const pausedAt = player.currentTime;
    await sleep(500);
    check("stream: pause holds the position", player.paused && player.currentTime === pausedAt,
          `${pausedAt.toFixed(3)} -> ${player.currentTime.toFixed(3)}`);
    player.resume();
    await sleep(400);
    check("stream: resume continues from the paused position",
          player.currentTime > pausedAt + 0.2 && player.currentTime < pausedAt + 0.5,
          `${pausedAt.toFixed(3)} -> ${player.currentTime.toFixed(3)}`);
    await Promise.race([player.ended, sleep(6000)]);
    check("stream: ended with the whole duration", Math.abs(player.currentTime - 2.4) < 0.05 &&
          player.duration === 2.4, `${player.currentTime.toFixed(3)} of ${player.duration}`);
    const p2 = await BvxPlayer.play(speechFrames);
    await sleep(300);
    p2.stop();
    const stoppedAt = p2.currentTime;
    await p2.ended;
    check("stop: ended resolves and the position stays", stoppedAt > 0.1 &&
          p2.currentTime === stoppedAt, stoppedAt);
});

await section("toWav", async () => {
    const wav = new Uint8Array(await toWav(speechFrames).arrayBuffer());
    const ctx = new OfflineAudioContext(1, 8000, 8000);
    const decoded = await ctx.decodeAudioData(wav.buffer.slice(0));
    check("toWav: the browser reads it as 8000 Hz audio of the right length",
          decoded.sampleRate === 8000 && decoded.length === (speechFrames.length / 18) * 240,
          `${decoded.sampleRate} Hz, ${decoded.length} samples`);
});

await section("upload", async () => {
    const frames = speechFrames.subarray(0, 18 * 60);
    const head = [`POST /retrieve from ${browser}`, "Content-Type: application/octet-stream",
                  "x", "", "five"];
    const action = `ACTION=upload;browser=${browser};frames=60`;
    const response = await upload(`/upload?browser=${browser}`, frames, {head, action});
    check("upload: the server took the body", response.ok && (await response.text()) === "stored");
    results.upload = {action, frames: base64(frames)};
    const body = new Uint8Array(await buildUploadBody({head, action, frames}).arrayBuffer());
    results.upload.body = base64(body);
    await expectRejection("upload: an HTTP error is an Error",
                          upload("/no-such-page", frames, {action}), (e) => /HTTP 404/.test(e.message));
});

await section("demo page", async () => {
    const frame = document.createElement("iframe");
    frame.allow = "microphone; autoplay";
    frame.src = "/web/index.html";
    document.body.append(frame);
    const doc = () => frame.contentDocument;
    const text = () => doc()?.getElementById("status")?.textContent ?? "";
    const waitFor = async (test) => {
        const t0 = performance.now();
        while (!test() && performance.now() - t0 < 8000) await sleep(100);
        return test();
    };
    check("demo: the codec loads", await waitFor(() => /Codec loaded/.test(text())), text());
    doc().getElementById("record").click();
    check("demo: recording", await waitFor(() => /Recording/.test(text())), text());
    await sleep(1200);
    doc().getElementById("stop").click();
    check("demo: recorded, decoded and timed",
          await waitFor(() => /Recorded: .* decoded in/.test(text())), text());
    frame.remove();
});

await fetch(`/result?browser=${browser}`, {method: "POST", body: JSON.stringify(results)});
log("done");
