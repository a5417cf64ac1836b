"""The Room's streams of remote media and the subscriptions behind them, on the loop.

A stream subscribes before it returns: its sink is in the routes before
`Subscribe` is called, so every frame the SDK delivers after the call
reaches it. Streams of the same user and stream type share one
subscription, counted in `_subscribed`; the last one closed unsubscribes.

Automatic subscriptions (``auto_subscribe=True``, the default): the Room's
delegate subscribes each remote user's audio (and video, with pixel output)
on the SDK's thread when the user enters, and keeps the frames that arrive
before any stream of them is open (a bounded `EarlyFrames` per user and
stream type, dropped when the user leaves): the first stream opened starts
with the first frame the user sent. The routes keep this per stay of the
user, as the SDK reports entries and exits (see `RoomRoutes`), so a user
who leaves and comes back before the pump has run starts the new stay with
its own first frame. Streams then only add and remove routes;
the subscriptions last as long as the user is in the room. `tracks()` opens
each user's streams as their media becomes available and hands them over.

Without it, streams subscribe themselves, counted (`_acquire`/`_release`).
Mixed audio then subscribes, while a mixed stream is open, to the audio of
every remote user, also of those who come later (`user_entered`), and lets
go of a user's audio when they leave or the last mixed stream closes.

After a reconnection (`reconnected`) every subscription in force is made
again, so that the streams carry on whatever the SDK kept of them while the
connection was down (a Subscribe of what is subscribed already changes
nothing).

`RoomSubscriptions` is the part of a `lumora_kit.Room` that owns the counts,
the mixed users and the `tracks()` feeds; the pump (`room_events`) calls its
`Members` methods, and it reads the remote users through the read-only view
it was given.
"""

import functools
import logging
from collections import Counter
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import _lumora

from .errors import check
from .event_queue import DropPolicy
from .room_core import RoomCore
from .room_events import RemoteUser
from .streams import Sink, Stream

logger = logging.getLogger("lumora_kit")

type _Subscription = tuple[str, int]  # (user id, stream type)

AUDIO_MAXSIZE = 256
"""Frames an audio stream holds by default (about 5 s of 20 ms frames)."""
VIDEO_MAXSIZE = 30
"""Pictures a video stream holds by default."""


