"""Archive conversion on this machine: local paths, fsspec paths and the command line."""

import os
import subprocess
import sys

import numpy as np
import pytest

import brimvox
import brimvox.convert
from conftest import read_wav, write_wav


@pytest.fixture
def archive(tmp_path, speech):
    """A tree of .bvx files, a sound file posing as one, and a file to leave alone."""
    src = tmp_path / "src"
    files = {
        "top.bvx": speech[:8000],
        "a/m1.bvx": speech[8000:24000],
        "a/b/m2.bvx": speech[24000:30001],
    }
    for rel, pcm in files.items():
        (src / rel).parent.mkdir(parents=True, exist_ok=True)
        brimvox.write(src / rel, pcm)
    write_wav(src / "a" / "b" / "bad.bvx", speech[:800], 8000)
    (src / "notes.txt").write_text("not audio")
    return src, {rel: (src / rel).read_bytes() for rel in files}


def tree(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_file())


@pytest.mark.parametrize("to", ["wav", "flac", "ogg", "opus"])
def test_tree_converts_keeping_paths_skipping_done_and_reporting_bad_files(archive, tmp_path, to):
    src, frames = archive
    dst = tmp_path / "dst"
    reports = []
    summary = brimvox.convert.run(str(src), str(dst), to, jobs=2, progress=False,
                                  report=reports.append)
    assert (summary.converted, summary.skipped, summary.failed) == (3, 0, 1)
    assert "bad.bvx: starts like a WAV file" in reports[0]
    assert tree(dst) == sorted(rel.replace(".bvx", "." + to) for rel in frames)
    for rel, data in frames.items():
        out = dst / rel.replace(".bvx", "." + to)
        expected = brimvox.decode(data)
        if to == "wav":
            np.testing.assert_array_equal(read_wav(out), expected)
            continue
        # another decoder reads the file back: FLAC exactly, the lossy formats closely
        head = out.read_bytes()[:64]
        assert head.startswith(b"fLaC" if to == "flac" else b"OggS")
        assert to != "opus" or b"OpusHead" in head
        pcm = np.frombuffer(subprocess.run(
            ["ffmpeg", "-v", "error", "-i", str(out), "-f", "s16le", "-ac", "1", "-ar", "8000", "-"],
            check=True, capture_output=True).stdout, dtype="<i2")
        if to == "flac":
            np.testing.assert_array_equal(pcm, expected)
        else:
            # (libsndfile's Vorbis stream may end a few samples past the last one written)
            assert 0 <= len(pcm) - len(expected) <= (0 if to == "opus" else 256)
            n = len(expected)
            assert np.corrcoef(pcm[:n].astype(float), expected.astype(float))[0, 1] > 0.98
    # a second run converts nothing and leaves the outputs as they were
    stamps = {p: p.stat().st_mtime_ns for p in dst.rglob("*")}
    again = brimvox.convert.run(str(src), str(dst), to, jobs=2, progress=False,
                                report=reports.append)
    assert (again.converted, again.skipped, again.failed) == (0, 3, 1)
    assert stamps == {p: p.stat().st_mtime_ns for p in dst.rglob("*")}


def test_outputs_are_whole_or_absent(archive, tmp_path):
    src, frames = archive
    dst = tmp_path / "dst"
    dst.mkdir()
    (dst / "a").write_text("a file where a folder should be")  # outputs under a/ must fail
    (dst / "top.wav").write_bytes(b"kept")  # an existing output is never touched
    reports = []
    summary = brimvox.convert.run(str(src), str(dst), "wav", jobs=1, progress=False,
                                  report=reports.append)
    assert (summary.converted, summary.skipped, summary.failed) == (0, 1, 3)
    assert any("m1.bvx" in r or "a/m1.wav" in r for r in reports)
    assert tree(dst) == ["a", "top.wav"]
    assert (dst / "top.wav").read_bytes() == b"kept"


