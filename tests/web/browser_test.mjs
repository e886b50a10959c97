// The recorder, the player and uploads in real headless browsers.
//   node tests/web/browser_test.mjs BUILD_WEB_DIR NATIVE_BUILD_DIR [chromium] [firefox]
// Serves the test page on 127.0.0.1, starts each browser headless with a fresh profile and a
// fake microphone playing synthetic speech, and checks what the page posts back: its own
// checks, the recordings against the native codec's encode of the same 8 kHz speech, and the
// uploaded body as the native Retrieve core reads it.
import {execFileSync, spawn} from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import {fileURLToPath, pathToFileURL} from "node:url";

import {compareSpeech} from "./speech_measure.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, "../..");
const webDir = path.resolve(process.argv[2] ?? path.join(root, "build/web"));
const nativeDir = path.resolve(process.argv[3] ?? path.join(root, "build/linux"));
const wanted = process.argv.slice(4).length ? process.argv.slice(4) : ["chromium", "firefox"];
const ref = path.join(nativeDir, "tests/web/web_codec_ref");
const uploadCheck = path.join(nativeDir, "tests/web/web_upload_check");
const pageDir = path.join(here, "page");
const PAGE_TIMEOUT_MS = 75000;

// Thresholds of the speech comparison (see docs/web.md): the recorded speech, decoded, against
// the native decode of the native encode of the same 8 kHz signal.
const MIN_CORRELATION = 0.75;
const MAX_LSD_DB = 10.0;
const MIN_SEGSNR_DB = 4.0;

const tmp = fs.mkdtempSync(path.join(os.tmpdir(), "brimvox-browser-"));
const children = new Set();
function cleanup() {
    for (const c of children) {
        try {
            process.kill(-c.pid, "SIGKILL");
        } catch (e) {
            // already gone
        }
    }
    fs.rmSync(tmp, {recursive: true, force: true});
}
process.on("exit", cleanup);
for (const sig of ["SIGINT", "SIGTERM"]) process.on(sig, () => process.exit(1));

const api = await import(pathToFileURL(path.join(webDir, "brimvox.mjs")).href);
const bv = await api.loadBrimvox();

function readPcm(file) {
    const b = fs.readFileSync(file);
    return new Int16Array(b.buffer.slice(b.byteOffset, b.byteOffset + b.length - (b.length % 2)));
}

// Speech at 8000 Hz: 0.3 s of silence, a sentence, 0.3 s of silence.
function makeSpeech() {
    const wav = path.join(tmp, "espeak.wav");
    execFileSync("espeak-ng", ["-s", "160", "-w", wav, "Seven bright spoons of fresh snow peas."]);
    const raw = path.join(tmp, "speech.raw");
    execFileSync("sox", [wav, "-r", "8000", "-c", "1", "-b", "16", "-e", "signed-integer", "-L",
                         "-t", "raw", raw, "vol", "0.8", "pad", "0.3", "0.3"]);
    const out = path.join(tmp, "speech.wav");
    execFileSync("sox", ["-r", "8000", "-c", "1", "-b", "16", "-e", "signed-integer", "-L",
                         "-t", "raw", raw, out]);
    const bvx = path.join(tmp, "speech.bvx");
    execFileSync(ref, ["encode", raw, bvx]);
    const decoded = path.join(tmp, "speech_decoded.raw");
    execFileSync(ref, ["decode", bvx, decoded]);
    return {wav: out, bvx, reference: readPcm(decoded), seconds: readPcm(raw).length / 8000};
}

const speech = makeSpeech();
const config = {micSeconds: Math.ceil(2 * speech.seconds + 0.6),
                streamSeconds: Math.ceil(speech.seconds + 2.0)};

const types = {".mjs": "text/javascript", ".js": "text/javascript", ".html": "text/html",
               ".wasm": "application/wasm", ".wav": "audio/wav", ".json": "application/json"};
const results = new Map();
const uploads = new Map();
const waiters = new Map();

