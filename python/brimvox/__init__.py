"""brimvox: the 4800 bit/s speech codec for numpy arrays.

Arrays in, compressed frames out (:func:`encode`, :class:`Encoder`) and back
(:func:`decode`, :class:`Decoder`); ``.bvx`` files by path (:func:`read`, :func:`write`,
:func:`info`); archive conversion with ``python -m brimvox convert``.
The GIL is released while coding, so threads run in parallel.
"""

from ._api import (
    FRAME_BYTES,
    FRAME_SAMPLES,
    SAMPLERATE,
    BvxInfo,
    Decoder,
    Encoder,
    decode,
    encode,
    info,
    read,
    write,
)

__version__ = "0.1.0"

__all__ = [
    "FRAME_BYTES",
    "FRAME_SAMPLES",
    "SAMPLERATE",
    "BvxInfo",
    "Decoder",
    "Encoder",
    "decode",
    "encode",
    "info",
    "read",
    "write",
    "__version__",
]
