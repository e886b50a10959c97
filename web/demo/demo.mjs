// The demo page: record with a level meter and a waveform, play back, download, open a file.
import {BvxPlayer, BvxRecorder, loadBrimvox} from "./brimvox.mjs";

const $ = (id) => document.getElementById(id);
const status = (text, error = false) => {
    $("status").textContent = text;
    $("status").className = error ? "status error" : "status";
};

let bv;
let recorder = null;
let player = null;
let frames = null;
let liveBlocks = [];

try {
    bv = await loadBrimvox();
    status("Codec loaded. Press Record (the browser will ask for the microphone).");
} catch (e) {
    status(e.message, true);
}

// Waveform of decoded speech: one min/max bar per pixel column.
function drawWave(pcm) {
    const canvas = $("wave");
    const g = canvas.getContext("2d");
    g.clearRect(0, 0, canvas.width, canvas.height);
    g.fillStyle = "#3a7";
    const mid = canvas.height / 2;
    const per = Math.max(1, Math.ceil(pcm.length / canvas.width));
    for (let x = 0; x * per < pcm.length; x++) {
        let lo = 0, hi = 0;
        for (let i = x * per; i < Math.min(pcm.length, (x + 1) * per); i++) {
            lo = Math.min(lo, pcm[i]);
            hi = Math.max(hi, pcm[i]);
        }
        g.fillRect(x, mid - (hi / 32768) * mid, 1, Math.max(1, ((hi - lo) / 32768) * mid));
    }
}

function setRecording(on) {
    $("record").disabled = on;
    $("pause").disabled = !on;
    $("stop").disabled = !on;
    for (const id of ["play", "bvx", "wav"]) $(id).disabled = on || !frames;
}

// Decodes frames, shows the waveform and how fast the decoding ran.
function show(newFrames, label) {
    frames = newFrames;
    // Browsers round the clock to a millisecond or more: time repeated decodes of short input.
    const t0 = performance.now();
    let pcm, runs = 0;
    do {
        pcm = bv.decode(frames);
        runs++;
    } while (performance.now() - t0 < 50 && runs < 1000);
    const ms = (performance.now() - t0) / runs;
    drawWave(pcm);
    const seconds = pcm.length / 8000;
    status(`${label}: ${seconds.toFixed(2)} s of speech in ${frames.length} bytes; decoded in ` +
           `${ms.toFixed(2)} ms (${(seconds * 1000 / Math.max(ms, 1e-3)).toFixed(0)}x real time).`);
    setRecording(false);
}

function tick() {
    if (!recorder) return;
    $("time").textContent = `${recorder.elapsed.toFixed(1)} s`;
    $("level").style.width = `${Math.min(100, recorder.peak * 100).toFixed(0)}%`;
    requestAnimationFrame(tick);
}

$("record").onclick = async () => {
    liveBlocks = [];
    try {
        recorder = await BvxRecorder.start({
            onBlock: (block) => {
                liveBlocks.push(block);
                // Live waveform of the last few seconds, decoded from the blocks as they come.
                if (liveBlocks.length % 3 === 0) {
                    const recent = liveBlocks.slice(-60);
                    const joined = new Uint8Array(recent.length * 54);
                    recent.forEach((b, i) => joined.set(b, i * 54));
                    drawWave(bv.decode(joined));
                }
            },
        });
    } catch (e) {
        status(e.message, true);
        return;
    }
    setRecording(true);
    status("Recording…");
    tick();
};

$("pause").onclick = () => {
    if (recorder.paused) {
        recorder.resume();
        $("pause").textContent = "Pause";
    } else {
        recorder.pause();
        $("pause").textContent = "Resume";
    }
};

$("stop").onclick = async () => {
    const r = recorder;
    recorder = null;
    $("pause").textContent = "Pause";
    $("level").style.width = "0";
    try {
        show(await r.stop(), "Recorded");
    } catch (e) {
        status(e.message, true);
        setRecording(false);
    }
};

$("play").onclick = async () => {
    player?.stop();
    try {
        player = await BvxPlayer.play(frames);
    } catch (e) {
        status(e.message, true);
        return;
    }
    $("playPause").disabled = false;
    $("playPause").textContent = "Pause playback";
    const p = player;
    const show = () => {
        if (player !== p) return;
        $("time").textContent = `${p.currentTime.toFixed(1)} / ${(p.duration ?? 0).toFixed(1)} s`;
        requestAnimationFrame(show);
    };
    show();
    p.ended.then(() => {
        if (player === p) $("playPause").disabled = true;
    }, (e) => status(e.message, true));
};

$("playPause").onclick = () => {
    if (!player) return;
    if (player.paused) {
        player.resume();
        $("playPause").textContent = "Pause playback";
    } else {
        player.pause();
        $("playPause").textContent = "Resume playback";
    }
};

function download(blob, name) {
    const a = document.createElement("a");
    a.href = URL.createObjectURL(blob);
    a.download = name;
    a.click();
    setTimeout(() => URL.revokeObjectURL(a.href), 1000);
}

$("bvx").onclick = () => download(new Blob([frames], {type: "application/octet-stream"}),
                                  "speech.bvx");
$("wav").onclick = () => download(bv.toWav(frames), "speech.wav");

const drop = $("drop");
drop.ondragover = (e) => {
    e.preventDefault();
    drop.classList.add("over");
};
drop.ondragleave = () => drop.classList.remove("over");
drop.ondrop = async (e) => {
    e.preventDefault();
    drop.classList.remove("over");
    const file = e.dataTransfer.files[0];
    if (!file) return;
    if (file.size % 18 !== 0) {
        status(`${file.name} is ${file.size} bytes, not whole 18-byte frames; the rest is ignored.`);
    }
    show(new Uint8Array(await file.arrayBuffer()), file.name);
};
