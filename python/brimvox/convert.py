"""Archive conversion: a tree of .bvx files to sound files, or sound files to .bvx.

Locally the files are converted by a pool of threads (the codec releases the GIL); with a
Dask client the file list is cut into batches that run as tasks on the cluster. Dask runs a
task again on another worker when its worker dies, and a batch skips files that are already
there, so the result is the same files either way. Every output is written under a unique
temporary name and renamed into place once complete: a half-written file never carries the
final name, and an existing output is never touched.
"""

from __future__ import annotations

import concurrent.futures
import math
import os
import posixpath
import re
import shutil
import socket
import sys
import tempfile
import time
import uuid
from dataclasses import dataclass, field
from typing import Callable, Iterable, List, Optional, Sequence, Tuple

from . import _core

TARGETS = ("wav", "flac", "ogg", "opus", "bvx")
# Sound files taken as input for --to bvx (what libsndfile reads).
SOUND_SUFFIXES = (
    ".wav", ".wave", ".flac", ".ogg", ".oga", ".opus", ".mp3", ".aiff", ".aif", ".aifc", ".au",
    ".snd", ".w64", ".caf", ".rf64",
)
PART_SUFFIX = ".part"
_PART_RE = re.compile(r"^\..+\.[0-9a-f]{12}\.part$")


@dataclass(frozen=True)
class Job:
    src: str  # full path or URL of the input
    dst: str  # full path or URL of the output
    rel: str  # output path relative to the destination root, for messages


@dataclass
class Outcome:
    rel: str
    status: str  # "converted", "skipped" (found already converted) or "failed"
    message: str = ""
    seconds: float = 0.0  # duration of the audio converted
    worker: str = ""  # host:pid of the process that handled the file
    note: str = ""  # what a converted file had that the user should know of


@dataclass
class Summary:
    converted: int = 0
    skipped: int = 0
    failed: int = 0
    seconds: float = 0.0
    elapsed: float = 0.0
    failures: List[Outcome] = field(default_factory=list)
    outcomes: List[Outcome] = field(default_factory=list)
    # Dask runs: task key -> the relative output paths of its batch
    batches: dict = field(default_factory=dict)

    def add(self, outcome: Outcome) -> None:
        self.outcomes.append(outcome)
        if outcome.status == "converted":
            self.converted += 1
            self.seconds += outcome.seconds
        elif outcome.status == "skipped":
            self.skipped += 1
        else:
            self.failed += 1
            self.failures.append(outcome)

    def text(self) -> str:
        return (
            f"converted {self.converted}, skipped {self.skipped} (already converted), "
            f"failed {self.failed} file(s); {self.seconds:.1f} s of audio in "
            f"{self.elapsed:.1f} s"
        )


def _filesystem(url: str):
    """(filesystem, root path) of a local path or an fsspec URL."""
    if "://" not in url and "::" not in url:
        from fsspec.implementations.local import LocalFileSystem

        return LocalFileSystem(), os.path.abspath(url)
    import fsspec.core

    fs, root = fsspec.core.url_to_fs(url)
    return fs, root.rstrip("/")


def _is_local(fs) -> bool:
    from fsspec.implementations.local import LocalFileSystem

    return isinstance(fs, LocalFileSystem)


def _join(fs, root: str, rel: str) -> str:
    if _is_local(fs):
        return os.path.join(root, *rel.split("/"))
    return posixpath.join(root, rel)


def _url(fs, path: str) -> str:
    """A path of `fs` as a URL a worker process can open again."""
    if _is_local(fs):
        return path
    return fs.unstrip_protocol(path)


