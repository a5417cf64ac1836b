"""One event class per delegate callback, named after the callback.

An event holds the callback's arguments as the binding delivered them:
records and frames are copies that Python owns, so events can be kept and
passed on. Each class's fields are the callback's parameters in order, so
``match`` can take them apart positionally::

    match event:
        case events.OnRemoteAudioReceived(user_id, frame): ...
        case events.OnNetworkQuality(local, remotes): ...
"""

from dataclasses import dataclass
from typing import ClassVar

import _lumora

from .delegate import CALLBACK_NAMES


@dataclass(frozen=True, slots=True)
class Event:
    """Base of the 22 event classes; `callback` names the delegate callback.

    Each class's fields are written out so that a type checker sees them;
    tests/kit/test_kit_catalogue.py checks that they are the parameters of
    the kit's Delegate methods of the same name."""

    callback: ClassVar[str]

    def __init_subclass__(cls, **kwargs: object) -> None:
        super().__init_subclass__(**kwargs)
        cls.callback = cls.__name__


@dataclass(frozen=True, slots=True)
class OnError(Event):
    error: _lumora.Error


@dataclass(frozen=True, slots=True)
class OnConnectionStateChanged(Event):
    old_state: _lumora.ConnectionState
    new_state: _lumora.ConnectionState


@dataclass(frozen=True, slots=True)
class OnEnterRoom(Event):
    pass


@dataclass(frozen=True, slots=True)
class OnExitRoom(Event):
    pass


@dataclass(frozen=True, slots=True)
class OnLocalAudioChannelCreated(Event):
    pass


@dataclass(frozen=True, slots=True)
class OnLocalAudioChannelDestroyed(Event):
    pass


@dataclass(frozen=True, slots=True)
class OnLocalVideoChannelCreated(Event):
    stream_type: _lumora.StreamType


@dataclass(frozen=True, slots=True)
class OnLocalVideoChannelDestroyed(Event):
    stream_type: _lumora.StreamType


@dataclass(frozen=True, slots=True)
class OnRemoteUserEnterRoom(Event):
    info: _lumora.UserInfo


@dataclass(frozen=True, slots=True)
class OnRemoteUserExitRoom(Event):
    info: _lumora.UserInfo
    reason: int


@dataclass(frozen=True, slots=True)
class OnRemoteAudioAvailable(Event):
    user_id: str | None
    available: bool


@dataclass(frozen=True, slots=True)
class OnRemoteVideoAvailable(Event):
    user_id: str | None
    available: bool
    stream_type: _lumora.StreamType


@dataclass(frozen=True, slots=True)
class OnRemoteAudioReceived(Event):
    user_id: str | None
    frame: _lumora.AudioFrame


@dataclass(frozen=True, slots=True)
class OnRemoteMixedAudioReceived(Event):
    frame: _lumora.AudioFrame


@dataclass(frozen=True, slots=True)
class OnRemoteVideoFrameReceived(Event):
    user_id: str | None
    stream_type: _lumora.StreamType
    frame: _lumora.VideoFrame


@dataclass(frozen=True, slots=True)
class OnRemotePixelFrameReceived(Event):
    user_id: str | None
    stream_type: _lumora.StreamType
    frame: _lumora.PixelFrame


@dataclass(frozen=True, slots=True)
class OnRequestKeyFrame(Event):
    stream_type: _lumora.StreamType


@dataclass(frozen=True, slots=True)
class OnRequestChangeVideoEncodeBitrate(Event):
    stream_type: _lumora.StreamType
    bitrate_bps: int


@dataclass(frozen=True, slots=True)
class OnSeiMessageReceived(Event):
    user_id: str | None
    stream_type: _lumora.StreamType
    message_type: int
    message: bytes


@dataclass(frozen=True, slots=True)
class OnReceiveCustomCmdMsg(Event):
    user_id: str | None
    cmd_id: int
    seq: int
    message: bytes


@dataclass(frozen=True, slots=True)
class OnMissCustomCmdMsg(Event):
    user_id: str | None
    cmd_id: int
    error_code: int
    missed: int


@dataclass(frozen=True, slots=True)
class OnNetworkQuality(Event):
    local_quality: _lumora.NetworkQualityInfo
    remote_qualities: list[_lumora.NetworkQualityInfo]


def _event_types() -> dict[str, type[Event]]:
    """Callback name -> event class, in the binding's registration order:
    the classes above, ordered by the callbacks of the kit's Delegate. A
    callback without its event class fails here, at import."""
    by_name = {cls.callback: cls for cls in Event.__subclasses__()}
    return {name: by_name[name] for name in CALLBACK_NAMES}


EVENT_TYPES: dict[str, type[Event]] = _event_types()
