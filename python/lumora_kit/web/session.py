"""One browser in a room: its `Room`, its peer connection and its WebSocket, from join to leave.

The page opens a WebSocket and sends ``join`` with the room, the user id
and its WebRTC offer: the microphone (send and receive), the camera (send)
and `video_slots` video transceivers (receive only). The session enters the
room, answers, and from then on runs four tasks beside the WebSocket's
reader:

- the browser's audio and video to the room (`_take_audio`, `_take_video`):
  decoded frames on the gateway's clock (`timing`); when aiortc's queue of
  decoded frames grows (the gateway fell behind) the oldest are dropped;
- the room's events to the page (`_follow_events`): the member list,
  custom messages, SEI, connection state, and the video slots;
- the page's messages to the room (the reader): ``message`` sends a custom
  command; ``leave`` ends the session.

Everything the page is told goes through one bounded queue with a writer
task, so a page that does not read cannot hold up the room; what did not
fit is counted (`SessionStats.messages_dropped`). The session ends when the
WebSocket closes (the tab closed: the browser closes it at once; a browser
that vanished: aiohttp's heartbeat notices within 1.5 ping intervals), when
the peer connection fails, or on ``leave``; it then closes the
peer connection and leaves the room, so the other members see the user leave.
"""

import asyncio
import json
import logging
from fractions import Fraction
from collections.abc import Callable
from dataclasses import asdict, dataclass
from typing import Any

from .extra import require_web

# Without the web extra: MissingWebExtra, naming it, rather than the first missing module.
require_web()

import _lumora
import av
import numpy as np
from aiohttp import WSCloseCode, WSMsgType, web
from aiortc import sdp
from aiortc import RTCBundlePolicy, RTCConfiguration, RTCPeerConnection, RTCSessionDescription
from aiortc.mediastreams import MediaStreamError, MediaStreamTrack
from aiortc.rtcrtpreceiver import RTCRtpReceiver
from aiortc.rtp import RtcpSrPacket

from .. import events as ev
from ..errors import LumoraError
from ..media.audio import frame_from_pcm
from ..av.frames import pixel_frame_from_av
from ..room import Room
from ..sources import AudioSource, VideoSource
from ..streams import Stream
from .timing import AudioChunker, CaptureClock, CaptureTimeline, SenderReports
from .tracks import MixTrack, VideoSlotTrack

logger = logging.getLogger("lumora_kit.web")

SAMPLE_RATE = 48000  # what the browser's audio goes to the room at: Opus's own rate, mono
FRAME_MS = 20
MAX_USER_ID = 128
MAX_ROOM_ID = 64
MAX_MESSAGE_BYTES = 1000
OUTBOX_SIZE = 256  # messages to the page waiting to be written
# Decoded frames of the browser waiting in aiortc's queue beyond these mean the gateway fell
# behind: the oldest are dropped (counted) so that the room gets the browser's present.
MAX_AUDIO_BACKLOG = 10  # 200 ms
MAX_VIDEO_BACKLOG = 5
MIX_QUEUE_FRAMES = 10  # 200 ms of the room's mix waiting for the browser's encoder
SLOT_QUEUE_PICTURES = 3
VIDEO_HOLD_S = 0.2  # the longest a picture waits for the audio captured with it
_UINT32 = 0xFFFFFFFF


class JoinRefused(ValueError):
    """A join request the gateway does not take; the page is told why."""


@dataclass
class SessionStats:
    """What one browser's session carried and dropped."""

    user_id: str = ""
    room_id: str = ""
    audio_frames_in: int = 0  # 20 ms frames sent to the room
    video_frames_in: int = 0
    stale_dropped: int = 0  # browser frames dropped because the gateway was behind
    largest_lag_ms: float = 0.0  # the latest a browser frame came after its shortest trip
    audio_gaps: int = 0
    audio_frames_out: int = 0  # mixed frames handed to the browser's encoder
    video_frames_out: int = 0
    room_dropped: int = 0  # the room's frames the browser did not take in time (mix and slots)
    messages_in: int = 0
    messages_out: int = 0
    messages_dropped: int = 0
    ended: str = ""  # why the session ended: "left", "page closed", "connection lost or no answer to pings"...