def test_sound_files_convert_to_bvx_as_the_cli_encodes(cli, tmp_path, speech):
    src = tmp_path / "wav"
    (src / "x").mkdir(parents=True)
    write_wav(src / "x" / "one.wav", speech, 8000)
    stereo = np.stack([speech, speech // 3], axis=1)
    write_wav(src / "two.WAV", stereo, 16000)
    (src / "broken.flac").write_bytes(b"fLaC" + b"\0" * 40)
    summary = brimvox.convert.run(str(src), str(tmp_path / "bvx"), "bvx", jobs=2, progress=False,
                                  report=lambda text: None)
    assert [f.message for f in summary.failures] == [
        f"{src / 'broken.flac'}: FLAC file that cannot be read: "
        "File contains data in an unimplemented format."]
    assert summary.converted == 2
    for rel in ("x/one", "two"):
        wav = next(src.glob(rel + ".*"))
        subprocess.run([str(cli), "encode", "-q", str(wav), str(tmp_path / "n.bvx")], check=True)
        assert (tmp_path / "bvx" / (rel + ".bvx")).read_bytes() == (tmp_path / "n.bvx").read_bytes()


def test_sound_file_refusals_name_the_file_as_the_shared_reader_words_them(tmp_path):
    from brimvox import _core

    text = tmp_path / "notes.wav"
    text.write_text("not audio at all")
    with pytest.raises(ValueError) as refused:
        _core.encode_sound_file(str(text), str(tmp_path / "n.bvx"))
    assert str(refused.value) == f"{text}: not a sound file"
    with pytest.raises(FileNotFoundError) as missing:
        _core.encode_sound_file(str(tmp_path / "none.wav"), str(tmp_path / "n.bvx"))
    assert missing.value.filename == str(tmp_path / "none.wav")


def test_fsspec_paths(archive):
    import fsspec

    src, frames = archive
    fs = fsspec.filesystem("memory")
    for rel in frames:
        fs.pipe(f"/arch/{rel}", frames[rel])
    summary = brimvox.convert.run("memory://arch", "memory://out", "wav", jobs=1, progress=False)
    assert (summary.converted, summary.failed) == (3, 0)
    for rel, data in frames.items():
        out = fs.cat(f"/out/{rel.replace('.bvx', '.wav')}")
        pcm = np.frombuffer(out[44:], dtype="<i2")
        np.testing.assert_array_equal(pcm, brimvox.decode(data))
    assert not [p for p in fs.find("/out") if p.endswith(".part")]
    fs.rm("/arch", recursive=True)
    fs.rm("/out", recursive=True)


def test_command_line(archive, tmp_path):
    src, _ = archive
    env = dict(os.environ, PYTHONPATH="")
    cmd = [sys.executable, "-m", "brimvox", "convert", str(src), str(tmp_path / "o"), "--to", "wav",
           "--jobs", "2", "--no-progress"]
    done = subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=tmp_path)
    assert done.returncode == 1, done.stderr  # one bad file
    assert "bad.bvx: starts like a WAV file" in done.stderr
    assert "converted 3, skipped 0 (already converted), failed 1 file(s)" in done.stdout
    usage = subprocess.run(cmd[:5] + ["--to", "mp4"], capture_output=True, text=True, env=env)
    assert usage.returncode == 2 and "invalid choice: 'mp4'" in usage.stderr
    missing = subprocess.run(cmd[:4] + [str(tmp_path / "none"), "x", "--to", "wav"],
                             capture_output=True, text=True, env=env)
    assert missing.returncode == 1 and "no such directory" in missing.stderr


def test_unreadable_files_do_not_close_other_threads_files(tmp_path, speech):
    # libsndfile closes the descriptor of a file it refuses; closing that number again would
    # close whatever file another thread opened under it meanwhile. Two files starting at once,
    # one refused, many times over: the good one must always convert. (A race: the old fault
    # showed in about three runs of this test out of four.)
    src = tmp_path / "src"
    src.mkdir()
    (src / "a.flac").write_bytes(b"fLaC" + b"\0" * 40)
    write_wav(src / "b.wav", speech[:2400], 8000)
    errors = []
    for attempt in range(500):
        dst = tmp_path / "dst"
        summary = brimvox.convert.run(str(src), str(dst), "bvx", jobs=2, progress=False,
                                      report=lambda text: None)
        errors += [f.message for f in summary.failures if f.rel == "b.bvx"]
        (dst / "b.bvx").unlink(missing_ok=True)
    assert errors == []
