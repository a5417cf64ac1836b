"""`MediaRecorder`: a room, or one user in it, recorded to media files.

    async with MediaRecorder("call.mp4") as recorder:
        await recorder.start(room, "alice")   # or no user: the whole room
        ...                                   # the file is finalised at the end of the block

What is recorded:

- ``start(room, user_id)``: that user's audio and video (`stream_type`,
  `STREAM_TYPE_VIDEO_HIGH` by default), one track each, from the start
  until `stop()`. While the user is away (left and not back yet) the audio
  is silence and the video holds their last picture; when they come back
  they are recorded again from their first frame. A user who is not in the
  room within `wait_ms` raises `LookupError` naming the user and who is.
- ``start(room)``, the whole room: the voices mixed into one audio track
  (the SDK's mix for a Room joined with ``mix_audio=True``, else an
  `AudioMixer` of every remote user, taking each user again when they come
  back), and the video by `layout`:

  - ``"grid"`` (the default): one video track of `size` composed of every
    user who sends video (see `compose`): a tile appears with a user's first
    picture and goes when their video ends, the others laid out again. Any
    container with video takes it, and everyone who sends video at any time
    is in the file: what a recording of a meeting usually is.
  - ``"files"``: a file per user (``room-alice.mp4`` for ``room.mp4``) with
    their audio and video, as a per-user recording, all on the same time
    line from the start of the recording (a late user's file starts with
    silence). For editing each voice and picture apart.
  - ``"tracks"``: one file with a video track per user. A container's tracks
    are fixed when its header is written, which waits until everyone there
    at the start sent a picture or `wait_ms`: a user whose first picture
    comes later is not in it (`late_tracks` names them). For files that
    must keep the users apart in one file, of a room whose users are there
    from the start.

Audio-only containers (ogg, mp3, wav, m4a) record the audio only.

Time. The whole room's file starts at `start()`; a per-user file at the
user's first frame. Every frame is placed by its `pts` (see `timeline`), a
pause stays a pause, and a user who arrives late appears at the moment their
first frame came. The frames are taken from the Room's streams on the event
loop and handed to a `Muxer` thread that places, composes, encodes and
writes them, so encoding never holds up the loop.

The file survives the process: it is readable up to about
`fragment_seconds` before a kill or a power cut (see `muxer`), and `stop()`
makes the ordinary file. The folder and the codecs are checked by
`start()` (FileNotFoundError naming the path, ValueError naming the codec).

Load and bad frames. Frames wait for the writer in a queue of at most
`max_queue_bytes` (64 MiB); when encoding falls behind, what does not fit
is dropped and counted (`dropped`; pictures first: a quarter of the queue
is kept for the voices). A frame that cannot be written (malformed by its
sender: a payload of the wrong size, a format or rate no encoder takes)
is skipped and counted for its track (`stats().frames_skipped`), logged
once per run of them, and everything else goes on being recorded.

Ending. `stop()` finalises the files: the encoders are flushed and the
trailers written. It waits for what is queued to be written (at most
`max_queue_bytes` of frames: up to about 1.3 s for a full queue on a busy
2-core machine; see `muxer`), then the trailers, and for mp4 and mov
written in fragments a copy of the file into a plain one. The recording
also ends by itself when the room is left; `stop()` is then still the way
to wait for the file. Leaving ``async with`` by an exception, a
cancellation or Ctrl-C (KeyboardInterrupt) calls `stop()` too. A `stop()`
cancelled while it waits does not stop the finishing: the files are
finished all the same, and a later `stop()` waits for them and raises what
writing them raised. An event loop that ends without `stop()` (the end of
``asyncio.run``) ends the recording at that moment: the thread that writes
a file finishes it within a quarter of a second of the loop's closing plus
the time to write what is queued, and the program then exits; so does one
whose main thread ends.

Needs PyAV: ``pip install 'lumora-kit[av]'``.
"""

import asyncio
import logging
import os
import re
from collections.abc import AsyncIterable, Collection
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, Self

import _lumora

from .frames import import_av
from .mixer import AudioMixer
from .muxer import MAX_QUEUE_BYTES, Muxer, RecordingStats, SkippedFrames, audio_frame_problem, plan_for
from .opening import DEFAULT_TIMEOUT, checked_options, checked_protocols

