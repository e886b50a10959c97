"""Shared fixtures: the native tools the binding is compared with, and the speech vectors."""

import os
import pathlib
import wave

import numpy as np
import pytest

import brimvox

ROOT = pathlib.Path(__file__).resolve().parents[2]
NATIVE = pathlib.Path(os.environ.get("BRIMVOX_NATIVE_BUILD", ROOT / "build" / "linux"))
VECTORS = sorted((ROOT / "tests" / "codec" / "data").glob("*.raw"))


def pytest_configure(config):
    # The suite tests the installed wheel: a copy of the package sources must not shadow it.
    if os.environ.get("BRIMVOX_EXPECT_INSTALLED") and "site-packages" not in brimvox.__file__:
        raise pytest.UsageError(f"brimvox comes from {brimvox.__file__}, not the installed wheel")


def _native(relative: str) -> pathlib.Path:
    path = NATIVE / relative
    if not os.access(path, os.X_OK):
        # A missing reference is a failure, never a skip: the comparison is the point.
        pytest.fail(f"{path} is not built (make wheel builds it, or set BRIMVOX_NATIVE_BUILD)")
    return path


@pytest.fixture(scope="session")
def cli() -> pathlib.Path:
    return _native("tools/brimvox-codec")


@pytest.fixture(scope="session")
def decode_records() -> pathlib.Path:
    return _native("tests/codec/codec_decode_records")


@pytest.fixture(scope="session")
def vectors():
    assert VECTORS, "no speech vectors in tests/codec/data"
    return VECTORS


@pytest.fixture(scope="session")
def speech() -> np.ndarray:
    return np.fromfile(VECTORS[0], dtype="<i2").astype(np.int16)


def stereo_441(speech: np.ndarray, seconds: float = 0.0) -> np.ndarray:
    """The speech vector as 44.1 kHz stereo int16 with different channels."""
    if seconds:
        reps = int(np.ceil(seconds * 8000 / len(speech)))
        speech = np.tile(speech, reps)[: int(seconds * 8000)]
    x = speech.astype(np.float64)
    t = np.arange(int(len(x) * 44100 / 8000))
    mono = np.interp(t * 8000 / 44100, np.arange(len(x)), x)
    left = mono * 0.9
    right = mono * 0.5 + 300 * np.sin(t / 30.0)
    return np.stack([left, right], axis=1).round().astype(np.int16)


def write_wav(path, samples: np.ndarray, rate: int) -> None:
    channels = 1 if samples.ndim == 1 else samples.shape[1]
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples.astype("<i2").tobytes())


def read_wav(path) -> np.ndarray:
    with wave.open(str(path), "rb") as w:
        assert (w.getnchannels(), w.getsampwidth(), w.getframerate()) == (1, 2, 8000)
        return np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
