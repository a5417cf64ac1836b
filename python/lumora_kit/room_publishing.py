"""What the Room sends: paced audio and video sources on local channels, commands and SEI messages.

`publish_audio` and `publish_video` create the SDK's local channel, wait
for its confirmation (settled by the event pump) and return a paced source
(`lumora_kit.sources`) whose send function calls the cloud. Closing a source,
or leaving the room, destroys its channel.

`RoomPublishing` is the part of a `lumora_kit.Room` that owns the sources;
it waits for the SDK's confirmations through the Room's events
(`RoomEvents.expect`) and reaches the cloud through the shared `RoomCore`.
"""

import asyncio
import functools
import logging

import _lumora

from . import events as ev
from .errors import LumoraError, LumoraTimeoutError, check
from .media._extras import require
from .media.audio import SDK_SAMPLE_RATES, sdk_sample_rate
from .payloads import message_bytes
from .room_core import RoomCore
from .room_events import RoomEvents
from .sources import AudioSource, VideoSource

logger = logging.getLogger("lumora_kit")


class RoomPublishing:
    """Paced sources and messages (part of `lumora_kit.Room`)."""

    def __init__(self, core: RoomCore, events: RoomEvents) -> None:
        self._core = core
        self._events = events
        self._sources: set[AudioSource | VideoSource] = set()
        self._audio_source: AudioSource | None = None
        self._video_sources: dict[int, VideoSource] = {}

    # ---- Sources ----

    async def publish_audio(self, sample_rate: int, channels: int, frame_ms: int, *, queue_ms: int,
                            max_burst_ms: int, bitrate_bps: int | None, need_encode: bool,
                            timeout: float) -> AudioSource:
        cloud = self._core.joined_cloud()
        if self._audio_source is not None and not self._audio_source.closed:
            raise RuntimeError("this Room already publishes audio; close that AudioSource first")
        send_rate = send_rate_for(sample_rate)
        params = _lumora.AudioEncodeParams()
        params.sample_rate, params.channels, params.frame_length_ms = send_rate, channels, frame_ms
        params.need_encode = need_encode
        if bitrate_bps is not None:
            params.bitrate_bps = bitrate_bps
        created = self._events.expect(lambda e: isinstance(e, ev.OnLocalAudioChannelCreated))
        check(cloud.CreateLocalAudioChannel(params), "CreateLocalAudioChannel")
        try:
            await self._settle(created, timeout, "CreateLocalAudioChannel", "OnLocalAudioChannelCreated")
            source = AudioSource(self._send_audio, sample_rate=send_rate, channels=channels, frame_ms=frame_ms,
                                 queue_ms=queue_ms, max_burst_ms=max_burst_ms, on_close=self._audio_closed,
                                 input_rate=sample_rate)
        except BaseException:
            self._core.call("DestroyLocalAudioChannel")
            raise
        self._audio_source = source
        self._sources.add(source)
        return source

    async def publish_video(self, width: int, height: int, fps: float, *, stream_type: _lumora.StreamType,
                            bitrate_bps: int, gop_in_seconds: int, queue_ms: int, max_burst_ms: int,
                            timeout: float) -> VideoSource:
        cloud = self._core.joined_cloud()
        key = int(stream_type)
        if key in self._video_sources and not self._video_sources[key].closed:
            raise RuntimeError(f"this Room already publishes {stream_type}; close that VideoSource first")
        created = self._events.expect(lambda e: isinstance(e, ev.OnLocalVideoChannelCreated)
                               and e.stream_type == stream_type)
        check(cloud.CreateLocalVideoChannel(stream_type), "CreateLocalVideoChannel")
        try:
            encode = _lumora.VideoEncodeParams()
            encode.frame_rate = max(1, round(fps))
            encode.bitrate_bps, encode.gop_in_seconds = bitrate_bps, gop_in_seconds
            cloud.SetVideoEncodeParam(stream_type, encode)
            await self._settle(created, timeout, "CreateLocalVideoChannel", "OnLocalVideoChannelCreated")
            source = VideoSource(functools.partial(self._send_pixels, stream_type), width=width, height=height,
                                 fps=fps, stream_type=stream_type, queue_ms=queue_ms, max_burst_ms=max_burst_ms,
                                 on_close=functools.partial(self._video_closed, stream_type))
        except BaseException:
            self._destroy_video_channel(stream_type)
            raise
        self._video_sources[key] = source
        self._sources.add(source)
        return source

    async def _settle(self, future: asyncio.Future[ev.Event], timeout: float, operation: str,
                      callback: str) -> None:
        try:
            async with asyncio.timeout(timeout):
                await future
        except TimeoutError:
            raise LumoraTimeoutError(operation, f"no {callback} within {timeout} s") from None
        finally:
            self._events.forget(future)

    def _send_audio(self, frame: _lumora.AudioFrame, clear_send_queue: bool) -> int:
        cloud = self._core.cloud
        if cloud is None:
            return int(_lumora.ERR_INVALID_OPERATION)
        return cloud.SendContinuousAudioFrame(frame, clear_send_queue)

    def _send_pixels(self, stream_type: _lumora.StreamType, frame: _lumora.PixelFrame) -> int:
        cloud = self._core.cloud
        if cloud is None:
            return int(_lumora.ERR_INVALID_OPERATION)
        return cloud.SendPixelFrame(stream_type, frame)

    def _audio_closed(self) -> None:
        source = self._audio_source
        if source is not None:
            self._sources.discard(source)
            self._audio_source = None
        cloud = self._core.cloud
        if cloud is not None:
            result = cloud.DestroyLocalAudioChannel()
            if result != 0:
                logger.warning("Room %s: DestroyLocalAudioChannel returned %d", self._core.user_id, result)

    def _video_closed(self, stream_type: _lumora.StreamType) -> None:
        source = self._video_sources.pop(int(stream_type), None)
        if source is not None:
            self._sources.discard(source)
        self._destroy_video_channel(stream_type)

    def _destroy_video_channel(self, stream_type: _lumora.StreamType) -> None:
        cloud = self._core.cloud
        if cloud is not None:
            result = cloud.DestroyLocalVideoChannel(stream_type)
            if result != 0:
                logger.warning("Room %s: DestroyLocalVideoChannel(%s) returned %d", self._core.user_id, stream_type,
                               result)

    def close_sources(self) -> None:
        for source in list(self._sources):
            source.close()

    # ---- Messages ----

    def send_command(self, cmd_id: int, message: bytes | bytearray | memoryview | str, *, reliable: bool,
                     ordered: bool) -> None:
        cloud = self._core.joined_cloud()
        if cloud.SendCustomCmdMsg(cmd_id, message_bytes(message), reliable, ordered) != 1:
            raise LumoraError(_lumora.ERR_FAILED, "SendCustomCmdMsg")

    def send_sei(self, message: bytes | bytearray | memoryview | str, *, message_type: int) -> None:
        cloud = self._core.joined_cloud()
        check(cloud.SendSeiMessage(message_type, message_bytes(message)), "SendSeiMessage")


CAPTURE_RATES = range(8000, 96001)


def send_rate_for(sample_rate: int) -> int:
    """The rate to send audio captured at `sample_rate`: itself if the SDK takes it, else the next
    one up (`lumora_kit.media.audio.sdk_sample_rate`).

    ValueError outside `CAPTURE_RATES`; `MissingExtra` (an ImportError) when
    resampling is needed and numpy or soxr is missing, naming the rates and
    the extra."""
    if sample_rate in SDK_SAMPLE_RATES:
        return sample_rate
    accepted = ", ".join(f"{rate:,}" for rate in SDK_SAMPLE_RATES)
    if sample_rate not in CAPTURE_RATES:
        raise ValueError(f"publish_audio takes a sample rate from 8,000 to 96,000 Hz, not {sample_rate}; the SDK "
                         f"takes {accepted} Hz and other rates are resampled")
    send_rate = sdk_sample_rate(sample_rate)
    what = (f"publish_audio(sample_rate={sample_rate}) (the SDK takes {accepted} Hz; other rates are "
            f"resampled to the next one up, here {send_rate:,} Hz)")
    require("numpy", what)
    require("soxr", what)
    return send_rate
