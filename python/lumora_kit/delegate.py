"""A delegate base class that defines every callback.

`_lumora.VELACloudDelegate` leaves its 18 required callbacks undefined: when
the SDK calls one that a subclass does not redefine, the binding raises into
the SDK's thread. `Delegate` defines all of them as no-ops, so a subclass
redefines only what it needs.

It also defines the 4 optional callbacks. The binding only delivers an
optional callback whose method is redefined in Python, so with this base
class every SDK call of them reaches Python (arguments converted, payloads
copied) and ends in a no-op unless a subclass does something with it. That
costs one Python call per SEI message, custom command and network-quality
report, and in exchange `log_unhandled` can report them like the others.
"""

import logging
import weakref
from collections.abc import Callable
from typing import ClassVar

import _lumora

logger = logging.getLogger("lumora_kit")

# In the order the binding registers them.
REQUIRED_CALLBACKS: tuple[str, ...] = (
    "OnError", "OnConnectionStateChanged", "OnEnterRoom", "OnExitRoom", "OnLocalAudioChannelCreated",
    "OnLocalAudioChannelDestroyed", "OnLocalVideoChannelCreated", "OnLocalVideoChannelDestroyed",
    "OnRemoteUserEnterRoom", "OnRemoteUserExitRoom", "OnRemoteAudioAvailable", "OnRemoteVideoAvailable",
    "OnRemoteAudioReceived", "OnRemoteMixedAudioReceived", "OnRemoteVideoFrameReceived",
    "OnRemotePixelFrameReceived", "OnRequestKeyFrame", "OnRequestChangeVideoEncodeBitrate",
)
OPTIONAL_CALLBACKS: tuple[str, ...] = (
    "OnSeiMessageReceived", "OnReceiveCustomCmdMsg", "OnMissCustomCmdMsg", "OnNetworkQuality",
)
CALLBACK_NAMES: tuple[str, ...] = REQUIRED_CALLBACKS + OPTIONAL_CALLBACKS