def room_id_of(text: str) -> int | str:
    """A room id from the page: digits are a numeric room id (1 to 2**32 - 1), other text a textual one."""
    text = text.strip()
    if not text or len(text) > MAX_ROOM_ID:
        raise JoinRefused(f"a room id has 1 to {MAX_ROOM_ID} characters")
    if text.isascii() and text.isdigit():
        number = int(text)
        if not 0 < number <= _UINT32:
            raise JoinRefused("a numeric room id is between 1 and 4294967295")
        return number
    return text


def user_id_of(text: object) -> str:
    if not isinstance(text, str) or not text.strip() or len(text) > MAX_USER_ID:
        raise JoinRefused(f"a user id has 1 to {MAX_USER_ID} characters")
    if any(ord(c) < 32 for c in text):
        raise JoinRefused("a user id has no control characters")
    return text


def mono_pcm(frame: av.AudioFrame, resampler: list[av.AudioResampler]) -> bytes:
    """A decoded audio frame as 48 kHz mono 16-bit PCM (aiortc's Opus decoder gives 48 kHz stereo s16)."""
    if frame.format.name == "s16" and frame.sample_rate == SAMPLE_RATE:
        channels = frame.layout.nb_channels
        samples = frame.to_ndarray().reshape(-1, channels)
        if channels == 1:
            return samples.astype("<i2", copy=False).tobytes()
        return samples.mean(axis=1).astype("<i2").tobytes()
    if not resampler:
        resampler.append(av.AudioResampler(format="s16", layout="mono", rate=SAMPLE_RATE))
    return b"".join(np.asarray(piece.to_ndarray()).astype("<i2", copy=False).tobytes()
                    for piece in resampler[0].resample(frame))


class TrackTimes:
    """Capture times of one browser track's decoded frames, on the browser's clock shared by its tracks.

    aiortc decodes with each frame's RTP time counted from the track's first
    packet, and keeps the sender reports to itself: the receiver's RTCP
    handler is wrapped to read them, and the first packet's RTP timestamp
    is read from its timestamp mapper (`timing` says how the times are
    made). Where either is missing (another aiortc, no report yet), the
    track's own time stands in."""

    def __init__(self, receiver: RTCRtpReceiver | None, clock: CaptureClock, clock_rate: int) -> None:
        self.clock, self.clock_rate = clock, clock_rate
        self.reports = SenderReports(clock_rate)
        self.fallback = CaptureTimeline(clock.origin)
        self._mapper = getattr(receiver, "_RTCRtpReceiver__timestamp_mapper", None)
        if receiver is not None:
            handle = receiver._handle_rtcp_packet

            async def read_sender_reports(packet: Any) -> None:
                if isinstance(packet, RtcpSrPacket):
                    self.reports.add(packet.sender_info.rtp_timestamp, packet.sender_info.ntp_timestamp)
                await handle(packet)

            receiver._handle_rtcp_packet = read_sender_reports  # type: ignore[method-assign]

    def place(self, pts: int, time_base: Fraction, arrival: float) -> tuple[float, float]:
        """(capture time in ms since the clock's origin, lag in seconds) of a frame."""
        first = getattr(self._mapper, "_origin", None)
        if self.reports.ready and isinstance(first, int) and time_base == Fraction(1, self.clock_rate):
            wall = self.reports.wall_time(first + pts)
            return self.clock.place(wall, arrival), self.clock.lag(wall, arrival)
        media_time = float(pts * time_base)
        return self.fallback.place(media_time, arrival), self.fallback.lag(media_time, arrival)


