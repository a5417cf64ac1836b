"""Y4M (YUV4MPEG2) video files of I420 pictures, which common players open.

A Y4M file is one header line, ``YUV4MPEG2 W640 H480 F30:1 Ip A1:1 C420jpeg``,
then for each picture a line ``FRAME`` and the raw I420 bytes. The format
has no compression and no index: the pictures of a recording whose writer
stopped without closing it stay readable (a picture cut short at the end
raises ValueError when the reader reaches it).
"""

import os
from collections.abc import Iterator
from fractions import Fraction
from typing import IO

import _lumora

from ._extras import ClosedOnExit
from .timeline import FillerTimeline
from .audio import BytesLike
from .video import check_i420, i420_from_pixel_frame, i420_size

PathOrFile = str | os.PathLike[str] | IO[bytes]

_MAGIC = b"YUV4MPEG2"
# Chroma layouts that are I420 in memory (they differ only in where chroma samples sit).
_I420_LAYOUTS = {b"420", b"420jpeg", b"420mpeg2", b"420paldv"}


def _fps_fraction(fps: float | Fraction) -> Fraction:
    rate = Fraction(fps).limit_denominator(1001)
    if rate <= 0:
        raise ValueError(f"frame rate must be positive, not {fps}")
    return rate


def _open(path: PathOrFile, mode: str) -> tuple[IO[bytes], bool]:
    if isinstance(path, (str, os.PathLike)):
        return open(path, mode + "b"), True
    return path, False


class Y4MWriter(ClosedOnExit):
    """Writes I420 pictures to a Y4M file; use as a context manager.

    `write` takes I420 bytes of the file's size, or a `PixelFrame` of that
    size (YUV420p and YUVA420p as they are; RGBA converted, which needs numpy).
    `fps` may be a float (29.97 is written as 2997:100) or a Fraction.

    With `keep_time` (the default), `PixelFrame`s are placed by their `pts`
    on the file's constant frame rate: where a frame's pts lies a picture
    or more beyond the end of what is written (its sender paused), the last
    picture is written again until the frame's time, so the video lasts as
    long as the sending did. `frames_repeated` counts those pictures. Bytes
    carry no time and are written as they come.
    """

    def __init__(self, path: PathOrFile, width: int, height: int, fps: float | Fraction = 30, *,
                 keep_time: bool = True) -> None:
        self.frame_size = i420_size(width, height)
        self.width, self.height = width, height
        self.fps = _fps_fraction(fps)
        self.frames_written = 0
        self.frames_repeated = 0
        self._timeline = FillerTimeline(self.fps) if keep_time else None
        self._last: BytesLike | None = None
        self._file: IO[bytes] | None
        self._file, self._owned = _open(path, "w")
        header = f"YUV4MPEG2 W{width} H{height} F{self.fps.numerator}:{self.fps.denominator} Ip A1:1 C420jpeg\n"
        self._file.write(header.encode("ascii"))

    def write(self, picture: "BytesLike | _lumora.PixelFrame") -> None:
        if self._file is None:
            raise ValueError("write to a closed Y4MWriter")
        if isinstance(picture, _lumora.PixelFrame):
            data: BytesLike = i420_from_pixel_frame(picture)
            if (picture.width, picture.height) != (self.width, self.height):
                raise ValueError(f"the frame is {picture.width}x{picture.height}; "
                                 f"the file is {self.width}x{self.height}")
            if self._timeline is not None:
                repeats = self._timeline.filler(picture.pts, self.frames_written, 0.5)
                if self._last is not None:
                    for _ in range(repeats):
                        self._write_picture(self._last)
                    self.frames_repeated += repeats
        else:
            data = picture
            check_i420(data, self.width, self.height)
        self._write_picture(data)
        if self._timeline is not None:  # only kept time repeats it; the caller may reuse its buffer
            self._last = data if isinstance(data, bytes) else bytes(data)

    def _write_picture(self, data: BytesLike) -> None:
        assert self._file is not None
        self._file.write(b"FRAME\n")
        self._file.write(data)
        self.frames_written += 1

    def close(self) -> None:
        if self._file is not None:
            if self._owned:
                self._file.close()
            else:
                self._file.flush()
            self._file = None


class Y4MReader(ClosedOnExit):
    """Reads a Y4M file of 4:2:0 pictures; iterating gives each picture as I420 bytes.

    Other chroma layouts (4:4:4, mono and so on) and interlaced files raise
    ValueError, as does a last picture cut short.
    """

    def __init__(self, path: PathOrFile) -> None:
        self._file: IO[bytes] | None
        self._file, self._owned = _open(path, "r")
        try:
            self._parse_header(self._file.readline(4096))
        except BaseException:
            self.close()
            raise
        self.frame_size = i420_size(self.width, self.height)

    def _parse_header(self, line: bytes) -> None:
        fields = line.rstrip(b"\n").split(b" ")
        if not line.endswith(b"\n") or fields[0] != _MAGIC:
            raise ValueError("not a Y4M file: the first line must start with YUV4MPEG2")
        width = height = 0
        fps = Fraction(25)  # what players assume when the header gives no rate
        for field in fields[1:]:
            tag, value = field[:1], field[1:]
            try:
                if tag == b"W":
                    width = int(value)
                elif tag == b"H":
                    height = int(value)
                elif tag == b"F":
                    numerator, _, denominator = value.partition(b":")
                    fps = Fraction(int(numerator), int(denominator))
                elif tag == b"C" and value not in _I420_LAYOUTS:
                    raise ValueError(f"Y4M chroma layout {value.decode(errors='replace')} is not 4:2:0")
                elif tag == b"I" and value not in (b"p", b"?"):
                    raise ValueError("interlaced Y4M files are not read")
            except (ValueError, ZeroDivisionError) as e:
                raise ValueError(f"bad Y4M header field {field.decode(errors='replace')!r}: {e}") from e
        if width <= 0 or height <= 0:
            raise ValueError("the Y4M header gives no width and height")
        self.width, self.height, self.fps = width, height, fps

    def __iter__(self) -> Iterator[bytes]:
        while (picture := self.read()) is not None:
            yield picture

    def read(self) -> bytes | None:
        """The next picture as I420 bytes, or None at the end of the file."""
        if self._file is None:
            raise ValueError("read from a closed Y4MReader")
        line = self._file.readline(1024)
        if not line:
            return None
        if not line.startswith(b"FRAME") or not line.endswith(b"\n"):
            raise ValueError(f"bad Y4M frame header {line[:32]!r}")
        data = self._file.read(self.frame_size)
        if len(data) != self.frame_size:
            raise ValueError(f"the last Y4M picture is cut short: {len(data)} of {self.frame_size} bytes")
        return data

    def close(self) -> None:
        if self._file is not None:
            if self._owned:
                self._file.close()
            self._file = None