class Delegate(_lumora.VELACloudDelegate):
    """A delegate whose 22 callbacks do nothing until a subclass redefines them.

    With ``log_unhandled=True`` every callback that reaches one of these base
    methods is logged on the "lumora_kit" logger at `unhandled_log_level`
    (DEBUG unless a subclass changes it), naming the delegate's class, the
    callback and its arguments. Logging happens on the SDK's thread that made
    the call. A subclass method that calls down with super() is logged too.

    With ``catch_errors=True`` an exception raised by any callback of this
    instance is logged on the "lumora_kit" logger with its traceback (level
    ERROR) and does not reach the SDK, whatever the SDK would do with it.
    (It is done by instance attributes that wrap the class's callbacks, so
    subclasses need nothing for it; without the option nothing is wrapped.)

    A subclass that defines ``__init__`` must call ``super().__init__()``;
    otherwise the binding refuses to create the instance (TypeError).
    """

    unhandled_log_level: ClassVar[int] = logging.DEBUG

    def __init__(self, *, log_unhandled: bool = False, catch_errors: bool = False) -> None:
        super().__init__()
        self.log_unhandled = log_unhandled
        self.catch_errors = catch_errors
        if catch_errors:
            me = weakref.ref(self)  # the wrappers must not keep their delegate alive
            for name in CALLBACK_NAMES:
                setattr(self, name, _logging_errors(me, name, getattr(type(self), name)))

    def _unhandled(self, callback: str, *args: object) -> None:
        if self.log_unhandled and logger.isEnabledFor(self.unhandled_log_level):
            logger.log(self.unhandled_log_level, "%s: unhandled %s%r", type(self).__name__, callback, args)

    # ---- Required callbacks: room and channel events ----

    def OnError(self, error: _lumora.Error) -> None:
        self._unhandled("OnError", error)

    def OnConnectionStateChanged(self, old_state: _lumora.ConnectionState,
                                 new_state: _lumora.ConnectionState) -> None:
        self._unhandled("OnConnectionStateChanged", old_state, new_state)

    def OnEnterRoom(self) -> None:
        self._unhandled("OnEnterRoom")

    def OnExitRoom(self) -> None:
        self._unhandled("OnExitRoom")

    def OnLocalAudioChannelCreated(self) -> None:
        self._unhandled("OnLocalAudioChannelCreated")

    def OnLocalAudioChannelDestroyed(self) -> None:
        self._unhandled("OnLocalAudioChannelDestroyed")

    def OnLocalVideoChannelCreated(self, stream_type: _lumora.StreamType) -> None:
        self._unhandled("OnLocalVideoChannelCreated", stream_type)

    def OnLocalVideoChannelDestroyed(self, stream_type: _lumora.StreamType) -> None:
        self._unhandled("OnLocalVideoChannelDestroyed", stream_type)

    def OnRemoteUserEnterRoom(self, info: _lumora.UserInfo) -> None:
        self._unhandled("OnRemoteUserEnterRoom", info)

    def OnRemoteUserExitRoom(self, info: _lumora.UserInfo, reason: int) -> None:
        self._unhandled("OnRemoteUserExitRoom", info, reason)

    def OnRemoteAudioAvailable(self, user_id: str | None, available: bool) -> None:
        self._unhandled("OnRemoteAudioAvailable", user_id, available)

    def OnRemoteVideoAvailable(self, user_id: str | None, available: bool, stream_type: _lumora.StreamType) -> None:
        self._unhandled("OnRemoteVideoAvailable", user_id, available, stream_type)

    # ---- Required callbacks: remote media (each frame is a copy Python owns) ----

    def OnRemoteAudioReceived(self, user_id: str | None, frame: _lumora.AudioFrame) -> None:
        self._unhandled("OnRemoteAudioReceived", user_id, frame)

    def OnRemoteMixedAudioReceived(self, frame: _lumora.AudioFrame) -> None:
        self._unhandled("OnRemoteMixedAudioReceived", frame)

    def OnRemoteVideoFrameReceived(self, user_id: str | None, stream_type: _lumora.StreamType,
                                   frame: _lumora.VideoFrame) -> None:
        self._unhandled("OnRemoteVideoFrameReceived", user_id, stream_type, frame)

    def OnRemotePixelFrameReceived(self, user_id: str | None, stream_type: _lumora.StreamType,
                                   frame: _lumora.PixelFrame) -> None:
        self._unhandled("OnRemotePixelFrameReceived", user_id, stream_type, frame)

    # ---- Required callbacks: encoder requests ----

    def OnRequestKeyFrame(self, stream_type: _lumora.StreamType) -> None:
        self._unhandled("OnRequestKeyFrame", stream_type)

    def OnRequestChangeVideoEncodeBitrate(self, stream_type: _lumora.StreamType,
                                          bitrate_bps: int) -> None:
        self._unhandled("OnRequestChangeVideoEncodeBitrate", stream_type, bitrate_bps)

    # ---- Optional callbacks ----
    # The binding hands these to Python with fewer arguments than its own
    # direct-call methods take (a pointer and a length become one object).

    def OnSeiMessageReceived(self, user_id: str | None, stream_type: _lumora.StreamType,
                             message_type: int, message: bytes) -> None:
        self._unhandled("OnSeiMessageReceived", user_id, stream_type, message_type, message)

    def OnReceiveCustomCmdMsg(self, user_id: str | None, cmd_id: int, seq: int,
                              message: bytes) -> None:
        self._unhandled("OnReceiveCustomCmdMsg", user_id, cmd_id, seq, message)

    def OnMissCustomCmdMsg(self, user_id: str | None, cmd_id: int, error_code: int,
                           missed: int) -> None:
        self._unhandled("OnMissCustomCmdMsg", user_id, cmd_id, error_code, missed)

    def OnNetworkQuality(self, local_quality: _lumora.NetworkQualityInfo,
                         remote_qualities: list[_lumora.NetworkQualityInfo]) -> None:
        self._unhandled("OnNetworkQuality", local_quality, remote_qualities)


def _logging_errors(delegate: "weakref.ref[Delegate]", name: str,
                    callback: Callable[..., object]) -> Callable[..., None]:
    def guarded(*args: object) -> None:
        me = delegate()
        if me is None:
            return
        try:
            callback(me, *args)
        except Exception:
            logger.exception("%s.%s raised on the SDK's thread", type(me).__name__, name)

    guarded.__name__ = name
    return guarded
