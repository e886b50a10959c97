"""Arrays and .bvx files in and out of the speech codec."""

from __future__ import annotations

import operator
import os
import uuid
from typing import NamedTuple

import numpy as np

from . import _core

SAMPLERATE = _core.SAMPLERATE
FRAME_BYTES = _core.FRAME_BYTES
FRAME_SAMPLES = _core.FRAME_SAMPLES

_SAMPLE_TYPES = (np.dtype(np.int16), np.dtype(np.float32), np.dtype(np.float64))
_OUTPUT_TYPES = {"int16": np.dtype(np.int16), "float32": np.dtype(np.float32)}
# Reading a whole .bvx file in blocks of whole frames keeps memory flat in info().
_READ_BLOCK = FRAME_BYTES * 4096
# A second axis this long is channels-first data, not channels.
_MAX_CHANNELS = 256
_SOUND_SUFFIXES = {
    ".wav", ".wave", ".flac", ".ogg", ".oga", ".opus", ".mp3", ".aiff", ".aif", ".aifc", ".au",
    ".snd", ".w64", ".caf", ".rf64",
}


def _check_samplerate(samplerate) -> int:
    if isinstance(samplerate, bool):
        raise TypeError("samplerate must be an integer number of samples per second, got bool")
    try:
        rate = operator.index(samplerate)
    except TypeError:
        raise TypeError(
            "samplerate must be an integer number of samples per second, got "
            f"{type(samplerate).__name__} {samplerate!r}"
        ) from None
    if not _core.MIN_SAMPLERATE <= rate <= _core.MAX_SAMPLERATE:
        raise ValueError(
            f"samplerate must be between {_core.MIN_SAMPLERATE} and {_core.MAX_SAMPLERATE} Hz, "
            f"got {rate}"
        )
    return rate


def _check_samples(samples, allow_empty: bool) -> np.ndarray:
    if not isinstance(samples, np.ndarray):
        raise TypeError(f"samples must be a numpy array, got {type(samples).__name__}")
    if samples.dtype.newbyteorder("=") not in _SAMPLE_TYPES:
        raise TypeError(f"samples must be int16, float32 or float64, got {samples.dtype}")
    if samples.ndim not in (1, 2):
        raise ValueError(
            "samples must be 1-D (mono) or 2-D (frames x channels), got "
            f"{samples.ndim}-D with shape {samples.shape}"
        )
    if samples.ndim == 2:
        if samples.shape[1] == 0:
            raise ValueError(f"samples have no channel (shape {samples.shape})")
        if samples.shape[1] > _MAX_CHANNELS:
            raise ValueError(
                f"samples have {samples.shape[1]} channels (shape {samples.shape}); a 2-D array "
                "is frames x channels: pass samples.T for channels x frames"
            )
    if samples.shape[0] == 0 and not allow_empty:
        raise ValueError("samples are empty: nothing to encode")
    if not samples.dtype.isnative:
        samples = samples.astype(samples.dtype.newbyteorder("="))
    return np.ascontiguousarray(samples)


def _check_dtype(dtype) -> np.dtype:
    try:
        wanted = np.dtype(dtype)
    except TypeError:
        wanted = None
    if wanted not in _OUTPUT_TYPES.values():
        raise TypeError(f"dtype must be 'int16' or 'float32', got {dtype!r}")
    return wanted


def _as_dtype(pcm: np.ndarray, dtype: np.dtype) -> np.ndarray:
    if dtype == np.int16:
        return pcm
    return pcm.astype(np.float32) / np.float32(32768.0)


def _check_data(data) -> memoryview:
    if isinstance(data, str):
        raise TypeError("data must be bytes-like (compressed frames), got str")
    if isinstance(data, np.ndarray) and data.dtype not in (np.uint8, np.int8):
        raise TypeError(
            f"data must hold bytes (a uint8 array), got a {data.dtype} array; "
            "samples are coded with encode()"
        )
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"data must be bytes-like (compressed frames), got {type(data).__name__}") from None
    if not view.c_contiguous:
        raise ValueError("data must be contiguous")
    return view.cast("B") if view.format != "B" or view.ndim != 1 else view


def encode(samples: np.ndarray, samplerate: int = SAMPLERATE) -> bytes:
    """Encode speech into compressed frames (18 bytes per 30 ms).

    ``samples`` is a 1-D array (mono) or a 2-D array of frames x channels (mixed down to mono)
    of int16 or float (-1.0..1.0) samples. Rates other than 8000 Hz are resampled with
    libsamplerate exactly as the command-line tool does, so both give the same frames;
    8000 Hz mono int16 is coded bit-exactly. The last partial frame is padded with silence.
    """
    rate = _check_samplerate(samplerate)
    return _core.encode(_check_samples(samples, allow_empty=False), rate)


def decode(data, dtype="int16") -> np.ndarray:
    """Decode compressed frames into 8000 Hz mono samples.

    ``data`` is bytes-like; bytes after the last whole 18-byte frame are ignored. The result is
    int16, or float32 in -1.0..1.0 with ``dtype="float32"``.
    """
    wanted = _check_dtype(dtype)
    view = _check_data(data)
    if view.nbytes < FRAME_BYTES:
        raise ValueError(
            f"data holds {view.nbytes} bytes, less than one {FRAME_BYTES}-byte frame"
        )
    return _as_dtype(_core.decode(view), wanted)


