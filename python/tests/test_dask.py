"""Conversion on a Dask LocalCluster of two worker processes, one of them killed mid-way."""

import os
import signal
import threading
import time

import numpy as np
from distributed import Client, LocalCluster

import brimvox
import brimvox.convert
from conftest import write_wav

FILES = 24
SECONDS = 12


def test_killed_worker_batch_is_redone_and_files_are_the_same(tmp_path, speech, capsys):
    rng = np.random.default_rng(3)
    src, dst = tmp_path / "src", tmp_path / "dst"
    inputs = {}
    for i in range(FILES):
        # 44.1 kHz input: resampling makes each file take long enough to kill a worker mid-batch
        start = int(rng.integers(0, len(speech) - 8000))
        pcm = np.tile(np.roll(speech, -start), 2)[: SECONDS * 8000]
        pcm441 = np.repeat(pcm, 6)[: SECONDS * 44100] // (1 + i % 3)
        rel = f"d{i % 3}/f{i:02d}.wav"
        (src / rel).parent.mkdir(parents=True, exist_ok=True)
        write_wav(src / rel, pcm441, 44100)
        inputs[rel.replace(".wav", ".bvx")] = pcm441

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=40) as cluster, Client(cluster) as client:
        pids = client.run(os.getpid)
        result = {}
        started = time.monotonic()
        runner = threading.Thread(target=lambda: result.update(summary=brimvox.convert.run(
            str(src), str(dst), "bvx", client=client, batches_per_worker=2, progress=False,
            report=lambda text: None)))
        runner.start()
        killed = None
        while runner.is_alive() and killed is None:
            if sum(1 for _ in dst.rglob("*.bvx")) >= 2:
                busy = {w: keys for w, keys in client.processing().items() if keys}
                if busy:
                    address, keys = next(iter(busy.items()))
                    killed = (pids[address], list(keys))
                    os.kill(pids[address], signal.SIGKILL)
            time.sleep(0.01)
        runner.join(timeout=120)
        elapsed = time.monotonic() - started
        assert not runner.is_alive()
    assert killed, "the run ended before a worker could be killed"
    summary = result["summary"]
    assert summary.failed == 0, summary.failures
    assert summary.converted + summary.skipped == FILES
    for rel, pcm in inputs.items():
        assert (dst / rel).read_bytes() == brimvox.encode(pcm, 44100), rel
    assert not [p for p in dst.rglob("*") if p.name.endswith(".part")]

    # The killed worker's batches were run again elsewhere; files it had finished were skipped.
    # (A batch listed for the killed worker may have finished just before the kill; the one it
    # was running cannot have.)
    pid, keys = killed
    by_rel = {o.rel: o for o in summary.outcomes}
    redone_keys = [k for k in keys
                   if not any(by_rel[r].worker.endswith(f":{pid}") for r in summary.batches[k])]
    assert redone_keys, "no batch of the killed worker was run again"
    redone = [by_rel[r] for k in redone_keys for r in summary.batches[k]]
    with capsys.disabled():
        print(f"\n[dask] {FILES} files, {FILES * SECONDS} s of 44.1 kHz audio in {elapsed:.1f} s "
              f"on 2 worker processes; killed worker pid {pid} while it held {len(keys)} "
              f"batch(es); {len(redone_keys)} ({len(redone)} files) redone by a live worker: "
              f"{sum(o.status == 'skipped' for o in redone)} found finished and skipped, "
              f"{sum(o.status == 'converted' for o in redone)} converted")
