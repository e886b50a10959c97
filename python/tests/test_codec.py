"""The binding against the native build, streaming, refusals and threads."""

import struct
import subprocess
import sys
import threading

import numpy as np
import pytest

import brimvox
import brimvox.convert
from conftest import stereo_441, write_wav


def run(*args):
    subprocess.run([str(a) for a in args], check=True, capture_output=True)


# ---- bit-exact with the native build ----


def test_every_vector_encodes_and_decodes_as_the_native_cli(cli, vectors, tmp_path):
    for vector in vectors:
        pcm = np.fromfile(vector, dtype="<i2").astype(np.int16)
        run(cli, "encode", "-q", "--raw", vector, tmp_path / "native.bvx")
        native = (tmp_path / "native.bvx").read_bytes()
        assert brimvox.encode(pcm) == native, vector.name
        # float input at 8000 Hz goes through the same rounding as the CLI's sound-file reader
        assert brimvox.encode(pcm.astype(np.float32) / 32768) == native, vector.name
        run(cli, "decode", "-q", "-t", "raw", tmp_path / "native.bvx", tmp_path / "native.raw")
        expected = np.fromfile(tmp_path / "native.raw", dtype="<i2")
        np.testing.assert_array_equal(brimvox.decode(native), expected)
        np.testing.assert_array_equal(brimvox.read(tmp_path / "native.bvx")[0], expected)
        decoded = brimvox.decode(native, dtype="float32")
        assert decoded.dtype == np.float32
        np.testing.assert_array_equal(decoded * 32768, expected.astype(np.float32))


def test_resampled_stereo_gives_the_frames_of_the_cli(cli, speech, tmp_path):
    stereo = stereo_441(speech)
    write_wav(tmp_path / "in.wav", stereo, 44100)
    run(cli, "encode", "-q", tmp_path / "in.wav", tmp_path / "native.bvx")
    native = (tmp_path / "native.bvx").read_bytes()
    assert brimvox.encode(stereo, 44100) == native
    assert brimvox.encode(stereo.astype(np.float64) / 32768, 44100) == native
    # the conversion command reads the WAV through libsndfile itself
    out = tmp_path / "out"
    summary = brimvox.convert.run(str(tmp_path), str(out), "bvx", jobs=1, progress=False)
    assert summary.converted == 1
    assert (out / "in.bvx").read_bytes() == native


def test_lost_frames_are_concealed_as_by_the_native_decoder(decode_records, speech, tmp_path):
    frames = brimvox.encode(speech[:8000 * 3])
    count = len(frames) // 18
    lost = {3, 4, 9, count - 1}
    records = b"".join(
        struct.pack("<h", 1 if i in lost else 0) + frames[18 * i : 18 * i + 18] for i in range(count)
    )
    (tmp_path / "records").write_bytes(records)
    run(decode_records, tmp_path / "records", tmp_path / "out.raw")
    expected = np.fromfile(tmp_path / "out.raw", dtype="<i2")
    with brimvox.Decoder() as decoder:
        got = [decoder.decode_lost() if i in lost else decoder.decode(frames[18 * i : 18 * i + 18])
               for i in range(count)]
    np.testing.assert_array_equal(np.concatenate(got), expected)


# ---- streaming ----


@pytest.mark.parametrize("rate,channels,dtype", [(8000, 1, np.int16), (44100, 2, np.int16),
                                                 (16000, 1, np.float32), (22050, 3, np.float64)])
