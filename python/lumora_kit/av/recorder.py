"""`MediaRecorder`: a room, or one user in it, recorded to a media file.

    async with MediaRecorder("call.mp4") as recorder:
        await recorder.start(room, "alice")   # or None: the whole room
        ...                                   # the file is finalised at the end of the block

What is recorded:

- ``start(room, user_id)``: that user's audio and video (first video
  stream, `STREAM_TYPE_VIDEO_HIGH` by default), one track each.
- ``start(room)`` (no user): the room's audio mixed into one track (the
  SDK's mix for a Room joined with ``mix_audio=True``, else an
  `AudioMixer` of every remote user's audio, also of users who come
  later), and one video track per user, titled with the user id. The
  container's tracks are fixed when its header is written (see `muxer`):
  users whose first picture comes later than `wait_ms` after the recording's
  first frame are not in the file (`late_tracks` names them); record them
  with a recorder of their own.

Audio-only containers (ogg, mp3, wav, m4a) record the audio only.

The frames are taken from the Room's streams on the event loop and handed
to a `Muxer` thread that places them in time by their `pts` (a pause stays
a pause), encodes and writes them, so encoding never holds up the loop.

Ending. `stop()` finalises the file: the encoders are flushed and the
container's trailer written. The recording also ends by itself when what it
records is gone (the user left, or the room was left); `stop()` is then
still the way to wait for the file. Leaving ``async with`` by an exception,
a cancellation or Ctrl-C (KeyboardInterrupt) calls `stop()` too, and the
thread that writes the file finishes it even when the program is ending.

Needs PyAV: ``pip install 'lumora-kit[av]'``.
"""

import asyncio
import logging
import os
from collections.abc import AsyncIterable
from types import TracebackType
from typing import TYPE_CHECKING, Any, Self

import _lumora

from .. import events as ev
from .frames import import_av
from .mixer import AudioMixer
from .muxer import Muxer, plan_for

if TYPE_CHECKING:
    from ..room import Room

logger = logging.getLogger("lumora_kit")


