from os import PathLike
from typing import Literal, NamedTuple, Optional, Tuple, Type, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, PathLike[str], PathLike[bytes]]
_Buffer = Union[bytes, bytearray, memoryview, npt.NDArray[np.uint8]]
_Samples = Union[npt.NDArray[np.int16], npt.NDArray[np.float32], npt.NDArray[np.float64]]
_OutType = Union[Literal["int16", "float32"], Type[np.int16], Type[np.float32], np.dtype]

__version__: str
SAMPLERATE: int
FRAME_BYTES: int
FRAME_SAMPLES: int

def encode(samples: _Samples, samplerate: int = 8000) -> bytes:
    """Encode 1-D or 2-D (frames x channels) int16/float samples into 18-byte frames."""

def decode(data: _Buffer, dtype: _OutType = "int16") -> np.ndarray:
    """Decode compressed frames into 8000 Hz mono int16 (or float32) samples."""

class Encoder:
    """Streaming encoder; the chunks together give the bytes of encode()."""

    def __init__(self, samplerate: int = 8000) -> None: ...
    @property
    def samplerate(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def encode(self, samples: _Samples) -> bytes: ...
    def flush(self) -> bytes: ...
    def close(self) -> None: ...
    def __enter__(self) -> Encoder: ...
    def __exit__(self, *exc: object) -> None: ...

class Decoder:
    """Streaming decoder; incomplete frames wait for the next chunk."""

    def __init__(self, dtype: _OutType = "int16") -> None: ...
    @property
    def pending(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def decode(self, data: _Buffer) -> np.ndarray: ...
    def decode_lost(self) -> np.ndarray: ...
    def close(self) -> None: ...
    def __enter__(self) -> Decoder: ...
    def __exit__(self, *exc: object) -> None: ...

class BvxInfo(NamedTuple):
    frames: int
    duration: float
    bad_frames: int
    trailing_bytes: int
    samplerate: int = 8000
    @property
    def bitrate(self) -> int: ...

def read(path: _Path, dtype: _OutType = "int16", force: bool = False) -> Tuple[np.ndarray, int]:
    """Read a .bvx file: (samples, 8000)."""

def write(path: _Path, samples: _Samples, samplerate: int = 8000) -> None:
    """Encode samples into a .bvx file, written whole or not at all."""

def info(path: _Path, force: bool = False) -> BvxInfo:
    """Frames, duration, bad frames and trailing bytes of a .bvx file."""
