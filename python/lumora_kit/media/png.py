"""PNG snapshots of pictures, encoded with the standard `zlib` module.

`png_bytes` takes an RGB or RGBA image (numpy uint8, ``(h, w, 3|4)``), a
grey image ``(h, w)``, or a `PixelFrame`: an RGBA frame is encoded as it is
(no numpy needed), an I420 frame is converted to RGB first (numpy).
Rows are stored unfiltered, which is plain and fast; the files are larger
than a tuned encoder's, which does not matter for snapshots.
"""

import os
import struct
import zlib
from typing import TYPE_CHECKING, Any

import _lumora

from ._extras import is_ndarray
from .video import check_pixel_frame, rgb_from_pixel_frame

if TYPE_CHECKING:
    import numpy.typing as npt

_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# PNG colour type for each number of channels: grey, RGB, RGBA.
_COLOUR_TYPES = {1: 0, 3: 2, 4: 6}


def _chunk(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def encode_png(pixels: bytes, width: int, height: int, channels: int, compress_level: int = 6) -> bytes:
    """A PNG of 8-bit pixels given row by row, `channels` (1, 3 or 4) bytes each."""
    if channels not in _COLOUR_TYPES:
        raise ValueError(f"PNG pictures here have 1, 3 or 4 channels, not {channels}")
    stride = width * channels
    if width <= 0 or height <= 0 or len(pixels) != stride * height:
        raise ValueError(f"{len(pixels)} bytes is not a {width}x{height} picture of {channels} channel(s)")
    # Each row starts with its filter type, 0: none.
    rows = b"".join(b"\x00" + pixels[i:i + stride] for i in range(0, len(pixels), stride))
    header = struct.pack(">IIBBBBB", width, height, 8, _COLOUR_TYPES[channels], 0, 0, 0)
    return (_SIGNATURE + _chunk(b"IHDR", header) + _chunk(b"IDAT", zlib.compress(rows, compress_level))
            + _chunk(b"IEND", b""))


def png_bytes(image: "npt.NDArray[Any] | _lumora.PixelFrame", *, compress_level: int = 6) -> bytes:
    """`image` (see the module's description) encoded as PNG."""
    if not is_ndarray(image):
        frame = check_pixel_frame(image)  # TypeError for anything else, saying what was expected
        if frame.format == _lumora.VIDEO_PIXEL_FORMAT_RGBA:
            return encode_png(frame.data, frame.width, frame.height, 4, compress_level)
        image = rgb_from_pixel_frame(frame)
    if image.dtype.name != "uint8" or not (image.ndim == 2 or (image.ndim == 3 and image.shape[2] in (1, 3, 4))):
        raise ValueError(f"expected a uint8 image of shape (h, w), (h, w, 3) or (h, w, 4), "
                         f"not {image.dtype} {image.shape}")
    channels = 1 if image.ndim == 2 else int(image.shape[2])
    return encode_png(image.tobytes(), int(image.shape[1]), int(image.shape[0]), channels, compress_level)


def write_png(path: str | os.PathLike[str], image: "npt.NDArray[Any] | _lumora.PixelFrame", *,
              compress_level: int = 6) -> None:
    """Writes `image` to `path` as PNG."""
    data = png_bytes(image, compress_level=compress_level)
    with open(path, "wb") as f:
        f.write(data)