def test_random_chunks_give_the_bytes_of_one_call(speech, rate, channels, dtype):
    rng = np.random.default_rng(rate + channels)
    x = stereo_441(speech[:40000]) if rate == 44100 else speech[: 40000 * rate // 8000]
    if x.ndim == 1 and channels > 1:
        x = np.stack([x, x // 2, -x][:channels], axis=1)
    if dtype != np.int16:
        x = (x / 32768).astype(dtype)
    whole = brimvox.encode(x, rate)
    for _ in range(3):
        out = []
        with brimvox.Encoder(rate) as encoder:
            i = 0
            while i < len(x):
                n = int(rng.choice([0, 1, 7, 239, 240, 241, int(rng.integers(1, 20000))]))
                out.append(encoder.encode(x[i : i + n]))
                i += n
            out.append(encoder.flush())
        assert b"".join(out) == whole


def test_decoder_takes_frames_split_anywhere(speech):
    frames = brimvox.encode(speech) + b"\x01\x02\x03"  # trailing bytes are ignored
    whole = brimvox.decode(frames)
    rng = np.random.default_rng(7)
    decoder = brimvox.Decoder()
    parts, i = [], 0
    while i < len(frames):
        n = int(rng.integers(0, 100))
        parts.append(decoder.decode(frames[i : i + n]))
        i += n
    np.testing.assert_array_equal(np.concatenate(parts), whole)
    assert decoder.pending == 3
    # any bytes-like container works
    np.testing.assert_array_equal(brimvox.decode(bytearray(frames)), whole)
    np.testing.assert_array_equal(brimvox.decode(np.frombuffer(frames, np.uint8)), whole)


def test_encoder_refuses_use_after_flush_close_and_channel_change(speech):
    encoder = brimvox.Encoder()
    encoder.encode(speech[:100])
    with pytest.raises(ValueError, match="1 channel.*the chunk has 2"):
        encoder.encode(np.zeros((10, 2), np.int16))
    assert len(encoder.flush()) == 18
    with pytest.raises(ValueError, match="flushed"):
        encoder.encode(speech[:10])
    with brimvox.Decoder() as decoder:
        pass
    with pytest.raises(ValueError, match="closed"):
        decoder.decode(b"\0" * 18)


# ---- refusals ----


def test_refusals_name_the_problem():
    good = np.zeros(480, np.int16)
    cases = [
        (TypeError, "int16, float32 or float64", lambda: brimvox.encode(good.astype(np.int32))),
        (TypeError, "numpy array", lambda: brimvox.encode([0] * 480)),
        (ValueError, "3-D", lambda: brimvox.encode(np.zeros((4, 2, 2), np.int16))),
        (ValueError, "empty", lambda: brimvox.encode(np.zeros(0, np.float32))),
        (ValueError, "no channel", lambda: brimvox.encode(np.zeros((5, 0), np.int16))),
        (ValueError, "samples.T", lambda: brimvox.encode(np.zeros((2, 8000), np.int16))),
        (ValueError, r"NaN .*row 3", lambda: brimvox.encode(np.array([0, 0, 0, np.nan], np.float32))),
        (ValueError, "NaN or infinite", lambda: brimvox.Encoder().encode(np.array([[np.inf, 0.0]]))),
        (ValueError, "samplerate must be between", lambda: brimvox.encode(good, 0)),
        (ValueError, "samplerate must be between", lambda: brimvox.encode(good, 10**7)),
        (TypeError, "samplerate must be an integer", lambda: brimvox.encode(good, 44100.0)),
        (TypeError, "got str", lambda: brimvox.decode("abc")),
        (TypeError, "bytes-like", lambda: brimvox.decode(123)),
        (TypeError, "got a int16 array", lambda: brimvox.decode(good)),
        (ValueError, "less than one 18-byte frame", lambda: brimvox.decode(b"")),
        (TypeError, "dtype must be", lambda: brimvox.decode(b"\0" * 18, dtype="int32")),
    ]
    for error, text, call in cases:
        with pytest.raises(error, match=text):
            call()
    # big-endian and strided arrays are accepted and give the same bytes
    x = (np.arange(2400) % 200 - 100).astype(np.int16) * 50
    assert brimvox.encode(x.astype(">i2")) == brimvox.encode(x)
    assert brimvox.encode(np.repeat(x, 2)[::2]) == brimvox.encode(x)


def test_files_read_write_and_info(speech, tmp_path):
    path = tmp_path / "m.bvx"
    brimvox.write(path, speech)
    assert path.read_bytes() == brimvox.encode(speech)
    samples, rate = brimvox.read(path)
    assert rate == 8000 and samples.dtype == np.int16
    frames = len(speech) // 240 + 1
    assert brimvox.info(path) == brimvox.BvxInfo(frames, frames * 0.03, 0, 0)
    # a failed write leaves the old file as it was and no temporary file beside it
    before = path.read_bytes()
    with pytest.raises(ValueError, match="NaN"):
        brimvox.write(path, np.full(100, np.nan))
    assert path.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["m.bvx"]
    with pytest.raises(ValueError, match=r"\.wav names a sound file"):
        brimvox.write(tmp_path / "m.wav", speech)
    with pytest.raises(OSError) as missing:
        brimvox.read(tmp_path / "nothing.bvx")
    assert missing.value.filename == str(tmp_path / "nothing.bvx")
    with pytest.raises(FileNotFoundError) as nowhere:
        brimvox.write(tmp_path / "no" / "m.bvx", speech)
    assert nowhere.value.filename == str(tmp_path / "no" / "m.bvx")
    # a sound file is not compressed frames unless the caller insists
    wav = tmp_path / "s.wav"
    write_wav(wav, speech, 8000)
    with pytest.raises(ValueError, match="starts like a WAV file"):
        brimvox.read(wav)
    assert len(brimvox.read(wav, force=True)[0]) > 0
    # info counts the frames the decoder rejects and the bytes after the last frame
    bad = bytearray(path.read_bytes())
    bad[18 * 2 : 18 * 3] = b"\xff" * 18
    bad += b"xyz"
    path.write_bytes(bytes(bad))
    got = brimvox.info(path)
    assert (got.frames, got.bad_frames, got.trailing_bytes) == (frames, 1, 3)


# ---- threads ----


def test_threads_give_the_same_bytes_and_release_the_gil(speech):
    x = np.tile(speech, 4)
    expected = brimvox.encode(x)
    results = [None] * 4

    def work(i):
        results[i] = brimvox.encode(x) if i % 2 == 0 else brimvox.decode(expected)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results[0] == results[2] == expected
    np.testing.assert_array_equal(results[1], brimvox.decode(expected))

    # While one thread codes a long signal, this thread keeps running Python code. Only the
    # iterations that run while the other thread is inside encode() count: with the GIL held
    # for the call only those around its start would run (under 100 000 for a C call that holds
    # the GIL, however long), with the GIL released millions over the ~1 s call.
    long = np.tile(speech, 120)
    inside, done = threading.Event(), threading.Event()
    ticks = 0

    def encode_long():
        inside.set()
        brimvox.encode(long)
        inside.clear()
        done.set()

    worker = threading.Thread(target=encode_long)
    old = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    try:
        worker.start()
        while not done.is_set():
            if inside.is_set():
                ticks += 1
        worker.join()
    finally:
        sys.setswitchinterval(old)
    assert ticks > 1_000_000, f"only {ticks} iterations ran beside the encoder"

    # one Encoder shared by threads codes one chunk at a time and loses nothing
    shared = brimvox.Encoder()
    chunks = [np.full(240, i * 100, np.int16) for i in range(8)]
    out = []
    lock = threading.Lock()

    def feed(chunk):
        frame = shared.encode(chunk)
        with lock:
            out.append(frame)

    threads = [threading.Thread(target=feed, args=(c,)) for c in chunks]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(len(f) == 18 for f in out) and len(out) == 8