def plan(src: str, dst: str, to: str) -> Tuple[List[Job], int]:
    """The conversions to run and the number of outputs that already exist.

    Inputs are the .bvx files under ``src`` (sound files with ``to="bvx"``); each output keeps
    the input's relative path with the extension of ``to``.
    """
    if to not in TARGETS:
        raise ValueError(f"--to must be one of {', '.join(TARGETS)}, not {to!r}")
    src_fs, src_root = _filesystem(src)
    dst_fs, dst_root = _filesystem(dst)
    if not src_fs.isdir(src_root):
        raise FileNotFoundError(f"{src}: no such directory")
    existing = set()
    if dst_fs.isdir(dst_root):
        for path in dst_fs.find(dst_root):
            existing.add(_relative(dst_fs, dst_root, path))
    jobs, skipped = [], 0
    for path in sorted(src_fs.find(src_root)):
        rel_in = _relative(src_fs, src_root, path)
        name = rel_in.rsplit("/", 1)[-1]
        if name.startswith(".") and name.endswith(PART_SUFFIX):
            continue
        suffix = os.path.splitext(name)[1].lower()
        wanted = suffix in SOUND_SUFFIXES if to == "bvx" else suffix == ".bvx"
        if not wanted:
            continue
        rel_out = os.path.splitext(rel_in)[0] + "." + to
        if rel_out in existing:
            skipped += 1
            continue
        jobs.append(Job(_url(src_fs, path), _url(dst_fs, _join(dst_fs, dst_root, rel_out)), rel_out))
    return jobs, skipped


def _relative(fs, root: str, path: str) -> str:
    if _is_local(fs):
        return os.path.relpath(path, root).replace(os.sep, "/")
    path = fs._strip_protocol(path)
    return posixpath.relpath(path, fs._strip_protocol(root))


def _worker_name() -> str:
    return f"{socket.gethostname()}:{os.getpid()}"


def _convert_local(src: str, dst: str, to: str) -> Tuple[float, str]:
    """Converts one local file into a temporary name beside `dst`, then renames it."""
    folder, name = os.path.split(dst)
    os.makedirs(folder, exist_ok=True)
    tmp = os.path.join(folder, f".{name}.{uuid.uuid4().hex[:12]}{PART_SUFFIX}")
    try:
        if to == "bvx":
            result = _core.encode_sound_file(src, tmp)
        else:
            result = _core.decode_to_sound_file(src, tmp, to, False)
        os.replace(tmp, dst)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    frames, bad, trailing, seconds = result
    notes = []
    if bad:
        notes.append(f"{bad} of {frames} frames are bad (decoded as lost)")
    if trailing:
        notes.append(f"ignored {trailing} trailing bytes (not a whole frame)")
    return seconds, "; ".join(notes)


def convert_file(job: Job, to: str) -> Outcome:
    """Converts one file; a failure becomes an Outcome with the error's text."""
    worker = _worker_name()
    try:
        src_fs, src_path = _filesystem(job.src)
        dst_fs, dst_path = _filesystem(job.dst)
        if dst_fs.exists(dst_path):
            return Outcome(job.rel, "skipped", "already converted", worker=worker)
        if _is_local(src_fs) and _is_local(dst_fs):
            seconds, note = _convert_local(src_path, dst_path, to)
        else:
            seconds, note = _convert_remote(src_fs, src_path, dst_fs, dst_path, to)
        return Outcome(job.rel, "converted", seconds=seconds, worker=worker, note=note)
    except Exception as e:  # whatever one file does, the run goes on
        return Outcome(job.rel, "failed", _error_text(job, e), worker=worker)


def _error_text(job: Job, e: BaseException) -> str:
    text = str(e) if isinstance(e, (OSError, ValueError)) else f"{type(e).__name__}: {e}"
    if isinstance(e, OSError) and e.strerror and e.filename:
        text = f"{e.filename}: {e.strerror}"
    return text if job.src in text or job.dst in text else f"{job.src}: {text}"


def _convert_remote(src_fs, src_path, dst_fs, dst_path, to) -> Tuple[float, str]:
    """Converts through local temporary files: fetch, convert, upload, move into place."""
    suffix = os.path.splitext(src_path)[1]
    with tempfile.TemporaryDirectory(prefix="brimvox-") as scratch:
        local_src = os.path.join(scratch, "in" + suffix)
        local_dst = os.path.join(scratch, "out." + to)
        if _is_local(src_fs):
            local_src = src_path
        else:
            src_fs.get_file(src_path, local_src)
        seconds, note = _convert_local(local_src, local_dst, to)
        if _is_local(dst_fs):
            folder, name = os.path.split(dst_path)
            os.makedirs(folder, exist_ok=True)
            tmp = os.path.join(folder, f".{name}.{uuid.uuid4().hex[:12]}{PART_SUFFIX}")
            shutil.copyfile(local_dst, tmp)
            os.replace(tmp, dst_path)
        else:
            # Object stores publish an upload only once it is complete; other file systems
            # get a temporary name first.
            folder, name = posixpath.split(dst_path)
            tmp = posixpath.join(folder, f".{name}.{uuid.uuid4().hex[:12]}{PART_SUFFIX}")
            dst_fs.makedirs(folder, exist_ok=True)
            dst_fs.put_file(local_dst, tmp)
            try:
                dst_fs.mv(tmp, dst_path)
            except BaseException:
                if dst_fs.exists(tmp):
                    dst_fs.rm(tmp)
                raise
    return seconds, note