class BrowserSession:
    """One browser's participation in a room, driven by `run` until it leaves."""

    def __init__(self, ws: web.WebSocketResponse, *, app_id: int, video_slots: int, cmd_id: int,
                 sign: Callable[[str], str], join_timeout: float = 30.0) -> None:
        self.ws = ws
        self.app_id = app_id
        self.video_slots = video_slots
        self.cmd_id = cmd_id
        self.sign = sign
        self.join_timeout = join_timeout
        self.stats = SessionStats()
        self.room: Room | None = None
        self.pc: RTCPeerConnection | None = None
        self.slots: list[VideoSlotTrack] = []
        self._waiting: list[tuple[str, Stream[Any]]] = []  # members with video waiting for a free slot
        self._mix: Stream[_lumora.AudioFrame] | None = None
        self._mix_track: MixTrack | None = None
        self._outbox: asyncio.Queue[dict[str, Any] | None] = asyncio.Queue(OUTBOX_SIZE)
        self._tasks: set[asyncio.Task[None]] = set()
        self._done = asyncio.Event()
        self._loop = asyncio.get_running_loop()
        self.origin = self._loop.time()  # the browser's capture times count from here
        self.capture_clock = CaptureClock(self.origin)
        self._sources: list[AudioSource | VideoSource] = []
        self.ended_reason = ""
        self._audio_until: float | None = None  # capture time (ms) up to which the browser's audio was sent
        self._audio_moved = asyncio.Event()

    # ---- The page's side ----

    def tell(self, message: dict[str, Any]) -> None:
        """Queues a message for the page; counts it as dropped when the page is that far behind."""
        try:
            self._outbox.put_nowait(message)
            self.stats.messages_out += 1
        except asyncio.QueueFull:
            self.stats.messages_dropped += 1

    async def _write_outbox(self) -> None:
        while (message := await self._outbox.get()) is not None:
            if self.ws.closed:
                return
            try:
                await self.ws.send_str(json.dumps(message))
            except ConnectionError:
                return

    def _spawn(self, coro: Any, name: str) -> None:
        task: asyncio.Task[None] = asyncio.create_task(coro, name=name)
        self._tasks.add(task)
        task.add_done_callback(self._task_done)

    def _task_done(self, task: asyncio.Task[None]) -> None:
        self._tasks.discard(task)
        if not task.cancelled() and (error := task.exception()) is not None:
            logger.error("web session %s: %s failed", self.stats.user_id, task.get_name(), exc_info=error)
            self.tell({"type": "error", "text": f"{task.get_name()} failed: {error}"})

    async def _receive_join(self) -> dict[str, Any]:
        async with asyncio.timeout(self.join_timeout):
            message = await self.ws.receive()
        if message.type != WSMsgType.TEXT:
            raise JoinRefused("the page closed before joining")
        try:
            request = json.loads(message.data)
        except ValueError:
            raise JoinRefused("a join request is JSON") from None
        if not isinstance(request, dict) or request.get("type") != "join":
            raise JoinRefused("the first message is a join request")
        offer = request.get("offer")
        if not isinstance(offer, dict) or not isinstance(offer.get("sdp"), str) or offer.get("type") != "offer":
            raise JoinRefused("a join request carries the page's WebRTC offer")
        return request

    @staticmethod
    def _check_offer(offer_sdp: str) -> None:
        """Refuses an offer aiortc cannot read, before entering the room (so that the page never shows up in it)."""
        try:
            media = sdp.SessionDescription.parse(offer_sdp).media
        except Exception as e:
            raise JoinRefused(f"the gateway cannot answer this offer: {e or type(e).__name__}") from None
        if not any(m.kind in ("audio", "video") for m in media):
            raise JoinRefused("the gateway cannot answer this offer: it has no audio or video")

    # ---- From join to leave ----

    async def run(self) -> None:
        """Serves the page from its join request until it leaves; errors are told to the page."""
        writer = asyncio.create_task(self._write_outbox(), name="outbox")
        try:
            request = await self._receive_join()
            room_id = room_id_of(str(request.get("room", "")))
            user_id = user_id_of(request.get("user"))
            self._check_offer(request["offer"]["sdp"])
            self.stats.user_id, self.stats.room_id = user_id, str(room_id)
            async with Room.join(self.app_id, room_id, user_id, self.sign(user_id), mix_audio=True,
                                 mixed_sample_rate=SAMPLE_RATE, mixed_channels=1, mixed_frame_ms=FRAME_MS) as room:
                self.room = room
                # From the moment of entering: what the room says while the media connects is kept.
                self._spawn(self._follow_events(room, room.events()), "room events")
                logger.info("web: %s joined room %s", user_id, room_id)
                try:
                    await self._connect(room, request["offer"])
                    self.tell({"type": "joined", "room": str(room_id), "user": user_id, "app_id": self.app_id})
                    self._tell_members()
                    await self._read_page(room)
                finally:
                    self.ended_reason = self.ended_reason or self._closed_how()
                    await self._close_media()
            self.stats.ended = self.ended_reason
            logger.info("web: %s left room %s (%s)", user_id, room_id, self.stats.ended)
        except JoinRefused as e:
            self.tell({"type": "error", "text": str(e)})
        except TimeoutError:
            self.tell({"type": "error", "text": "no join request in time"})
        except LumoraError as e:
            self.tell({"type": "error", "text": f"could not enter the room: {e}"})
        finally:
            for task in list(self._tasks):
                task.cancel()
            await asyncio.gather(*self._tasks, return_exceptions=True)
            self.tell({"type": "left"})
            try:
                self._outbox.put_nowait(None)
            except asyncio.QueueFull:
                writer.cancel()
            try:
                async with asyncio.timeout(2):
                    await writer
            except (TimeoutError, asyncio.CancelledError):
                writer.cancel()
            if not self.ws.closed:
                await self.ws.close()

    def _closed_how(self) -> str:
        code = self.ws.close_code
        if code == WSCloseCode.ABNORMAL_CLOSURE:
            return "connection lost or no answer to pings"  # no closing handshake; or the heartbeat gave up
        return "page closed" if code in (None, WSCloseCode.OK, WSCloseCode.GOING_AWAY) else f"page closed ({code})"

    async def _connect(self, room: Room, offer: dict[str, Any]) -> None:
        # Every media section on one transport, as the page bundles them: aiortc's default policy
        # would leave the third and later sections on a transport of their own that never connects.
        pc = self.pc = RTCPeerConnection(RTCConfiguration(bundlePolicy=RTCBundlePolicy.MAX_BUNDLE))
        pc.on("track", self._on_track)
        pc.on("connectionstatechange", self._on_connection_state)
        try:
            await pc.setRemoteDescription(RTCSessionDescription(sdp=offer["sdp"], type="offer"))
        except Exception as e:  # aiortc raises ValueError and its own errors for offers it cannot take
            raise JoinRefused(f"the gateway cannot answer this offer: {e}") from None
        self._mix = room.mixed_audio_stream(maxsize=MIX_QUEUE_FRAMES)
        mix_sent = False
        for transceiver in pc.getTransceivers():
            if transceiver.kind == "audio" and not mix_sent:
                self._mix_track = MixTrack(self._mix)
                transceiver.sender.replaceTrack(self._mix_track)
                transceiver.direction = "sendrecv"
                mix_sent = True
            elif transceiver.kind == "video" and len(self.slots) < self.video_slots and \
                    self._offered_to_receive(offer["sdp"], transceiver.mid):
                slot = VideoSlotTrack(len(self.slots), self._slot_freed)
                self.slots.append(slot)
                transceiver.sender.replaceTrack(slot)
                transceiver.direction = "sendonly"
        self._fill_slots()  # members whose video came while connecting
        answer = await pc.createAnswer()
        await pc.setLocalDescription(answer)
        local = pc.localDescription
        self.tell({"type": "answer", "sdp": local.sdp, "slots": [t.mid for t in pc.getTransceivers()
                                                                  if any(s is t.sender.track for s in self.slots)]})

    @staticmethod
    def _offered_to_receive(sdp: str, mid: str | None) -> bool:
        """Whether the offer's media section `mid` is one the page only receives (a video slot)."""
        for section in sdp.split("\r\nm=")[1:]:
            if f"\r\na=mid:{mid}\r\n" in f"\r\n{section}\r\n":
                return "a=recvonly" in section
        return False

    def _on_track(self, track: MediaStreamTrack) -> None:
        assert self.pc is not None
        receiver = next((t.receiver for t in self.pc.getTransceivers() if t.receiver.track is track), None)
        if track.kind == "audio":
            self._spawn(self._take_audio(track, TrackTimes(receiver, self.capture_clock, 48000)), "browser audio")
        elif track.kind == "video":
            self._spawn(self._take_video(track, TrackTimes(receiver, self.capture_clock, 90000)), "browser video")

    async def _on_connection_state(self) -> None:
        assert self.pc is not None
        state = self.pc.connectionState
        self.tell({"type": "connection", "state": state})
        if state in ("failed", "closed"):
            self.ended_reason = self.ended_reason or f"peer connection {state}"
            self._done.set()

    # ---- Browser to room ----

    def _behind(self, track: MediaStreamTrack, max_backlog: int) -> bool:
        """True (and counted) for a frame to drop: more than `max_backlog` decoded frames wait behind it.

        aiortc's remote track keeps its decoded frames in an unbounded asyncio queue (`_queue`);
        a gateway without that attribute passes every frame on."""
        backlog = getattr(track, "_queue", None)
        if isinstance(backlog, asyncio.Queue) and backlog.qsize() > max_backlog:
            self.stats.stale_dropped += 1
            return True
        return False

    def _place(self, times: TrackTimes, frame: av.AudioFrame | av.VideoFrame) -> float:
        assert frame.pts is not None and frame.time_base is not None
        time_base = Fraction(frame.time_base.numerator, frame.time_base.denominator)
        at, lag = times.place(frame.pts, time_base, self._loop.time())
        self.stats.largest_lag_ms = max(self.stats.largest_lag_ms, lag * 1000)
        return at

    async def _take_audio(self, track: MediaStreamTrack, times: TrackTimes) -> None:
        assert self.room is not None
        room = self.room
        chunker = AudioChunker(SAMPLE_RATE, 1, FRAME_MS)
        resampler: list[av.AudioResampler] = []
        self._sources.append(await room.publish_audio(SAMPLE_RATE, 1, FRAME_MS))  # the channel; frames go below
        try:
            while True:
                try:
                    frame = await track.recv()
                except MediaStreamError:
                    return
                assert isinstance(frame, av.AudioFrame) and frame.pts is not None and frame.time_base is not None
                if self._behind(track, MAX_AUDIO_BACKLOG):
                    continue
                at = self._place(times, frame)
                for chunk in chunker.feed(mono_pcm(frame, resampler), at):
                    if room.cloud.SendContinuousAudioFrame(frame_from_pcm(chunk.pcm, SAMPLE_RATE, 1, chunk.pts),
                                                           False) == 0:
                        self.stats.audio_frames_in += 1
                self.stats.audio_gaps = chunker.gaps
                self._audio_until = at + frame.samples * 1000 / frame.sample_rate
                self._audio_moved.set()
        finally:
            self._audio_until = None  # no audio to wait for any more
            self._audio_moved.set()

    async def _after_audio_of(self, at: float) -> None:
        """Holds a picture captured at `at` until the audio captured with it has gone to the room.

        aiortc hands out audio later than video (its audio jitter buffer
        waits for more packets), so pictures sent at once would reach the
        room ahead of their sound, and a receiver that starts a track where
        its first frame arrives (a recorder) would put them apart. Video
        waits (at most `VIDEO_HOLD_S`) rather than audio, which keeps the
        sound's latency."""
        deadline = self._loop.time() + VIDEO_HOLD_S
        while self._audio_until is not None and self._audio_until < at:
            remaining = deadline - self._loop.time()
            if remaining <= 0:
                return
            self._audio_moved.clear()
            try:
                async with asyncio.timeout(remaining):
                    await self._audio_moved.wait()
            except TimeoutError:
                return

    async def _take_video(self, track: MediaStreamTrack, times: TrackTimes) -> None:
        assert self.room is not None
        room = self.room
        size: tuple[int, int] | None = None
        while True:
            try:
                frame = await track.recv()
            except MediaStreamError:
                return
            assert isinstance(frame, av.VideoFrame) and frame.pts is not None and frame.time_base is not None
            if self._behind(track, MAX_VIDEO_BACKLOG):
                continue
            at = self._place(times, frame)
            await self._after_audio_of(at)
            if size is None:
                # The room's channel keeps the first picture's size; later sizes (the browser adapts
                # its resolution to the network) are scaled to it.
                size = (frame.width & ~1, frame.height & ~1)
                self._sources.append(await room.publish_video(*size, fps=30))
            picture = pixel_frame_from_av(frame, *size, pts=round(at) & _UINT32)
            if room.cloud.SendPixelFrame(_lumora.STREAM_TYPE_VIDEO_HIGH, picture) == 0:
                self.stats.video_frames_in += 1

    # ---- Room to browser ----

    def _tell_members(self) -> None:
        assert self.room is not None
        self.tell({"type": "members", "users": sorted(self.room.remote_users)})

    async def _follow_events(self, room: Room, events: Stream[ev.Event]) -> None:
        async with events:
            for user in list(room.remote_users.values()):  # those already there when the page joined
                if _lumora.STREAM_TYPE_VIDEO_HIGH in user.video:
                    self._show_video(user.user_id)
            async for event in events:
                match event:
                    case ev.OnRemoteUserEnterRoom() | ev.OnRemoteUserExitRoom():
                        self._tell_members()
                    case ev.OnRemoteVideoAvailable(user_id, True, _lumora.STREAM_TYPE_VIDEO_HIGH) if user_id:
                        self._show_video(user_id)
                    case ev.OnReceiveCustomCmdMsg(user_id, cmd_id, _, message):
                        self.tell({"type": "message", "user": user_id or "", "cmd_id": cmd_id,
                                   "text": message.decode("utf-8", "replace")})
                    case ev.OnSeiMessageReceived(user_id, _, message_type, message):
                        self.tell({"type": "sei", "user": user_id or "", "message_type": message_type,
                                   "text": message.decode("utf-8", "replace")})
                    case ev.OnConnectionStateChanged(_, new_state):
                        self.tell({"type": "room-connection", "state": new_state.name})
                    case ev.OnError(error):
                        self.tell({"type": "error", "text": f"the room reports {error.name}"})
                    case _:
                        pass

    def _show_video(self, user_id: str) -> None:
        assert self.room is not None
        if any(slot.user_id == user_id for slot in self.slots) or any(u == user_id for u, _ in self._waiting):
            return
        stream = self.room.video_stream(user_id, maxsize=SLOT_QUEUE_PICTURES)
        self._waiting.append((user_id, stream))
        self._fill_slots()

    def _fill_slots(self) -> None:
        for slot in self.slots:
            while slot.free and self._waiting:
                user_id, stream = self._waiting.pop(0)
                if stream.end_reason is not None and stream.qsize() == 0:
                    stream.close()  # the member left while waiting
                    continue
                slot.assign(user_id, stream)
                self.tell({"type": "slot", "index": slot.index, "user": user_id})

    def _slot_freed(self, slot: VideoSlotTrack) -> None:
        self.tell({"type": "slot", "index": slot.index, "user": None})
        self._fill_slots()

    # ---- The page's messages ----

    async def _read_page(self, room: Room) -> None:
        reader = asyncio.create_task(self._read_messages(room), name="page reader")
        done = asyncio.create_task(self._done.wait())
        try:
            await asyncio.wait({reader, done}, return_when=asyncio.FIRST_COMPLETED)
        finally:
            reader.cancel()
            done.cancel()
            await asyncio.gather(reader, done, return_exceptions=True)

    async def _read_messages(self, room: Room) -> None:
        async for message in self.ws:
            if message.type != WSMsgType.TEXT:
                break
            try:
                request = json.loads(message.data)
            except ValueError:
                self.tell({"type": "error", "text": "messages are JSON"})
                continue
            kind = request.get("type") if isinstance(request, dict) else None
            if kind == "leave":
                self.ended_reason = "left the room"
                return
            if kind == "message" and isinstance(text := request.get("text"), str):
                await self._send_message(room, text)
            else:
                self.tell({"type": "error", "text": f"unknown request {str(kind)[:40]!r}"})

    async def _send_message(self, room: Room, text: str) -> None:
        data = text.encode()
        if len(data) > MAX_MESSAGE_BYTES:
            self.tell({"type": "error", "text": f"a message has at most {MAX_MESSAGE_BYTES} bytes"})
            return
        try:
            await room.send_command(self.cmd_id, data)
            self.stats.messages_in += 1
        except LumoraError as e:
            self.tell({"type": "error", "text": f"message not sent: {e}"})

    # ---- Ending ----

    async def _close_media(self) -> None:
        for task in list(self._tasks):
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        if self.pc is not None:
            await self.pc.close()
        for slot in self.slots:
            slot.stop()
        for _, stream in self._waiting:
            stream.close()
        self._waiting.clear()
        self.collect_stats()
        for source in self._sources:
            await source.aclose()

    def collect_stats(self) -> dict[str, Any]:
        """The session's counters, with what the room's streams dropped for this browser."""
        mix_dropped = self._mix.dropped if self._mix is not None else 0
        mix_dropped += self._mix_track.skipped if self._mix_track is not None else 0
        self.stats.room_dropped = mix_dropped + sum(slot.dropped for slot in self.slots)
        self.stats.audio_frames_out = self._mix_track.frames if self._mix_track is not None else 0
        self.stats.video_frames_out = sum(slot.frames for slot in self.slots)
        return asdict(self.stats)
