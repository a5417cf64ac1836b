"""Clouds on the stand-in SDK's loopback room service, for tests.

`WiredCloud` is a cloud with a recording delegate and the cloud's control id,
ready for injected callbacks; `LoopbackRoom` puts participants into one room
of the loopback service and waits until they see each other.
"""

import gc
import itertools
from typing import Any

import _lumora

from .control import EVENT, InjectMode, SdkControl
from .recorder import Recorder, wait_until

# The app id the kit's participants enter with (pair, LoopbackRoom, the
# fixtures). The loopback service keeps rooms of different app ids apart: a
# program under test must enter with the same app id to meet them.
DEFAULT_APP_ID = 1400
SDK_APP_ID = DEFAULT_APP_ID  # the earlier name

# Room ids handed out by LoopbackRoom; far from the small ids tests tend to pick.
_room_ids = itertools.count(900_001)


def new_room_id() -> int:
    """A room id no other LoopbackRoom or fixture of this process has used."""
    return next(_room_ids)


def enter_params(user: str, room_id: int, *, sdk_app_id: int = DEFAULT_APP_ID,
                 **fields: Any) -> _lumora.EnterRoomParams:
    """EnterRoomParams for `user` in room `room_id`; other EnterRoomParams fields by keyword."""
    params = _lumora.EnterRoomParams()
    params.room.sdk_app_id = sdk_app_id
    params.room.user_id = _lumora.VelaString(user)
    params.room.user_sig = _lumora.VelaString("sig-" + user)
    params.room.room_id = room_id
    for name, value in fields.items():
        setattr(params, name, value)
    return params


class WiredCloud:
    """A cloud whose delegate is a Recorder (or the delegate given), with its control id."""

    def __init__(self, control: SdkControl, delegate: _lumora.VELACloudDelegate | None = None) -> None:
        self.control = control
        self.delegate = Recorder() if delegate is None else delegate
        self.cloud: _lumora.VELACloud | None = _lumora.VELACloud(self.delegate)
        # Ids are given in creation order; a test that creates clouds on
        # several threads at once must not rely on this.
        self.id = control.last_cloud_id()

    @property
    def recorder(self) -> Recorder:
        if not isinstance(self.delegate, Recorder):
            raise TypeError(f"this cloud's delegate is a {type(self.delegate).__name__}, not a Recorder")
        return self.delegate

    def inject(self, name: str, *args: Any, mode: InjectMode = EVENT) -> int:
        """Makes the SDK call the delegate (see SdkControl.inject); returns the SDK's result."""
        return self.control.inject(name, self.id, *args, mode=mode)

    def wait_idle(self, timeout_ms: int = 5000) -> None:
        """Waits until the cloud's event thread has delivered everything queued so far."""
        result = self.control.wait_idle(self.id, timeout_ms)
        if result != 0:
            raise TimeoutError(f"cloud {self.id} not idle after {timeout_ms} ms (result {result})")

    def destroy(self) -> None:
        """Drops the cloud, which destroys the SDK's cloud; the delegate stays."""
        self.cloud = None
        gc.collect()


class Participant(WiredCloud):
    """A WiredCloud for one user of a loopback room."""

    def __init__(self, control: SdkControl, user: str, delegate: _lumora.VELACloudDelegate | None = None) -> None:
        super().__init__(control, delegate)
        self.user = user

    def enter(self, room_id: int, *, app_id: int = DEFAULT_APP_ID, **fields: Any) -> int:
        assert self.cloud is not None
        fields.setdefault("sdk_app_id", app_id)  # a caller's sdk_app_id wins (e.g. to make the join fail)
        return self.cloud.EnterRoom(enter_params(self.user, room_id, **fields))

    def exit(self) -> None:
        if self.cloud is not None:
            self.cloud.ExitRoom()


class LoopbackRoom:
    """Participants in one room of the loopback service: `room_id` (a fresh one
    by default) of `app_id` (`DEFAULT_APP_ID` by default)."""

    def __init__(self, control: SdkControl, room_id: int | None = None, *, app_id: int = DEFAULT_APP_ID) -> None:
        self.control = control
        self.app_id = app_id
        self.room_id = new_room_id() if room_id is None else room_id
        self.participants: dict[str, Participant] = {}

    def join(self, user: str, delegate: _lumora.VELACloudDelegate | None = None, **fields: Any) -> Participant:
        """Enters `user` into the room; raises RuntimeError if EnterRoom fails."""
        participant = Participant(self.control, user, delegate)
        result = participant.enter(self.room_id, app_id=self.app_id, **fields)
        if result != 0:
            raise RuntimeError(f"{user}: EnterRoom returned {result}")
        self.participants[user] = participant
        return participant

    def wait_until_everyone_sees_everyone(self, timeout: float = 5.0) -> None:
        """Waits until each Recorder participant was told of every other one."""
        for p in self.participants.values():
            if not isinstance(p.delegate, Recorder):
                continue
            others = set(self.participants) - {p.user}
            recorder = p.delegate
            wait_until(lambda: others <= {str(info.user_id) for info, in recorder.named("OnRemoteUserEnterRoom")},
                       timeout, recorder.changed, lambda: f"{p.user} to see {sorted(others)}")

    def __getitem__(self, user: str) -> Participant:
        return self.participants[user]

    def leave(self) -> None:
        """Every participant leaves and its cloud is destroyed."""
        for p in self.participants.values():
            p.exit()
        for p in self.participants.values():
            p.destroy()


def pair(control: SdkControl, users: tuple[str, str] = ("alice", "bob"), room_id: int | None = None, *,
         app_id: int = DEFAULT_APP_ID, **fields: Any) -> LoopbackRoom:
    """Two Recorder participants in one room, each already told of the other.

    The room's `app_id` and `room_id` are those given, or `DEFAULT_APP_ID`
    and a fresh id: a program under test joins them with the same two."""
    room = LoopbackRoom(control, room_id, app_id=app_id)
    try:
        for user in users:
            room.join(user, **fields)
        room.wait_until_everyone_sees_everyone()
    except BaseException:
        room.leave()
        raise
    return room
