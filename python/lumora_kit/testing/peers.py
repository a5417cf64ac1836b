"""Rooms (`lumora_kit.Room`) of the loopback service, for async tests.

A program under test and its test's peers meet when they enter the same
room of the same app id: `join_peer` uses `DEFAULT_APP_ID` and, unless told
otherwise, a fresh room id; the Room it returns exposes both (`room.app_id`,
`room.room_id`) for the program under test to join.
"""

from typing import Any

from ..room import JoinRoom, Room
from .loopback import DEFAULT_APP_ID, new_room_id


def join_peer(user_id: str = "peer", room_id: int | str | None = None, *, app_id: int = DEFAULT_APP_ID,
              **options: Any) -> JoinRoom:
    """`Room.join` for a test's participant: ``async with join_peer() as peer``.

    The user signature is one the loopback service accepts; `options` are
    `Room.join`'s."""
    return Room.join(app_id, new_room_id() if room_id is None else room_id, user_id, "sig-" + user_id, **options)