def convert_batch(jobs: Sequence[Job], to: str) -> List[Outcome]:
    """One Dask task: converts the files of a batch one after the other."""
    return [convert_file(job, to) for job in jobs]


def _batches(jobs: Sequence[Job], count: int) -> List[List[Job]]:
    size = max(1, math.ceil(len(jobs) / max(1, count)))
    return [list(jobs[i : i + size]) for i in range(0, len(jobs), size)]


def _remove_stale_parts(jobs: Iterable[Job]) -> None:
    """Removes temporary files a killed process left beside this run's outputs."""
    folders = {}
    for job in jobs:
        fs, path = _filesystem(job.dst)
        if _is_local(fs):
            folder, name = os.path.split(path)
            folders.setdefault(folder, set()).add(name)
    for folder, names in folders.items():
        try:
            entries = os.listdir(folder)
        except OSError:
            continue
        for entry in entries:
            if _PART_RE.match(entry) and entry[1:-18] in names:
                try:
                    os.unlink(os.path.join(folder, entry))
                except OSError:
                    pass


def run(
    src: str,
    dst: str,
    to: str,
    jobs: int = 0,
    client=None,
    batches_per_worker: int = 4,
    progress: Optional[bool] = None,
    report: Optional[Callable[[str], None]] = None,
) -> Summary:
    """Converts the tree ``src`` into ``dst``; returns the summary.

    ``jobs`` threads convert locally (0: one per processor). With a Dask ``client``, the files
    go to the cluster in batches (about ``batches_per_worker`` per worker thread).
    Failures are reported through ``report`` (default: stderr) and counted; they never stop
    the run.
    """
    from tqdm import tqdm

    started = time.monotonic()
    planned, skipped = plan(src, dst, to)
    summary = Summary(skipped=skipped)
    report = report or (lambda text: tqdm.write(text, file=sys.stderr))
    # progress None: a bar when stderr is a terminal
    bar = tqdm(total=len(planned), unit="file", disable=None if progress is None else not progress,
               file=sys.stderr, dynamic_ncols=True)

    def take(outcome: Outcome) -> None:
        summary.add(outcome)
        if outcome.status == "failed":
            report(f"brimvox convert: {outcome.message}")
        elif outcome.note:
            report(f"brimvox convert: note: {outcome.rel}: {outcome.note}")
        bar.update(1)

    try:
        if client is not None:
            _run_dask(client, planned, to, batches_per_worker, take, summary)
        elif (jobs or os.cpu_count() or 1) == 1 or len(planned) <= 1:
            for job in planned:
                take(convert_file(job, to))
        else:
            with concurrent.futures.ThreadPoolExecutor(jobs or os.cpu_count()) as pool:
                futures = [pool.submit(convert_file, job, to) for job in planned]
                for future in concurrent.futures.as_completed(futures):
                    take(future.result())
    finally:
        bar.close()
        _remove_stale_parts(planned)
    summary.elapsed = time.monotonic() - started
    return summary


def _run_dask(client, planned, to, batches_per_worker, take, summary) -> None:
    from distributed import as_completed

    threads = sum(client.nthreads().values()) or 1
    batches = _batches(planned, threads * batches_per_worker)
    futures = client.map(convert_batch, batches, to=to, pure=False)
    index = {future.key: batch for future, batch in zip(futures, batches)}
    summary.batches = {key: [job.rel for job in batch] for key, batch in index.items()}
    for future in as_completed(futures):
        batch = index[future.key]
        try:
            outcomes = future.result()
        except Exception as e:  # the batch failed as a whole, e.g. its workers kept dying
            outcomes = [Outcome(job.rel, "failed", f"{job.src}: {type(e).__name__}: {e}")
                        for job in batch]
        for outcome in outcomes:
            take(outcome)
