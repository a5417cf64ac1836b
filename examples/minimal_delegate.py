"""A delegate that redefines only the callbacks it needs (lumora_kit.Delegate).

Run it: python examples/minimal_delegate.py [--quiet]

Two participants enter one room of the SDK's loopback service; each waits
until it has seen the other, then both leave. Every other callback reaches
the base class's no-ops, which report it on the "lumora_kit" logger because
the delegates are made with log_unhandled=True.
"""

import argparse
import logging
import sys
import threading

import _lumora as lumora

from lumora_kit import Delegate


class Greeter(Delegate):
    def __init__(self, name: str) -> None:
        super().__init__(log_unhandled=True)
        self.name = name
        self.peer_seen = threading.Event()

    def OnEnterRoom(self) -> None:
        print(f"{self.name}: in the room")

    def OnRemoteUserEnterRoom(self, info: lumora.UserInfo) -> None:
        print(f"{self.name}: {info.user_id} came in")
        self.peer_seen.set()


def enter(cloud: lumora.VELACloud, user: str, room_id: int) -> int:
    params = lumora.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.user_id = lumora.VelaString(user)
    params.room.user_sig = lumora.VelaString("signature-of-" + user)
    params.room.room_id = room_id
    return cloud.EnterRoom(params)


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--quiet", action="store_true", help="do not show the unhandled callbacks")
    args = parser.parse_args()
    logging.basicConfig(level=logging.WARNING if args.quiet else logging.DEBUG, format="  %(name)s: %(message)s")

    alice, bob = Greeter("alice"), Greeter("bob")
    clouds = {d.name: lumora.VELACloud(d) for d in (alice, bob)}
    for name, cloud in clouds.items():
        if enter(cloud, name, 8002) != lumora.ERR_OK:
            print(f"{name} could not enter", file=sys.stderr)
            return 1
    ok = alice.peer_seen.wait(5) and bob.peer_seen.wait(5)
    for cloud in clouds.values():
        cloud.ExitRoom()
    del clouds  # destroys the SDK's clouds before the delegates go
    print("result:", "both saw each other" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