function serveFile(res, file) {
    if (!fs.existsSync(file) || !fs.statSync(file).isFile()) {
        res.writeHead(404).end("not found");
        return;
    }
    res.writeHead(200, {"Content-Type": types[path.extname(file)] ?? "application/octet-stream",
                        "Cache-Control": "no-store"});
    fs.createReadStream(file).pipe(res);
}

function readBody(req) {
    return new Promise((resolve, reject) => {
        const parts = [];
        req.on("data", (d) => parts.push(d));
        req.on("end", () => resolve(Buffer.concat(parts)));
        req.on("error", reject);
    });
}

const server = http.createServer(async (req, res) => {
    const url = new URL(req.url, "http://127.0.0.1");
    const p = url.pathname;
    const inside = (dir, rel) => {
        const file = path.resolve(dir, "." + path.posix.normalize("/" + rel));
        return file.startsWith(dir) ? file : null;
    };
    if (req.method === "POST" && p === "/upload") {
        uploads.set(url.searchParams.get("browser"), await readBody(req));
        res.writeHead(200).end("stored");
    } else if (req.method === "POST" && p === "/result") {
        const browser = url.searchParams.get("browser");
        results.set(browser, JSON.parse((await readBody(req)).toString("utf8")));
        res.writeHead(200).end("ok");
        waiters.get(browser)?.();
    } else if (req.method === "POST" && p === "/log") {
        const text = (await readBody(req)).toString("utf8");
        if (process.env.BRIMVOX_WEB_VERBOSE || !text.startsWith("ok  ")) {
            console.log(`  [${url.searchParams.get("browser")} page] ${text}`);
        }
        res.writeHead(200).end("ok");
    } else if (p === "/data/config.json") {
        res.writeHead(200, {"Content-Type": "application/json"}).end(JSON.stringify(config));
    } else if (p === "/data/speech.wav") {
        serveFile(res, speech.wav);
    } else if (p === "/data/speech.raw" || p === "/data/speech_decoded.raw") {
        serveFile(res, path.join(tmp, p.slice(6)));
    } else if (p === "/data/speech.bvx") {
        serveFile(res, speech.bvx);
    } else if (p.startsWith("/web/")) {
        serveFile(res, inside(webDir, p.slice(5)));
    } else if (p.startsWith("/test/")) {
        serveFile(res, inside(pageDir, p.slice(6)));
    } else {
        res.writeHead(404).end("not found");
    }
});
await new Promise((r) => server.listen(0, "127.0.0.1", r));
const base = `http://127.0.0.1:${server.address().port}`;

function versionOf(command) {
    try {
        return execFileSync(command, ["--version"], {stdio: ["ignore", "pipe", "ignore"]})
            .toString().trim().split("\n").pop();
    } catch (e) {
        return `${command}: not runnable (${e.message})`;
    }
}

// Firefox needs a sound server for Web Audio to run at all: a private PulseAudio server with a
// null sink as the speaker and, as the microphone, a source fed by a null sink that plays the
// speech WAV over and over.
async function startSoundServer() {
    const dir = fs.mkdtempSync(path.join(tmp, "pulse-"));
    fs.writeFileSync(path.join(dir, "pa.conf"), [
        "load-module module-null-sink sink_name=spk rate=48000 channels=2 norewinds=1",
        "load-module module-null-sink sink_name=mic rate=48000 channels=1 norewinds=1",
        "load-module module-remap-source master=mic.monitor source_name=micin channels=1",
        "set-default-sink spk",
        "set-default-source micin",
        `load-module module-native-protocol-unix auth-anonymous=1 socket=${dir}/native`,
        ""].join("\n"));
    const env = {...process.env, PULSE_RUNTIME_PATH: path.join(dir, "run"), HOME: dir};
    // It ends by itself 20 s after its last client, should this process be killed first.
    execFileSync("pulseaudio", ["--daemonize=yes", "--exit-idle-time=20", "-n", "-F",
                                path.join(dir, "pa.conf"), `--log-target=file:${dir}/log.txt`],
                 {env});
    const pid = Number(fs.readFileSync(path.join(dir, "run/pid"), "utf8"));
    const server = {pid, env: {PULSE_SERVER: `unix:${dir}/native`}, player: null, stopped: false};
    const play = () => {
        if (server.stopped) return;
        server.player = spawn("paplay", ["--device=mic", speech.wav],
                              {env: {...process.env, ...server.env}, stdio: "ignore"});
        server.player.once("exit", play);
    };
    play();
    server.stop = () => {
        server.stopped = true;
        server.player?.kill("SIGKILL");
        try {
            process.kill(pid, "SIGTERM");
        } catch (e) {
            // already gone
        }
    };
    process.on("exit", server.stop);
    return server;
}

