"""A member that enters a room and stays, for the room server's fault tests.

``python member.py NAME ROOM_ID`` enters with an audio channel, prints
"ready", then stays until it is killed, stopped, or 120 s pass. With
"--listen", it prints "heard N" each time it receives a command; with
"--watch USER", it subscribes to USER's main video first.
"""

import sys
import time

import _lumora

from lumora_kit.testing import Recorder, enter_params


class Listener(Recorder):
    def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message):  # noqa: N802
        print(f"heard {seq}", flush=True)


def main() -> None:
    name, room_id = sys.argv[1], int(sys.argv[2])
    delegate = Listener() if "--listen" in sys.argv else Recorder()
    cloud = _lumora.VELACloud(delegate)
    assert cloud.EnterRoom(enter_params(name, room_id)) == 0
    encode = _lumora.AudioEncodeParams()
    assert cloud.CreateLocalAudioChannel(encode) == 0
    if "--watch" in sys.argv:
        watched = sys.argv[sys.argv.index("--watch") + 1]
        assert cloud.Subscribe(watched, _lumora.StreamType.STREAM_TYPE_VIDEO_HIGH) == 0
    print("ready", flush=True)
    time.sleep(120)
    cloud.ExitRoom()


if __name__ == "__main__":
    main()