class Encoder:
    """Streaming encoder: feed chunks of any length, get the frames completed so far.

    The first chunk fixes the channel count. Call :meth:`flush` at the end for the last
    frames (the resampler's tail and the final partial frame, padded with silence). The
    chunks together give exactly the bytes that :func:`encode` gives for the whole signal.
    """

    def __init__(self, samplerate: int = SAMPLERATE) -> None:
        self._core = _core.Encoder(_check_samplerate(samplerate))
        self._channels = None
        self._closed = False

    @property
    def samplerate(self) -> int:
        """Rate of the input samples in Hz."""
        return self._core.samplerate

    @property
    def closed(self) -> bool:
        return self._closed

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("the Encoder is closed")
        if self._core.flushed:
            raise ValueError("the Encoder was flushed; use a new Encoder for another stream")

    def encode(self, samples: np.ndarray) -> bytes:
        """Encode one chunk; return the frames it completed (possibly none)."""
        self._check_open()
        samples = _check_samples(samples, allow_empty=True)
        channels = 1 if samples.ndim == 1 else samples.shape[1]
        if self._channels is None:
            self._channels = channels
        elif channels != self._channels:
            raise ValueError(
                f"this stream has {self._channels} channel(s); the chunk has {channels}"
            )
        if samples.shape[0] == 0:
            return b""
        return self._core.encode(samples)

    def flush(self) -> bytes:
        """End the stream and return its last frames."""
        self._check_open()
        return self._core.flush()

    def close(self) -> None:
        """Release the encoder. Samples not flushed yet are dropped."""
        self._closed = True

    def __enter__(self) -> "Encoder":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class Decoder:
    """Streaming decoder: feed compressed bytes in chunks of any length.

    Bytes of an incomplete frame are kept for the next chunk (see :attr:`pending`).
    :meth:`decode_lost` conceals a frame that never arrived.
    """

    def __init__(self, dtype="int16") -> None:
        self._dtype = _check_dtype(dtype)
        self._core = _core.Decoder()
        self._closed = False

    @property
    def pending(self) -> int:
        """Bytes held back until the rest of their frame arrives."""
        return self._core.pending

    @property
    def closed(self) -> bool:
        return self._closed

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("the Decoder is closed")

    def decode(self, data) -> np.ndarray:
        """Decode the whole frames completed by ``data``."""
        self._check_open()
        return _as_dtype(self._core.decode(_check_data(data)), self._dtype)

    def decode_lost(self) -> np.ndarray:
        """Return 240 samples that conceal one lost frame."""
        self._check_open()
        return _as_dtype(self._core.decode_lost(), self._dtype)

    def close(self) -> None:
        self._closed = True

    def __enter__(self) -> "Decoder":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class BvxInfo(NamedTuple):
    """What :func:`info` tells of a .bvx file."""

    frames: int
    duration: float
    bad_frames: int
    trailing_bytes: int
    samplerate: int = SAMPLERATE

    @property
    def bitrate(self) -> int:
        return FRAME_BYTES * 8 * SAMPLERATE // FRAME_SAMPLES


def _refuse_sound_file(path, head: bytes, force: bool) -> None:
    """Compressed frames have no header: bytes that start like a sound file are one."""
    kind = _core.container_name(head[:16])
    if kind and not force:
        raise ValueError(
            f"{os.fspath(path)}: starts like a {kind} file, not compressed frames "
            "(force=True reads it anyway)"
        )


def read(path, dtype="int16", force: bool = False) -> tuple[np.ndarray, int]:
    """Read a .bvx file: return ``(samples, 8000)``.

    Bytes after the last whole frame are ignored. A file that starts like a sound file
    (WAV, FLAC, Ogg, ...) is refused unless ``force=True``.
    """
    wanted = _check_dtype(dtype)
    with open(path, "rb") as f:
        data = f.read()
    _refuse_sound_file(path, data, force)
    if len(data) < FRAME_BYTES:
        return np.zeros(0, dtype=wanted), SAMPLERATE
    return _as_dtype(_core.decode(data), wanted), SAMPLERATE


def write(path, samples: np.ndarray, samplerate: int = SAMPLERATE) -> None:
    """Encode ``samples`` (as :func:`encode`) into the .bvx file ``path``.

    The file is written whole or not at all: an existing file is replaced only on success.
    """
    fspath = os.fspath(path)
    if isinstance(fspath, bytes):
        fspath = os.fsdecode(fspath)
    suffix = os.path.splitext(fspath)[1].lower()
    if suffix in _SOUND_SUFFIXES:
        raise ValueError(
            f"{fspath}: {suffix} names a sound file, but write() stores compressed frames "
            "(name it .bvx)"
        )
    frames = encode(samples, samplerate)
    _write_whole(fspath, frames)


def _write_whole(path: str, data: bytes) -> None:
    tmp = temp_name(path)
    try:
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
    except OSError as e:
        # Name the file the caller asked for, not the temporary one.
        raise OSError(e.errno, e.strerror, path) from None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def temp_name(path: str) -> str:
    """A unique hidden name beside ``path`` for writing it whole before the rename."""
    folder, name = os.path.split(path)
    return os.path.join(folder, f".{name}.{uuid.uuid4().hex[:12]}.part")


def info(path, force: bool = False) -> BvxInfo:
    """Frame count, duration in seconds, bad frames and trailing bytes of a .bvx file."""
    frames = bad = 0
    with open(path, "rb") as f:
        block = f.read(_READ_BLOCK)
        _refuse_sound_file(path, block, force)
        while True:
            whole = len(block) - len(block) % FRAME_BYTES
            frames += whole // FRAME_BYTES
            bad += _core.count_bad_frames(block[:whole])
            nxt = f.read(_READ_BLOCK)
            if not nxt:
                trailing = len(block) - whole
                break
            block = block[whole:] + nxt
    return BvxInfo(frames, frames * FRAME_SAMPLES / SAMPLERATE, bad, trailing)