function launch(browser, url, extraEnv = {}) {
    const profile = fs.mkdtempSync(path.join(tmp, `${browser}-profile-`));
    let command, args;
    if (browser === "chromium") {
        command = "chromium";
        args = ["--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-extensions", "--disable-default-apps", "--mute-audio",
                `--user-data-dir=${profile}`, "--use-fake-ui-for-media-stream",
                "--use-fake-device-for-media-stream",
                `--use-file-for-fake-audio-capture=${speech.wav}`,
                "--autoplay-policy=no-user-gesture-required", url];
    } else {
        command = "firefox-esr";
        const prefs = {
            // The sound server's microphone, without a permission prompt.
            "media.navigator.permission.disabled": true,
            "media.autoplay.default": 0,
            "media.autoplay.block-webaudio": false,
            "media.autoplay.blocking_policy": 0,
            // Nothing from the network but the test server.
            "app.update.enabled": false,
            "app.update.auto": false,
            "app.normandy.enabled": false,
            "browser.shell.checkDefaultBrowser": false,
            "browser.startup.homepage_override.mstone": "ignore",
            "browser.aboutwelcome.enabled": false,
            "browser.safebrowsing.malware.enabled": false,
            "browser.safebrowsing.phishing.enabled": false,
            "browser.safebrowsing.downloads.enabled": false,
            "datareporting.policy.dataSubmissionEnabled": false,
            "datareporting.healthreport.uploadEnabled": false,
            "toolkit.telemetry.enabled": false,
            "extensions.update.enabled": false,
            "extensions.getAddons.cache.enabled": false,
            "media.gmp-manager.updateEnabled": false,
            "network.captive-portal-service.enabled": false,
            "network.connectivity-service.enabled": false,
            "network.dns.disablePrefetch": true,
            "network.prefetch-next": false,
            "services.settings.server": "http://127.0.0.1:9/",
            "browser.region.network.url": "",
            "geo.provider.network.url": "",
        };
        fs.writeFileSync(path.join(profile, "user.js"), Object.entries(prefs)
            .map(([k, v]) => `user_pref(${JSON.stringify(k)}, ${JSON.stringify(v)});\n`).join(""));
        args = ["--headless", "--no-remote", "--profile", profile, url];
    }
    const log = fs.openSync(path.join(tmp, `${browser}.log`), "w");
    const child = spawn(command, args, {detached: true, stdio: ["ignore", log, log],
                                        env: {...process.env, MOZ_HEADLESS: "1", ...extraEnv}});
    children.add(child);
    return child;
}

function stopBrowser(child) {
    try {
        process.kill(-child.pid, "SIGTERM");
    } catch (e) {
        // already gone
    }
    return new Promise((resolve) => {
        const timer = setTimeout(() => {
            try {
                process.kill(-child.pid, "SIGKILL");
            } catch (e) {
                // already gone
            }
            resolve();
        }, 3000);
        child.once("exit", () => {
            clearTimeout(timer);
            resolve();
        });
    }).then(() => children.delete(child));
}

function fromBase64(text) {
    return new Uint8Array(Buffer.from(text, "base64"));
}

let failures = 0;
function report(browser, name, ok, detail = "") {
    if (!ok) failures++;
    console.log(`${ok ? "ok  " : "FAIL"} [${browser}] ${name}${detail ? ": " + detail : ""}`);
}