class MediaRecorder:
    """Records a room or one user to `path`; the container and codecs follow the file's name (see `muxer`).

    `format` names FFmpeg's muxer when the name does not tell it; `options`
    go to the muxer (as in `av.open`). `audio_codec`, `video_codec`,
    `audio_options` and `video_options` override the container's choice;
    `sample_rate` that of the audio track (by default the first frame's,
    or the nearest the codec takes); `fps` is the nominal frame rate
    written in the file (pictures keep their own times). `wait_ms` is how
    long the file waits for a track's first frame (see the module).
    """

    def __init__(self, path: str | os.PathLike[str], *, format: str | None = None,
                 options: dict[str, str] | None = None, audio_codec: str | None = None,
                 video_codec: str | None = None,
                 audio_options: dict[str, str] | None = None, video_options: dict[str, str] | None = None,
                 sample_rate: int | None = None, channels: int = 1, fps: float = 30, wait_ms: int = 1000,
                 stream_type: _lumora.StreamType = _lumora.STREAM_TYPE_VIDEO_HIGH) -> None:
        import_av("MediaRecorder")
        self.path = str(path)
        self.plan = plan_for(self.path, format)  # an unknown container fails here, not in start()
        self._muxer_options: dict[str, Any] = dict(
            format=format, options=options, audio_codec=audio_codec, video_codec=video_codec,
            audio_options=audio_options, video_options=video_options, sample_rate=sample_rate, fps=fps,
            wait_ms=wait_ms)
        self.channels = channels
        self.stream_type = stream_type
        self._muxer: Muxer | None = None
        self._tasks: list[asyncio.Task[None]] = []
        self._closers: list[Any] = []
        self._mixer: AudioMixer | None = None
        self._video_users: set[str] = set()
        self._watcher: asyncio.Task[None] | None = None
        self._stopped = False

    # ---- Starting ----

    async def start(self, room: "Room", user_id: str | None = None) -> None:
        """Starts recording `user_id` (audio and video), or with None the whole room (see the module).

        The streams are open when this returns: nothing sent after it is missed."""
        if self._muxer is not None:
            raise RuntimeError("this MediaRecorder was started already")
        records_video = self.plan.video_codec is not None or self._muxer_options["video_codec"] is not None
        expected: set[tuple[str, str | None]]
        if user_id is not None:
            expected = {("audio", user_id)}
            if records_video:
                expected.add(("video", user_id))
        else:
            # Everyone present may publish video soon after; the header waits for them (up to wait_ms).
            expected = {("audio", None)}
            if records_video:
                expected.update(("video", user) for user in room.remote_users)
        self._muxer = Muxer(self.path, expected=expected, **self._muxer_options)
        try:
            if user_id is not None:
                self._record_user(room, user_id, records_video)
            else:
                self._record_room(room, records_video)
        except BaseException:
            await self.stop()
            raise

    def _record_user(self, room: "Room", user_id: str, records_video: bool) -> None:
        audio = room.audio_stream(user_id)
        self._follow(audio, "audio", user_id)
        if records_video:
            self._follow(room.video_stream(user_id, self.stream_type), "video", user_id)
        self._watch_end()

    def _record_room(self, room: "Room", records_video: bool) -> None:
        loop = asyncio.get_running_loop()
        if room.mix_audio:
            mixed: AsyncIterable[_lumora.AudioFrame] = room.mixed_audio_stream()
            self._closers.append(mixed)
        else:
            mixer = self._mixer = AudioMixer(self._muxer_options["sample_rate"] or 48000, self.channels)
            mixer.start()
            mixed = mixer
        events = room.events(ev.OnRemoteUserEnterRoom, ev.OnRemoteVideoAvailable)
        self._closers.append(events)
        for user in room.remote_users:
            self._add_user(room, user, records_video)
        self._follow(mixed, "audio", None)
        self._tasks.append(loop.create_task(self._follow_users(room, events, records_video)))
        self._watch_end()

    def _add_user(self, room: "Room", user_id: str, records_video: bool) -> None:
        if self._mixer is not None and user_id not in self._mixer.inputs:
            self._mixer.add_input(room.audio_stream(user_id), user_id)
        if records_video and user_id not in self._video_users:
            self._video_users.add(user_id)
            self._follow(room.video_stream(user_id, self.stream_type), "video", user_id)

    async def _follow_users(self, room: "Room", events: AsyncIterable[ev.Event], records_video: bool) -> None:
        async for event in events:
            if isinstance(event, ev.OnRemoteUserEnterRoom):
                user = event.info.user_id.GetValue()
            elif isinstance(event, ev.OnRemoteVideoAvailable) and event.available:
                user = event.user_id
            else:
                continue
            if user:
                self._add_user(room, user, records_video)
        if self._mixer is not None:  # the room was left: the mix ends too
            await self._mixer.aclose()

    def _follow(self, stream: AsyncIterable[Any], kind: str, key: str | None) -> None:
        self._closers.append(stream)
        self._tasks.append(asyncio.get_running_loop().create_task(self._forward(stream, kind, key),
                                                                  name=f"lumora_kit recorder {kind} {key}"))

    async def _forward(self, stream: AsyncIterable[Any], kind: str, key: str | None) -> None:
        muxer = self._muxer
        assert muxer is not None
        loop = asyncio.get_running_loop()
        mixer = stream if isinstance(stream, AudioMixer) else None
        async for frame in stream:
            # A mixed window is handed out `latency_ms` after its audio came in: date it by when it came.
            arrival = loop.time() if mixer is None else mixer.arrival_of(frame)
            muxer.put(kind, key, frame, arrival)

    def _watch_end(self) -> None:
        """Finishes the file when every stream it records has ended (the user or the room is gone)."""
        tasks = list(self._tasks)

        async def watch() -> None:
            await asyncio.gather(*tasks, return_exceptions=True)
            if self._muxer is not None and not self._stopped:
                self._muxer.finish()

        self._watcher = asyncio.get_running_loop().create_task(watch())

    # ---- Stopping ----

    @property
    def late_tracks(self) -> list[tuple[str, str | None]]:
        """(kind, user id) of tracks whose first frame came after the file's header (not recorded)."""
        return [] if self._muxer is None else list(self._muxer.late_tracks)

    @property
    def tracks(self) -> list[tuple[str, str | None]]:
        """(kind, user id or None for the mix) of the file's tracks, once its header is written."""
        return [] if self._muxer is None else self._muxer.tracks

    @property
    def dropped(self) -> int:
        """Frames dropped because the writer thread fell behind."""
        return 0 if self._muxer is None else self._muxer.dropped

    async def stop(self) -> None:
        """Stops recording and finalises the file; returns when it is written.

        Raises what writing the file raised. A cancellation while waiting
        does not stop the writing: the thread finishes the file regardless."""
        if self._stopped:
            return
        self._stopped = True
        for task in self._tasks:
            task.cancel()
        for stream in self._closers:
            close = getattr(stream, "aclose", None)
            if close is not None:
                try:
                    await close()
                except Exception:
                    logger.exception("MediaRecorder: closing a stream failed")
        if self._mixer is not None:
            await self._mixer.aclose()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        muxer = self._muxer
        if muxer is None:
            return
        muxer.finish()
        await asyncio.shield(asyncio.to_thread(muxer.finished.wait))
        if muxer.error is not None:
            raise muxer.error

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        await self.stop()
