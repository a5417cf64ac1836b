"""Raw pictures: I420 and RGB conversion, pixel frames and a test pattern.

I420 (`VIDEO_PIXEL_FORMAT_YUV420p`) is a full-size Y plane followed by U and
V planes of half the width and height, 8 bits each, so width and height must
be even. The conversions use BT.601 with limited range (Y 16 to 235), the
usual choice for video of this size, in integer arithmetic so that results
are the same on every machine. RGB images are numpy uint8 arrays of shape
``(height, width, 3)``, or ``(height, width, 4)`` with alpha (RGBA).
"""

from collections.abc import Buffer
from typing import TYPE_CHECKING, Any

import _lumora

from ._extras import needs
from .audio import as_bytes, byte_length

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    Image = npt.NDArray[np.uint8]

# The room option without which received pictures carry no size or format.
_NO_SIZE_HINT = ("a PixelFrame arrives with its width, height and format only when the receiving room "
                 "is entered with use_pixel_frame_output set")


def i420_size(width: int, height: int) -> int:
    """Bytes of an I420 picture; ValueError unless width and height are even and positive."""
    if width <= 0 or height <= 0 or width % 2 or height % 2:
        raise ValueError(f"I420 needs an even, positive width and height, not {width}x{height}")
    return width * height * 3 // 2


def check_i420(data: Buffer, width: int, height: int) -> None:
    expected = i420_size(width, height)
    if byte_length(data) != expected:
        raise ValueError(f"an I420 picture of {width}x{height} is {expected} bytes, not {byte_length(data)}")


# ---- I420 <-> RGB ----------------------------------------------------------------