function checkSpeech(browser, name, frames) {
    const y = bv.decode(frames);
    if (process.env.BRIMVOX_WEB_KEEP) {
        fs.writeFileSync(path.join(process.env.BRIMVOX_WEB_KEEP, `${browser}-${name}.raw`), y);
        fs.copyFileSync(path.join(tmp, "speech_decoded.raw"),
                        path.join(process.env.BRIMVOX_WEB_KEEP, "reference.raw"));
    }
    const m = compareSpeech(y, speech.reference);
    const detail = `correlation ${m.correlation.toFixed(3)}, segmental SNR ${m.segSnrDb.toFixed(1)} dB, ` +
                   `log-spectral distance ${m.lsdDb.toFixed(2)} dB (medians of ${m.pieces} pieces, ` +
                   `${m.segments} segments)`;
    report(browser, `${name}: recorded speech matches the native encode`,
           m.pieces >= 3 && m.correlation >= MIN_CORRELATION && m.lsdDb <= MAX_LSD_DB && m.segSnrDb >= MIN_SEGSNR_DB,
           detail);
}

function checkUpload(browser, result) {
    const body = uploads.get(browser);
    if (!result.upload || !body) {
        report(browser, "upload: body received", false);
        return;
    }
    const sent = fromBase64(result.upload.body);
    report(browser, "upload: fetch sent the body buildUploadBody built",
           Buffer.compare(Buffer.from(sent), body) === 0, `${body.length} bytes`);
    const dir = fs.mkdtempSync(path.join(tmp, `upload-${browser}-`));
    fs.writeFileSync(path.join(dir, "body"), body);
    try {
        execFileSync(uploadCheck, ["body", "action", "data"], {cwd: dir});
    } catch (e) {
        report(browser, "upload: Retrieve parses the body", false, e.message);
        return;
    }
    const action = fs.readFileSync(path.join(dir, "action"), "latin1");
    const data = fs.readFileSync(path.join(dir, "data"));
    report(browser, "upload: Retrieve's Action is the ACTION line", action === result.upload.action,
           JSON.stringify(action));
    report(browser, "upload: Retrieve's DataToTheEnd gives the frames",
           Buffer.compare(data, Buffer.from(fromBase64(result.upload.frames))) === 0,
           `${data.length} bytes`);
}

const versions = {};
const started = Date.now();
for (const browser of wanted) {
    const command = browser === "chromium" ? "chromium" : "firefox-esr";
    versions[browser] = versionOf(command);
    const t0 = Date.now();
    const done = new Promise((resolve) => waiters.set(browser, resolve));
    const sound = browser === "firefox" ? await startSoundServer() : null;
    const child = launch(browser, `${base}/test/index.html?browser=${browser}`, sound?.env);
    const exited = new Promise((resolve) => child.once("exit", (code) => resolve(code)));
    const outcome = await Promise.race([
        done.then(() => "done"),
        exited.then((code) => `exited with ${code} before posting results`),
        new Promise((r) => setTimeout(() => r(`no results within ${PAGE_TIMEOUT_MS / 1000} s`),
                                      PAGE_TIMEOUT_MS)),
    ]);
    await stopBrowser(child);
    sound?.stop();
    console.log(`# ${versions[browser]}: ${((Date.now() - t0) / 1000).toFixed(1)} s`);
    if (outcome !== "done") {
        report(browser, "the test page ran", false, outcome);
        const log = fs.readFileSync(path.join(tmp, `${browser}.log`), "utf8");
        console.log(log.split("\n").slice(-30).join("\n"));
        continue;
    }
    const result = results.get(browser);
    console.log(`# ${result.userAgent}`);
    for (const c of result.checks) report(browser, c.name, c.ok, c.detail);
    if (result.recordings.mic) {
        checkSpeech(browser, "microphone", fromBase64(result.recordings.mic));
    }
    if (result.recordings.stream) {
        checkSpeech(browser, "MediaStream", fromBase64(result.recordings.stream));
    }
    checkUpload(browser, result);
}
server.close();
console.log(`# browsers: ${Object.values(versions).join("; ")}`);
console.log(`# browser tests: ${failures === 0 ? "passed" : failures + " failed"} in ` +
            `${((Date.now() - started) / 1000).toFixed(1)} s`);
process.exit(failures === 0 ? 0 : 1);
