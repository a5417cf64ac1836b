"""What the Room sends: paced audio and video sources on local channels, commands and SEI messages.

`publish_audio` and `publish_video` create the SDK's local channel, wait
for its confirmation (settled by the event pump) and return a paced source
(`lumora_kit.sources`) whose send function calls the cloud. Closing a source,
or leaving the room, destroys its channel.
"""

import asyncio
import functools
import logging

import _lumora

from . import events as ev
from .errors import LumoraError, LumoraTimeoutError, check
from .media._extras import require
from .media.audio import SDK_SAMPLE_RATES, sdk_sample_rate
from .room_subscriptions import RoomSubscriptions
from .sources import AudioSource, VideoSource

logger = logging.getLogger("lumora_kit")


class RoomPublishing(RoomSubscriptions):
    """Paced sources and messages (part of `lumora_kit.Room`)."""

    def __init__(self, user_id: str, *, mix_audio: bool, pixel_frame_output: bool, auto_subscribe: bool) -> None:
        super().__init__(user_id, mix_audio=mix_audio, pixel_frame_output=pixel_frame_output,
                         auto_subscribe=auto_subscribe)
        self._sources: set[AudioSource | VideoSource] = set()
        self._audio_source: AudioSource | None = None
        self._video_sources: dict[int, VideoSource] = {}

    # ---- Sources ----

    async def publish_audio(self, sample_rate: int = 48000, channels: int = 1, frame_ms: int = 20, *,
                            queue_ms: int = 400, max_burst_ms: int = 60, bitrate_bps: int | None = None,
                            need_encode: bool = True, timeout: float = 5.0) -> AudioSource:
        """Creates the local audio channel and returns its paced `AudioSource`.

        Waits (up to `timeout`) for OnLocalAudioChannelCreated. One audio
        source per room at a time; closing it destroys the channel.

        `sample_rate` is the rate of what you capture, 8,000 to 96,000 Hz.
        The SDK takes `SDK_SAMPLE_RATES`; audio at another rate is resampled
        to the next of them up (so no bandwidth is lost: 22,050 Hz goes out
        at 32,000), which needs the ``[media]`` extra."""
        cloud = self._joined_cloud()
        if self._audio_source is not None and not self._audio_source.closed:
            raise RuntimeError("this Room already publishes audio; close that AudioSource first")
        send_rate = send_rate_for(sample_rate)
        params = _lumora.AudioEncodeParams()
        params.sample_rate, params.channels, params.frame_length_ms = send_rate, channels, frame_ms
        params.need_encode = need_encode
        if bitrate_bps is not None:
            params.bitrate_bps = bitrate_bps
        created = self._expect(lambda e: isinstance(e, ev.OnLocalAudioChannelCreated))
        check(cloud.CreateLocalAudioChannel(params), "CreateLocalAudioChannel")
        try:
            await self._settle(created, timeout, "CreateLocalAudioChannel", "OnLocalAudioChannelCreated")
            source = AudioSource(self._send_audio, sample_rate=send_rate, channels=channels, frame_ms=frame_ms,
                                 queue_ms=queue_ms, max_burst_ms=max_burst_ms, on_close=self._audio_closed,
                                 input_rate=sample_rate)
        except BaseException:
            self._call("DestroyLocalAudioChannel")
            raise
        self._audio_source = source
        self._sources.add(source)
        return source

    async def publish_video(self, width: int, height: int, fps: float = 15, *,
                            stream_type: _lumora.StreamType = _lumora.STREAM_TYPE_VIDEO_HIGH,
                            bitrate_bps: int = 0, gop_in_seconds: int = 3, queue_ms: int = 500,
                            max_burst_ms: int = 100, timeout: float = 5.0) -> VideoSource:
        """Creates a local video channel of `stream_type` and returns its paced `VideoSource`.

        The encoder gets `fps` (rounded), `bitrate_bps` (0: the SDK chooses)
        and `gop_in_seconds`. Closing the source destroys the channel."""
        cloud = self._joined_cloud()
        key = int(stream_type)
        if key in self._video_sources and not self._video_sources[key].closed:
            raise RuntimeError(f"this Room already publishes {stream_type}; close that VideoSource first")
        created = self._expect(lambda e: isinstance(e, ev.OnLocalVideoChannelCreated)
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
            if not future.done():
                future.cancel()
            self._expected = [e for e in self._expected if e.future is not future]

    def _send_audio(self, frame: _lumora.AudioFrame, clear_send_queue: bool) -> int:
        if self._cloud is None:
            return int(_lumora.ERR_INVALID_OPERATION)
        return self._cloud.SendContinuousAudioFrame(frame, clear_send_queue)

    def _send_pixels(self, stream_type: _lumora.StreamType, frame: _lumora.PixelFrame) -> int:
        if self._cloud is None:
            return int(_lumora.ERR_INVALID_OPERATION)
        return self._cloud.SendPixelFrame(stream_type, frame)

    def _audio_closed(self) -> None:
        source = self._audio_source
        if source is not None:
            self._sources.discard(source)
            self._audio_source = None
        if self._cloud is not None:
            result = self._cloud.DestroyLocalAudioChannel()
            if result != 0:
                logger.warning("Room %s: DestroyLocalAudioChannel returned %d", self.user_id, result)

    def _video_closed(self, stream_type: _lumora.StreamType) -> None:
        source = self._video_sources.pop(int(stream_type), None)
        if source is not None:
            self._sources.discard(source)
        self._destroy_video_channel(stream_type)

    def _destroy_video_channel(self, stream_type: _lumora.StreamType) -> None:
        if self._cloud is not None:
            result = self._cloud.DestroyLocalVideoChannel(stream_type)
            if result != 0:
                logger.warning("Room %s: DestroyLocalVideoChannel(%s) returned %d", self.user_id, stream_type, result)

    def _close_sources(self) -> None:
        for source in list(self._sources):
            source.close()

    # ---- Messages ----

    async def send_command(self, cmd_id: int, message: bytes | bytearray | memoryview | str, *,
                           reliable: bool = True, ordered: bool = True) -> None:
        """Sends a custom command to the room; raises LumoraError if the SDK refuses it."""
        cloud = self._joined_cloud()
        if cloud.SendCustomCmdMsg(cmd_id, _message_bytes(message), reliable, ordered) != 1:
            raise LumoraError(_lumora.ERR_FAILED, "SendCustomCmdMsg")

    async def send_sei(self, message: bytes | bytearray | memoryview | str, *, message_type: int = 5) -> None:
        """Sends an SEI message (on this user's video); raises LumoraError for a failed result."""
        cloud = self._joined_cloud()
        check(cloud.SendSeiMessage(message_type, _message_bytes(message)), "SendSeiMessage")


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


def _message_bytes(message: bytes | bytearray | memoryview | str) -> bytes:
    if isinstance(message, str):
        return message.encode()
    if isinstance(message, bytes) and type(message) is bytes:
        return message
    return bytes(message)