def i420_to_rgb(data: Buffer, width: int, height: int) -> "Image":
    """An I420 picture as RGB, shape ``(height, width, 3)``."""
    with needs("numpy", "i420_to_rgb"):
        import numpy as np
    check_i420(data, width, height)
    luma = width * height
    chroma = luma // 4
    planes = np.frombuffer(data, dtype=np.uint8)
    y = planes[:luma].reshape(height, width).astype(np.int32) - 16
    u = planes[luma:luma + chroma].reshape(height // 2, width // 2).astype(np.int32) - 128
    v = planes[luma + chroma:].reshape(height // 2, width // 2).astype(np.int32) - 128
    # Each chroma sample covers a 2x2 block of pixels.
    u = u.repeat(2, axis=0).repeat(2, axis=1)
    v = v.repeat(2, axis=0).repeat(2, axis=1)
    # BT.601 limited range, coefficients scaled by 256.
    c = 298 * y + 128
    rgb = np.empty((height, width, 3), dtype=np.uint8)
    rgb[..., 0] = np.clip((c + 409 * v) >> 8, 0, 255)
    rgb[..., 1] = np.clip((c - 100 * u - 208 * v) >> 8, 0, 255)
    rgb[..., 2] = np.clip((c + 516 * u) >> 8, 0, 255)
    return rgb


def i420_to_rgba(data: Buffer, width: int, height: int, alpha: int = 255) -> "Image":
    """An I420 picture as RGBA, shape ``(height, width, 4)``, with a constant `alpha`."""
    with needs("numpy", "i420_to_rgba"):
        import numpy as np
    rgba = np.empty((height, width, 4), dtype=np.uint8)
    rgba[..., :3] = i420_to_rgb(data, width, height)
    rgba[..., 3] = alpha
    return rgba


def rgb_to_i420(rgb: "Image") -> bytes:
    """An RGB or RGBA image (alpha ignored) as an I420 picture; each 2x2 block shares its chroma."""
    with needs("numpy", "rgb_to_i420"):
        import numpy as np
    height, width = _image_size(rgb)
    i420_size(width, height)
    r, g, b = (rgb[..., i].astype(np.int32) for i in range(3))
    y = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16
    # Chroma from the mean colour of each 2x2 block.
    def block_mean(plane: "npt.NDArray[np.int32]") -> "npt.NDArray[np.int32]":
        return (plane.reshape(height // 2, 2, width // 2, 2).sum(axis=(1, 3)) + 2) >> 2
    rm, gm, bm = block_mean(r), block_mean(g), block_mean(b)
    u = ((-38 * rm - 74 * gm + 112 * bm + 128) >> 8) + 128
    v = ((112 * rm - 94 * gm - 18 * bm + 128) >> 8) + 128
    return b"".join(np.clip(plane, 0, 255).astype(np.uint8).tobytes() for plane in (y, u, v))


def _image_size(image: "npt.NDArray[Any]") -> tuple[int, int]:
    if image.dtype.name != "uint8" or image.ndim != 3 or image.shape[2] not in (3, 4):
        raise ValueError(f"expected a uint8 image of shape (height, width, 3 or 4), not {image.dtype} {image.shape}")
    return int(image.shape[0]), int(image.shape[1])


# ---- Pixel frames ----------------------------------------------------------------


def pixel_frame_from_i420(data: Buffer, width: int, height: int, pts: int = 0) -> _lumora.PixelFrame:
    """A `PixelFrame` (`VIDEO_PIXEL_FORMAT_YUV420p`) holding an I420 picture."""
    check_i420(data, width, height)
    frame = _lumora.PixelFrame()
    frame.format = _lumora.VIDEO_PIXEL_FORMAT_YUV420p
    frame.width = width
    frame.height = height
    frame.pts = pts
    frame.SetData(as_bytes(data))
    return frame


def pixel_frame_from_rgb(rgb: "Image", pts: int = 0) -> _lumora.PixelFrame:
    """A `PixelFrame` (I420) from an RGB or RGBA image."""
    height, width = _image_size(rgb)
    return pixel_frame_from_i420(rgb_to_i420(rgb), width, height, pts)


def check_pixel_frame(frame: object) -> _lumora.PixelFrame:
    """`frame` if it is a `PixelFrame` with a size; TypeError or ValueError saying why not."""
    if isinstance(frame, _lumora.VideoFrame):
        raise TypeError(f"a VideoFrame holds encoded video, not a picture: {_NO_SIZE_HINT}")
    if not isinstance(frame, _lumora.PixelFrame):
        raise TypeError(f"expected a PixelFrame, not {type(frame).__name__}")
    if frame.width == 0 or frame.height == 0:
        raise ValueError(f"PixelFrame has no size ({frame.width}x{frame.height}): {_NO_SIZE_HINT}")
    return frame


def i420_from_pixel_frame(frame: _lumora.PixelFrame) -> bytes:
    """The frame's picture as I420: YUV420p as it is, YUVA420p without alpha, RGBA converted."""
    check_pixel_frame(frame)
    width, height = frame.width, frame.height
    data = frame.data
    fmt = frame.format
    if fmt == _lumora.VIDEO_PIXEL_FORMAT_RGBA:
        return rgb_to_i420(rgb_from_pixel_frame(frame))
    size = i420_size(width, height)
    expected = size + (width * height if fmt == _lumora.VIDEO_PIXEL_FORMAT_YUVA420p else 0)
    if len(data) != expected:
        raise ValueError(f"a {fmt.name} frame of {width}x{height} is {expected} bytes, not {len(data)}")
    return data if len(data) == size else data[:size]


def rgb_from_pixel_frame(frame: _lumora.PixelFrame) -> "Image":
    """The frame's picture as RGB ``(h, w, 3)``, or RGBA ``(h, w, 4)`` for an RGBA frame."""
    with needs("numpy", "rgb_from_pixel_frame"):
        import numpy as np
    check_pixel_frame(frame)
    if frame.format == _lumora.VIDEO_PIXEL_FORMAT_RGBA:
        data = frame.data
        if len(data) != frame.width * frame.height * 4:
            raise ValueError(f"an RGBA frame of {frame.width}x{frame.height} is {frame.width * frame.height * 4} "
                             f"bytes, not {len(data)}")
        return np.frombuffer(data, dtype=np.uint8).reshape(frame.height, frame.width, 4)
    return i420_to_rgb(i420_from_pixel_frame(frame), frame.width, frame.height)


# ---- Test pattern ----------------------------------------------------------------


def test_pattern(width: int, height: int, index: int) -> bytes:
    """An I420 picture for tests and demos: a red bar that moves 2 pixels right per `index`.

    The background is a grey ramp from top to bottom, so pictures are never
    flat; consecutive indices give different pictures until the bar wraps
    around after ``width // 2`` of them. Pure Python, no numpy.
    """
    i420_size(width, height)
    bar = max(2, width // 8)
    x0 = (2 * index) % width

    def with_bar(plane_width: int, start: int, length: int, background: int, colour: int) -> bytes:
        row = bytearray([background]) * plane_width
        end = start + length
        row[start:min(end, plane_width)] = bytes([colour]) * (min(end, plane_width) - start)
        if end > plane_width:  # the bar wraps around to the left edge
            row[:end - plane_width] = bytes([colour]) * (end - plane_width)
        return bytes(row)

    # Red in BT.601 limited range is Y 81, U 90, V 240.
    luma = b"".join(with_bar(width, x0, bar, 48 + (160 * row) // height, 81) for row in range(height))
    u_row = with_bar(width // 2, x0 // 2, bar // 2, 128, 90)
    v_row = with_bar(width // 2, x0 // 2, bar // 2, 128, 240)
    return luma + u_row * (height // 2) + v_row * (height // 2)


# Its name starts with "test": a test module that imports it must not have
# pytest collect it as a test.
setattr(test_pattern, "__test__", False)
