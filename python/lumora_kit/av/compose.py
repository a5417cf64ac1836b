"""Pictures fitted into a fixed frame, and a grid of users' pictures: the video of recordings.

A recorded video track keeps one size for its whole length (an encoder and
most players take nothing else), while a sender may publish again at
another size at any time. So every picture is fitted: scaled by one factor
to the largest size that fits the frame, its aspect kept, centred, with
black bars where it does not fill the frame (`fit`).

`GridCompositor` is the picture of a whole room: one tile per user who
sends video, laid out in the smallest square-ish grid that holds them
(1: the whole frame, 2: side by side, 3 and 4: two by two, 5 and 6: three
by two, ...), in the order they first appeared. Each tile shows the user's
latest picture fitted into it. A user whose video ends (they left, or
stopped their camera) loses their tile and the others take the room; a user
who comes back gets a tile again at the end of the order. The composed
picture is kept until something changes, so a still room costs no scaling.

Pictures are I420 throughout (numpy planes, scaled by FFmpeg's swscale
through `i420_from_av`). Black is Y 16, U and V 128, as video black is.
"""

import math
from typing import TYPE_CHECKING

import _lumora

from .frames import MILLISECONDS, av_video_frame, i420_from_av, import_av

if TYPE_CHECKING:
    import av
    import numpy as np
    import numpy.typing as npt

type Box = tuple[int, int, int, int]  # x, y, width, height (all even)


def grid_boxes(count: int, width: int, height: int) -> list[Box]:
    """The tiles of a grid of `count` pictures in a `width` x `height` frame, row by row."""
    if count <= 0:
        return []
    columns = math.ceil(math.sqrt(count))
    rows = math.ceil(count / columns)
    tile_w, tile_h = (width // columns) & ~1, (height // rows) & ~1
    return [((i % columns) * tile_w, (i // columns) * tile_h, tile_w, tile_h) for i in range(count)]


def fitted_size(width: int, height: int, box_w: int, box_h: int) -> tuple[int, int]:
    """The even size of a `width` x `height` picture scaled to fit `box_w` x `box_h`, aspect kept."""
    scale = min(box_w / width, box_h / height)
    return max(2, int(width * scale) & ~1), max(2, int(height * scale) & ~1)


class Canvas:
    """One I420 frame being painted: planes as numpy views of one buffer, black when made."""

    def __init__(self, width: int, height: int) -> None:
        if width <= 0 or height <= 0 or width % 2 or height % 2:
            raise ValueError(f"a video frame needs an even, positive width and height, not {width}x{height}")
        import numpy as np
        self.width, self.height = width, height
        luma = width * height
        self.data: "npt.NDArray[np.uint8]" = np.empty(luma * 3 // 2, dtype=np.uint8)
        self.y = self.data[:luma].reshape(height, width)
        self.u = self.data[luma:luma * 5 // 4].reshape(height // 2, width // 2)
        self.v = self.data[luma * 5 // 4:].reshape(height // 2, width // 2)
        self.clear()

    def clear(self, box: Box | None = None) -> None:
        x, y, w, h = box or (0, 0, self.width, self.height)
        self.y[y:y + h, x:x + w] = 16
        self.u[y // 2:(y + h) // 2, x // 2:(x + w) // 2] = 128
        self.v[y // 2:(y + h) // 2, x // 2:(x + w) // 2] = 128

    def paste_fitted(self, frame: _lumora.PixelFrame, box: Box) -> None:
        """Paints `frame` scaled into `box` with its aspect kept, centred on black."""
        import numpy as np
        bx, by, bw, bh = box
        self.clear(box)
        w, h = fitted_size(frame.width, frame.height, bw, bh)
        if (w, h) == (frame.width, frame.height):
            pixels = np.frombuffer(frame.data, dtype=np.uint8)
        else:
            pixels = np.frombuffer(i420_from_av(av_video_frame(frame), w, h), dtype=np.uint8)
        x, y = bx + ((bw - w) // 2 & ~1), by + ((bh - h) // 2 & ~1)
        luma = w * h
        self.y[y:y + h, x:x + w] = pixels[:luma].reshape(h, w)
        self.u[y // 2:(y + h) // 2, x // 2:(x + w) // 2] = pixels[luma:luma * 5 // 4].reshape(h // 2, w // 2)
        self.v[y // 2:(y + h) // 2, x // 2:(x + w) // 2] = pixels[luma * 5 // 4:].reshape(h // 2, w // 2)

    def av_frame(self, pts_ms: int) -> "av.VideoFrame":
        import av
        frame = av.VideoFrame.from_ndarray(self.data.reshape(self.height * 3 // 2, self.width), format="yuv420p")
        frame.pts = pts_ms
        frame.time_base = MILLISECONDS
        return frame


def fit(frame: _lumora.PixelFrame, width: int, height: int, pts_ms: int) -> "av.VideoFrame":
    """`frame` as a `width` x `height` PyAV picture: itself when it has that size, else fitted on black."""
    if (frame.width, frame.height) == (width, height):
        picture = av_video_frame(frame)
        picture.pts = pts_ms
        return picture
    canvas = Canvas(width, height)
    canvas.paste_fitted(frame, (0, 0, width, height))
    return canvas.av_frame(pts_ms)


class GridCompositor:
    """The latest picture of each user, composed into a grid of `width` x `height` (see the module)."""

    def __init__(self, width: int, height: int) -> None:
        import_av("GridCompositor")
        self.canvas = Canvas(width, height)
        self._pictures: dict[str, _lumora.PixelFrame] = {}  # in the order of the tiles
        self._painted: dict[str, tuple[_lumora.PixelFrame, Box]] = {}  # what each tile shows now
        self._layout_changed = False

    @property
    def users(self) -> list[str]:
        return list(self._pictures)

    def show(self, user: str, picture: _lumora.PixelFrame) -> None:
        """`picture` is `user`'s latest; a user not in the grid gets a tile."""
        if user not in self._pictures:
            self._layout_changed = True
        self._pictures[user] = picture

    def remove(self, user: str) -> None:
        """`user`'s tile goes; the others are laid out again."""
        if self._pictures.pop(user, None) is not None:
            self._layout_changed = True

    def compose(self, pts_ms: int) -> "av.VideoFrame":
        """The grid now, stamped `pts_ms`; only tiles whose picture changed are painted again."""
        boxes = dict(zip(self._pictures, grid_boxes(len(self._pictures), self.canvas.width, self.canvas.height)))
        if self._layout_changed:
            self.canvas.clear()
            self._painted.clear()
            self._layout_changed = False
        for user, picture in self._pictures.items():
            box = boxes[user]
            painted = self._painted.get(user)
            if painted is None or painted[0] is not picture or painted[1] != box:
                self.canvas.paste_fitted(picture, box)
                self._painted[user] = (picture, box)
        return self.canvas.av_frame(pts_ms)