class RoomSubscriptions:
    """Streams of remote frames and the subscription counts behind them (part of `lumora_kit.Room`)."""

    def __init__(self, core: RoomCore, users: Mapping[str, RemoteUser], *, mix_audio: bool,
                 pixel_frame_output: bool, auto_subscribe: bool) -> None:
        self._core = core
        self._users = users
        self.mix_audio = mix_audio
        self.pixel_frame_output = pixel_frame_output
        self.auto_subscribe = auto_subscribe
        self.counts: Counter[_Subscription] = Counter()
        self._mixed_users: set[str] = set()
        self._track_feeds: list[_TrackFeed] = []

    def tracks(self, *, audio: bool, video: bool) -> Stream[Stream[Any]]:
        self._core.require_loop()
        feed = _TrackFeed(Sink(self._core.queue(1 << 16, DropPolicy.DROP_NEWEST)), audio and not self.mix_audio, video)
        self._track_feeds.append(feed)
        if self._core.ending:
            feed.sink.end("room left")
        for user in list(self._users.values()):
            if user.audio:
                self._hand_track(feed, user.user_id, _lumora.STREAM_TYPE_AUDIO)
            for stream_type in sorted(user.video, key=int):
                self._hand_track(feed, user.user_id, stream_type)

        def closed(_: Sink[Stream[Any]]) -> None:
            if feed in self._track_feeds:
                self._track_feeds.remove(feed)

        return Stream(feed.sink, on_close=closed)

    def audio_stream(self, user_id: str, *, maxsize: int, policy: DropPolicy) -> Stream[_lumora.AudioFrame]:
        if self.mix_audio:
            raise RuntimeError("this Room mixes remote audio (mix_audio=True): use mixed_audio_stream()")
        subscription = None if self.auto_subscribe else (user_id, int(_lumora.STREAM_TYPE_AUDIO))
        return self._open("audio", user_id, subscription, maxsize, policy, user_id, _lumora.STREAM_TYPE_AUDIO)

    def video_stream(self, user_id: str, stream_type: _lumora.StreamType, *, maxsize: int,
                     policy: DropPolicy) -> Stream[_lumora.PixelFrame]:
        if not self.pixel_frame_output:
            raise RuntimeError("this Room receives encoded video (pixel_frame_output=False): "
                               "use encoded_video_stream()")
        key = (user_id, int(stream_type))
        return self._open("pixel", key, None if self.auto_subscribe else key, maxsize, policy, user_id, stream_type)

    def encoded_video_stream(self, user_id: str, stream_type: _lumora.StreamType, *, maxsize: int,
                             policy: DropPolicy) -> Stream[_lumora.VideoFrame]:
        if self.pixel_frame_output:
            raise RuntimeError("this Room receives pictures (pixel_frame_output=True): use video_stream()")
        key = (user_id, int(stream_type))
        return self._open("video", key, key, maxsize, policy, user_id, stream_type)

    def mixed_audio_stream(self, *, maxsize: int, policy: DropPolicy) -> Stream[_lumora.AudioFrame]:
        if not self.mix_audio:
            raise RuntimeError("the SDK mixes remote audio only for Room.join(..., mix_audio=True)")
        stream = self._open("mixed", None, None, maxsize, policy, None, _lumora.STREAM_TYPE_AUDIO)
        if not self.auto_subscribe:
            for user_id in self._users:
                self._subscribe_mixed(user_id)
        return stream

    # ---- Opening and closing ----

    def _open(self, table: str, key: Any, subscription: _Subscription | None, maxsize: int, policy: DropPolicy,
              user_id: str | None, stream_type: _lumora.StreamType) -> Stream[Any]:
        core = self._core
        core.joined_cloud()
        routes = core.routes
        assert routes is not None
        sink: Sink[Any] = Sink(core.queue(maxsize, policy))
        # First the route, then the subscription: nothing delivered after
        # Subscribe returns can miss the sink.
        routes.add(table, key, sink)
        try:
            if subscription is not None:
                self._acquire(subscription)
        except BaseException:
            routes.remove(table, key, sink)
            raise
        on_close = functools.partial(self._stream_closed, table, key, subscription)
        return Stream(sink, user_id=user_id, stream_type=stream_type, on_close=on_close)

    def _stream_closed(self, table: str, key: Any, subscription: _Subscription | None, sink: Sink[Any]) -> None:
        if self._core.routes is not None:
            self._core.routes.remove(table, key, sink)
        if subscription is not None:
            self._release(subscription)
        if table == "mixed" and not self._mixed_streams_open():
            for user_id in list(self._mixed_users):
                self._mixed_users.discard(user_id)
                self._release((user_id, int(_lumora.STREAM_TYPE_AUDIO)))

    # ---- Subscription counts ----

    def _acquire(self, key: _Subscription) -> None:
        if self.counts[key] == 0:
            user_id, stream_type = key
            check(self._core.joined_cloud().Subscribe(user_id, _lumora.StreamType(stream_type)), "Subscribe")
        self.counts[key] += 1

    def _release(self, key: _Subscription) -> None:
        count = self.counts[key] - 1
        if count > 0:
            self.counts[key] = count
            return
        del self.counts[key]
        cloud = self._core.cloud
        if self._core.joined and cloud is not None:
            user_id, stream_type = key
            result = cloud.Unsubscribe(user_id, _lumora.StreamType(stream_type))
            if result != 0:
                logger.debug("Room %s: Unsubscribe(%r, %d) returned %d", self._core.user_id, user_id, stream_type,
                             result)

    # ---- Mixed audio ----

    def _mixed_streams_open(self) -> bool:
        routes = self._core.routes
        return routes is not None and bool(routes.mixed)

    def _subscribe_mixed(self, user_id: str) -> None:
        if user_id not in self._mixed_users and self._core.joined:
            self._acquire((user_id, int(_lumora.STREAM_TYPE_AUDIO)))
            self._mixed_users.add(user_id)

    def user_entered(self, user_id: str) -> None:
        if not self.auto_subscribe and (self._mixed_users or self._mixed_streams_open()):
            self._subscribe_mixed(user_id)

    def user_left(self, user_id: str) -> None:
        # The pump calls this after the user left `remote_users`, so a consumer
        # that sees its stream end no longer finds the user listed. The
        # user's frames came before the leave: they are queued already. The
        # streams that end are those of the stay that ended; a stream routed
        # now waits for the user's next stay (which may have begun already).
        routes = self._core.routes
        if routes is not None:
            for sink in routes.user_left(user_id):
                sink.end("user left")
        for feed in self._track_feeds:
            feed.handed = {handed for handed in feed.handed if handed[0] != user_id}
        if user_id in self._mixed_users:
            self._mixed_users.discard(user_id)
            self._release((user_id, int(_lumora.STREAM_TYPE_AUDIO)))

    # ---- Tracks ----

    def media_available(self, user_id: str, stream_type: _lumora.StreamType) -> None:
        for feed in self._track_feeds:
            self._hand_track(feed, user_id, stream_type)

    def _hand_track(self, feed: "_TrackFeed", user_id: str, stream_type: _lumora.StreamType) -> None:
        """Opens the stream of `user_id`'s `stream_type` for `feed`, once per user's stay in the room."""
        is_audio = stream_type == _lumora.STREAM_TYPE_AUDIO
        if (feed.audio if is_audio else feed.video) is False or not self._core.joined:
            return
        place = (user_id, int(stream_type))
        if place in feed.handed or feed.sink.end_reason is not None:
            return
        feed.handed.add(place)
        stream: Stream[Any]
        if is_audio:
            stream = self.audio_stream(user_id, maxsize=AUDIO_MAXSIZE, policy=DropPolicy.DROP_OLDEST)
        elif self.pixel_frame_output:
            stream = self.video_stream(user_id, stream_type, maxsize=VIDEO_MAXSIZE, policy=DropPolicy.DROP_OLDEST)
        else:
            stream = self.encoded_video_stream(user_id, stream_type, maxsize=VIDEO_MAXSIZE,
                                               policy=DropPolicy.DROP_OLDEST)
        if not feed.sink.put(stream):
            stream.close()

    # ---- Reconnection and the end ----

    def reconnected(self) -> None:
        """Subscribes again to everything subscribed before the connection went down."""
        cloud = self._core.cloud
        if cloud is None or not self._core.joined:
            return
        wanted = set(self.counts)
        if self.auto_subscribe:
            video_types = self._core.routes.video_types if self._core.routes is not None else ()
            for user in self._users.values():
                wanted.add((user.user_id, int(_lumora.STREAM_TYPE_AUDIO)))
                wanted.update((user.user_id, int(stream_type)) for stream_type in video_types)
        for user_id, stream_type in sorted(wanted):
            result = cloud.Subscribe(user_id, _lumora.StreamType(stream_type))
            if result != 0:
                logger.warning("Room %s: Subscribe(%r, %d) after reconnecting returned %d", self._core.user_id,
                               user_id, stream_type, result)

    def end_track_feeds(self) -> None:
        for feed in self._track_feeds:
            feed.sink.end("room left")


@dataclass(slots=True, eq=False)
class _TrackFeed:
    """One `tracks()` iterator: where new streams go, and which it was handed."""

    sink: Sink[Stream[Any]]
    audio: bool
    video: bool
    handed: set[tuple[str, int]] = field(default_factory=set[tuple[str, int]])
