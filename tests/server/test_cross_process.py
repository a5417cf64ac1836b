"""Members in separate processes meet on the room server and receive what
members in one process receive from the in-process room, frame by frame."""

import json
import sys
import threading
from pathlib import Path

import pytest

from lumora_kit.testing import new_room_id
from lumora_kit.testing.room_server import spawn_participant

sys.path.insert(0, str(Path(__file__).parent))
import conversation  # noqa: E402

CONVERSATION = Path(__file__).with_name("conversation.py")


def run_in_threads(room_id: int) -> dict[str, object]:
    results: dict[str, object] = {}
    errors: list[BaseException] = []

    def member(name: str) -> None:
        try:
            results[name] = conversation.run_member(name, room_id)
        except BaseException as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=member, args=(name,)) for name in conversation.MEMBERS]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    if errors:
        raise errors[0]
    # Through JSON, as the other processes' results come.
    return json.loads(json.dumps(results))


def test_three_processes_receive_what_one_process_receives(lumora_sdk, lumora_room_server):
    in_process = run_in_threads(new_room_id())
    room_id = new_room_id()
    members = {name: spawn_participant(CONVERSATION, name, str(room_id), server=lumora_room_server)
               for name in conversation.MEMBERS}
    across = {name: process.result() for name, process in members.items()}

    for name in conversation.MEMBERS:
        assert across[name] == in_process[name], name
    # What the script arranged arrived at all (a comparison of two empty runs would pass too).
    assert len(across["alice"]["audio"]["carol"]) == 10
    assert len(across["carol"]["video"]["bob"]) == 5 and across["carol"]["video"]["bob"][0][0] == "video"
    assert len(across["bob"]["video"]["alice"]) == 5 and across["bob"]["video"]["alice"][0][0] == "pixel"
    assert across["bob"]["mixed"], "bob mixed nothing"
    assert across["alice"]["commands"]["bob"] == [[1, "bob-cmd-0"], [2, "bob-cmd-1"], [3, "bob-cmd-2"]]
    assert not across["alice"]["main_thread_callbacks"]
    log = lumora_room_server.log()
    for name in conversation.MEMBERS:
        assert f"join room=1400/{room_id} user={name}" in log
        assert f"leave room=1400/{room_id} user={name}" in log
