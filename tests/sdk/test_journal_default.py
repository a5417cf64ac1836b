"""The SDK's call journal is off unless a program switches it on, so a long
call does not grow the process: each journaled video frame keeps a hex copy
of up to 64 KiB of its payload, hundreds of megabytes over a call."""

import json

from child import run_child

# A fresh process (the journal at its default) sends WARM_UP then COUNT
# 100 kB video frames from a cloud in a room and reports its resident-memory
# growth after the warm-up and the journal's size.
FRAMES_PROGRAM = """
    import json, os, sys
    import _lumora as lumora
    import sdk_control
    from recorder import Recorder

    WARM_UP, COUNT = int(sys.argv[1]), int(sys.argv[2])

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    delegate = Recorder()
    cloud = lumora.VELACloud(delegate)
    params = lumora.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.user_id = lumora.VelaString("sender")
    params.room.user_sig = lumora.VelaString("signature")
    params.room.room_id = 9301
    assert cloud.EnterRoom(params) == 0
    assert cloud.CreateLocalVideoChannel(lumora.STREAM_TYPE_VIDEO_HIGH) == 0
    frame = lumora.VideoFrame()
    frame.SetData(bytes(range(256)) * 400)

    def send(first, count):
        for i in range(first, first + count):
            frame.pts = i
            assert cloud.SendVideoFrame(lumora.STREAM_TYPE_VIDEO_HIGH, frame) == 0

    send(0, WARM_UP)
    before = rss()
    send(WARM_UP, COUNT)
    growth = rss() - before
    print(json.dumps({"growth": growth, "journal": sdk_control.journal_size()}))
    cloud.ExitRoom()
"""


def test_long_run_of_frames_keeps_memory_flat(lumora):
    # With the journal on, these 3,000 frames would add about 375 MiB.
    out = run_child(FRAMES_PROGRAM, 300, 3000, timeout=120)
    assert out.returncode == 0, out.stderr
    report = json.loads(out.stdout)
    print(report)
    assert report["journal"] == 0
    assert report["growth"] < 4 * 1024 * 1024, report