if TYPE_CHECKING:
    from ..room import Room

logger = logging.getLogger("lumora_kit")

type Layout = Literal["grid", "files", "tracks"]
LAYOUTS = ("grid", "files", "tracks")
GRID_SIZE = (1280, 720)
MIX_LATENCY_MS = 400


def user_file(path: str, user_id: str) -> str:
    """The file of `user_id` beside `path`: ``room.mp4`` -> ``room-alice.mp4`` (the id made safe for a name)."""
    stem, suffix = os.path.splitext(path)
    safe = re.sub(r"[^\w.@+-]", "_", user_id).lstrip(".") or "_"
    return f"{stem}-{safe}{suffix}"


class MediaRecorder:
    """Records a room or one user to `path`; the container and codecs follow the file's name (see `muxer`).

    `format` names FFmpeg's muxer when the name does not tell it; `options`
    go to the muxer (as in `av.open`). `audio_codec`, `video_codec`,
    `audio_options` and `video_options` override the container's choice;
    `sample_rate` that of the audio track (48 kHz, or the nearest the codec
    takes). `layout` is how a whole room is recorded (see the module);
    `size` the video's size (the grid's, 1280x720 by default; a user's
    track takes their first picture's unless given). `fps` is the grid's
    frame rate (15 by default), or the nominal rate of a user's track
    (pictures keep their own times). `wait_ms` is how long `start` waits
    for a user, and a file's header for a track's first picture.
    `fragment_seconds` is how much a killed process may lose (None: the
    file is readable only after `stop()`). `max_queue_bytes` bounds the
    frames waiting for a file's writer (64 MiB; beyond it they are dropped
    and counted in `dropped`), and so how long `stop()` waits for them.

    `stats()` counts, besides what is written: `dropped` (the writer fell
    behind), `frames_skipped` (frames that could not be written, per track)
    and `queued_bytes` / `queued_bytes_peak` (the writer's queue now, and
    at its fullest); see `RecordingStats`.

    `path` is a local file, whatever it looks like (``pipe:1`` is a file of
    that name), so a name a user supplies is safe to record to. To send the
    recording out through FFmpeg's protocols, name those it may use in
    `protocols` (e.g. ``{"tcp"}``); connecting and each write then give up
    after `timeout` seconds (10 by default). A ``protocol_whitelist`` in
    `options` is refused: `protocols` is the one way to choose.
    """

    def __init__(self, path: str | os.PathLike[str], *, format: str | None = None,
                 options: dict[str, str] | None = None, audio_codec: str | None = None,
                 video_codec: str | None = None,
                 audio_options: dict[str, str] | None = None, video_options: dict[str, str] | None = None,
                 sample_rate: int | None = None, channels: int = 1, fps: float | None = None,
                 wait_ms: int = 1000, layout: Layout = "grid", size: tuple[int, int] | None = None,
                 fragment_seconds: float | None = 2.0, max_queue_bytes: int = MAX_QUEUE_BYTES,
                 stream_type: _lumora.StreamType = _lumora.STREAM_TYPE_VIDEO_HIGH,
                 protocols: Collection[str] | None = None, timeout: float = DEFAULT_TIMEOUT) -> None:
        import_av("MediaRecorder")
        if layout not in LAYOUTS:
            raise ValueError(f"layout is one of {', '.join(map(repr, LAYOUTS))}, not {layout!r}")
        if size is not None and (len(size) != 2 or min(size) <= 0 or size[0] % 2 or size[1] % 2):
            raise ValueError(f"size is an even, positive (width, height), not {size!r}")
        if fragment_seconds is not None and fragment_seconds <= 0:
            raise ValueError(f"fragment_seconds is positive or None, not {fragment_seconds!r}")
        if max_queue_bytes <= 0:
            raise ValueError(f"max_queue_bytes is a positive number of bytes, not {max_queue_bytes!r}")
        self.path = os.fspath(path)
        if not isinstance(self.path, str):
            raise TypeError(f"path is a str or a path, not {type(self.path).__name__}")
        self.plan = plan_for(self.path, format)  # an unknown container fails here, not in start()
        checked_options(options)
        self._muxer_options: dict[str, Any] = dict(
            format=format, options=options, protocols=checked_protocols(protocols, timeout), timeout=timeout,
            audio_codec=audio_codec, video_codec=video_codec,
            audio_options=audio_options, video_options=video_options, sample_rate=sample_rate,
            channels=channels, wait_ms=wait_ms, fragment_seconds=fragment_seconds, max_queue_bytes=max_queue_bytes)
        self.channels = channels
        self.fps = fps
        self.wait_ms = wait_ms
        self.layout = layout
        self.size = size
        self.stream_type = stream_type
        self._muxers: dict[str | None, Muxer] = {}  # None: the file at `path`; a user id: that user's file
        self._origin = 0.0
        self._tasks: list[asyncio.Task[None]] = []
        self._closers: list[Any] = []
        self._mixer: AudioMixer | None = None
        self._watcher: asyncio.Task[None] | None = None
        self._mix_skipped = SkippedFrames(self.path, "mixed into")  # malformed frames kept from the mixer
        self._started = False
        self._stopped = False
        self._stopping: asyncio.Task[None] | None = None  # ends the streams and finishes the files

    # ---- Starting ----

    async def start(self, room: "Room", user_id: str | None = None) -> None:
        """Starts recording `user_id` (audio and video), or with None the whole room (see the module).

        The streams are open and the file created when this returns: nothing
        sent after it is missed, and a bad path or codec has raised."""
        if self._started:
            raise RuntimeError("this MediaRecorder was started already")
        self._started = True
        loop = asyncio.get_running_loop()
        try:
            if user_id is not None:
                await self._wait_for(room, user_id)
                self._muxers[None] = self._user_muxer(self.path, user_id, origin=None)
                streams = self._open_user_streams(room, user_id)  # open before start() returns
                self._tasks.append(loop.create_task(self._follow_user(room, user_id, streams),
                                                    name=f"lumora_kit recorder of {user_id}"))
            else:
                self._origin = loop.time()
                self._record_room(room)
        except BaseException:
            await self.stop()
            raise
        self._watch_end()

    async def _wait_for(self, room: "Room", user_id: str) -> None:
        if user_id in room.remote_users:
            return
        try:
            await room.wait_for_user(user_id, timeout=self.wait_ms / 1000)
        except TimeoutError:
            present = ", ".join(repr(u) for u in sorted(room.remote_users)) or "nobody"
            raise LookupError(f"user {user_id!r} is not in room {room.room_id!r} after {self.wait_ms} ms; "
                              f"in the room: {present}") from None

    def _user_muxer(self, path: str, user_id: str, origin: float | None) -> Muxer:
        video = self.plan.video_codec is not None or self._muxer_options["video_codec"] is not None
        return Muxer(path, audio_keys=(user_id,), expected={user_id} if video else set(), video_size=self.size,
                     fps=self.fps or 30, origin=origin, **self._muxer_options)

    def _record_room(self, room: "Room") -> None:
        loop = asyncio.get_running_loop()
        mixed: AsyncIterable[_lumora.AudioFrame] | None
        if self.layout == "files":
            mixed = None
        else:
            if self.layout == "grid":
                self._muxers[None] = Muxer(self.path, grid_size=self.size or GRID_SIZE, fps=self.fps or 15,
                                           origin=self._origin, **self._muxer_options)
            else:
                self._muxers[None] = Muxer(self.path, expected=set(room.remote_users), video_size=self.size,
                                           fps=self.fps or 30, origin=self._origin, **self._muxer_options)
            if room.mix_audio:
                mixed = room.mixed_audio_stream()
            else:
                # A mix handed out later waits longer for late audio; its windows are dated by when
                # their audio came (`arrival_of`), so the wait shifts nothing in the file.
                mixer = self._mixer = AudioMixer(self._muxer_options["sample_rate"] or 48000, self.channels,
                                                 latency_ms=MIX_LATENCY_MS)
                mixer.start(self._origin)
                mixed = mixer
        records_video = any(m.records_video for m in self._muxers.values()) or (
            self.layout == "files" and (self.plan.video_codec or self._muxer_options["video_codec"]) is not None)
        tracks = room.tracks(audio=not room.mix_audio, video=records_video)
        self._closers.append(tracks)
        if mixed is not None:
            self._follow(mixed, "audio", None, None)
        self._tasks.append(loop.create_task(self._follow_tracks(tracks), name="lumora_kit recorder of a room"))

    async def _follow_tracks(self, tracks: AsyncIterable[Any]) -> None:
        """Records each user's streams as the Room opens them: for each stay of each user in the room."""
        async for stream in tracks:
            user = stream.user_id
            is_audio = stream.stream_type == _lumora.STREAM_TYPE_AUDIO
            if not is_audio and stream.stream_type != self.stream_type:
                stream.close()
                continue
            if self.layout == "files":
                if user not in self._muxers:
                    try:
                        self._muxers[user] = self._user_muxer(user_file(self.path, user), user, self._origin)
                    except Exception:
                        logger.exception("MediaRecorder: cannot record %r to a file of their own", user)
                        stream.close()
                        continue
                self._follow(stream, "audio" if is_audio else "video", user, user)
            elif is_audio:
                if self._mixer is not None:
                    checked = _CheckedAudio(stream, f"audio {user}", self._mix_skipped)
                    try:
                        self._mixer.add_input(checked, user)
                    except ValueError:  # their last stay's input is still taking its last frames
                        self._mixer.add_input(checked, f"{user} (again)")
                else:
                    stream.close()
            else:
                self._follow(stream, "video", user, None)
        if self._mixer is not None:  # the room was left: the mix ends too
            await self._mixer.aclose()

    def _open_user_streams(self, room: "Room", user_id: str) -> list[AsyncIterable[Any]]:
        streams: list[AsyncIterable[Any]] = [room.audio_stream(user_id)]
        if self._muxers[None].records_video:
            streams.append(room.video_stream(user_id, self.stream_type))
        self._closers.extend(streams)
        return streams

    async def _follow_user(self, room: "Room", user_id: str, streams: list[AsyncIterable[Any]]) -> None:
        """Records `user_id` for each of their stays, until the room is left or `stop()`."""
        while True:
            await asyncio.gather(*(self._forward(stream, "audio" if i == 0 else "video", user_id, None)
                                   for i, stream in enumerate(streams)))
            try:
                await room.wait_for_user(user_id, timeout=None)  # they left: wait for them to come back
            except RuntimeError:
                return  # the room was left
            streams = self._open_user_streams(room, user_id)

    def _follow(self, stream: AsyncIterable[Any], kind: str, key: str | None, file: str | None) -> None:
        self._closers.append(stream)
        self._tasks.append(asyncio.get_running_loop().create_task(
            self._forward(stream, kind, key, file), name=f"lumora_kit recorder {kind} {key}"))

    async def _forward(self, stream: AsyncIterable[Any], kind: str, key: str | None, file: str | None) -> None:
        muxer = self._muxers[file]
        loop = asyncio.get_running_loop()
        mixer = stream if isinstance(stream, AudioMixer) else None
        async for frame in stream:
            # A mixed window is handed out `latency_ms` after its audio came in: date it by when it came.
            arrival = loop.time() if mixer is None else mixer.arrival_of(frame)
            muxer.put(kind, key, frame, arrival)
        if key is not None:
            muxer.put("left", key, kind, loop.time())  # the user left (or stopped sending this)

    def _watch_end(self) -> None:
        """Finishes the files when the recording's streams have all ended (the room was left)."""
        tasks = list(self._tasks)

        async def watch() -> None:
            try:
                await asyncio.gather(*tasks, return_exceptions=True)
            finally:
                # Also when cancelled: the loop is ending (asyncio.run cancels what is left) without stop().
                if not self._stopped:
                    for muxer in self._muxers.values():
                        muxer.finish()

        self._watcher = asyncio.get_running_loop().create_task(watch())

    # ---- While recording ----

    @property
    def files(self) -> list[str]:
        """The files being written: `path`, or with ``layout="files"`` one per user so far."""
        return [muxer.path for muxer in self._muxers.values()]

    @property
    def late_tracks(self) -> list[tuple[str, str | None]]:
        """(kind, user id) of tracks whose first frame came after the file's header (not recorded)."""
        return [track for muxer in self._muxers.values() for track in muxer.late_tracks]

    @property
    def tracks(self) -> list[tuple[str, str | None]]:
        """(kind, user id, or None for the mix and the grid) of the files' tracks, once their headers are fixed."""
        return [track for muxer in self._muxers.values() for track in muxer.tracks]

    @property
    def dropped(self) -> int:
        """Frames dropped because a writer thread fell behind."""
        return sum(muxer.dropped for muxer in self._muxers.values())

    def stats(self) -> RecordingStats:
        """What is written so far: seconds, bytes on the disk, frames per track, filled in, dropped, skipped.

        With ``layout="files"`` the files' figures together (seconds: the
        longest, bytes: the sum, the queue's peak: the largest; the frames
        are labelled by user)."""
        parts = [muxer.stats() for muxer in self._muxers.values()]
        frames: dict[str, int] = {}
        skipped = dict(self._mix_skipped.counts)
        for part in parts:
            frames |= part.frames
            for label, count in part.frames_skipped.items():
                skipped[label] = skipped.get(label, 0) + count
        return RecordingStats(
            seconds=max((p.seconds for p in parts), default=0.0), bytes=sum(p.bytes for p in parts),
            frames=frames, silence_seconds=sum(p.silence_seconds for p in parts),
            pictures_held=sum(p.pictures_held for p in parts), pictures_fitted=sum(p.pictures_fitted for p in parts),
            dropped=sum(p.dropped for p in parts), late_tracks=[t for p in parts for t in p.late_tracks],
            frames_skipped=skipped, queued_bytes=sum(p.queued_bytes for p in parts),
            queued_bytes_peak=max((p.queued_bytes_peak for p in parts), default=0))

    # ---- Stopping ----

    async def stop(self) -> None:
        """Stops recording and finalises the files; returns when they are written.

        Raises what writing a file raised, at this call and at every later
        one. Stopping runs in a task of its own: a cancellation of this call
        does not stop it, the files are finished all the same, and a later
        `stop()` waits for them (see the module for how long it takes)."""
        loop = asyncio.get_running_loop()
        if self._stopping is None:
            self._stopped = True
            self._stopping = loop.create_task(self._end(loop.time()), name="lumora_kit recorder stopping")
        stopping = self._stopping
        await asyncio.wait([stopping])  # a cancellation ends this wait, not the stopping
        muxers = list(self._muxers.values())
        for muxer in muxers:
            while not muxer.finished.is_set():  # the thread writes the trailer: wait without a thread
                await asyncio.sleep(0.02)
        for muxer in muxers:
            if muxer.error is not None:
                raise muxer.error
        failure = None if stopping.cancelled() else stopping.exception()
        if failure is not None:
            raise failure

    async def _end(self, end: float) -> None:
        """Ends the streams at loop time `end`, hands the files what is still due, and has them finished.

        The files are finished whatever happens before: also when this is
        cancelled (by the end of the loop) or a stream fails to close."""
        try:
            for task in self._tasks:
                task.cancel()
            await asyncio.gather(*self._tasks, return_exceptions=True)
            self._drain_mix(end)
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
        finally:
            for muxer in self._muxers.values():
                muxer.finish(end)

    def _drain_mix(self, end: float) -> None:
        """Hands the file the mix's windows that ended by `end` but were not handed out yet (its latency)."""
        mixer, muxer = self._mixer, self._muxers.get(None)
        if mixer is None or muxer is None or mixer.closed:
            return
        due = int((end - self._origin) * 1000 // mixer.frame_ms) - mixer.frames_mixed
        for _ in range(max(0, due)):
            frame = mixer.mix()
            muxer.put("audio", None, frame, mixer.arrival_of(frame))

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        await self.stop()


class _CheckedAudio:
    """A user's audio stream on its way to the mixer, without the frames that cannot be mixed.

    A malformed frame (see `audio_frame_problem`) would end the mixer's
    input, and the user would be silent for the rest of the recording: it is
    kept back and counted under `label` in `skipped`."""

    def __init__(self, stream: AsyncIterable[_lumora.AudioFrame], label: str, skipped: SkippedFrames) -> None:
        self._stream = stream
        self._frames = aiter(stream)
        self._label = label
        self._skipped = skipped

    def __aiter__(self) -> "_CheckedAudio":
        return self

    async def __anext__(self) -> _lumora.AudioFrame:
        while True:
            frame = await anext(self._frames)
            problem = audio_frame_problem(frame)
            if problem is None:
                return frame
            self._skipped.skip(self._label, problem)

    async def aclose(self) -> None:
        close = getattr(self._stream, "aclose", None)
        if close is not None:
            await close()
