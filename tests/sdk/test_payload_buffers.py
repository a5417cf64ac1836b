"""Large frame payloads reuse recycled buffers: the SDK's copy of each sent
frame and the copy each delivery hands to Python come from buffers kept
when earlier frames were freed, within fixed bounds, and nothing is kept
once the last cloud is gone."""

import gc
import hashlib
import json

from child import run_child
from recorder import Recorder

MiB = 1 << 20
KEPT_MAX = 12  # kKeptBuffersMax
KEPT_BYTES_MAX = 48 * MiB  # kKeptBytesMax


def frames_with(lumora, sizes):
    frames = []
    for i, size in enumerate(sizes):
        frame = lumora.PixelFrame()
        frame.SetData(bytes([i & 0xFF]) * size)
        frames.append(frame)
    return frames


def test_freed_buffers_are_kept_within_bounds_and_reused(lumora, sdk):
    frames = frames_with(lumora, [MiB] * 30)
    del frames
    gc.collect()
    stats = sdk.payload_buffer_stats()
    assert stats["kept"] == KEPT_MAX
    assert stats["kept_bytes"] <= KEPT_BYTES_MAX
    # The next frames of that size take the kept buffers, not new memory.
    again = frames_with(lumora, [MiB] * KEPT_MAX)
    after = sdk.payload_buffer_stats()
    assert (after["allocated"] - stats["allocated"], after["reused"] - stats["reused"]) == (0, KEPT_MAX)
    assert [f.data == bytes([i]) * MiB for i, f in enumerate(again)] == [True] * KEPT_MAX
    del again
    # A few huge payloads: at most 48 MiB stays kept, and a payload larger
    # than that is never kept at all.
    huge = frames_with(lumora, [20 * MiB] * 4 + [64 * MiB])
    del huge
    gc.collect()
    stats = sdk.payload_buffer_stats()
    assert stats["kept_bytes"] <= KEPT_BYTES_MAX
    assert stats["kept"] <= KEPT_MAX
    # A small payload is not served from a kept buffer many times its size.
    small = frames_with(lumora, [512 * 1024])
    assert sdk.payload_buffer_stats()["reused"] == stats["reused"]
    del small


class Hasher(Recorder):
    """Keeps only a digest of each received picture, so its frame is freed."""

    def __init__(self):
        super().__init__()
        self.digests = []

    def OnRemotePixelFrameReceived(self, user_id, stream_type, frame):
        self.digests.append(hashlib.sha256(frame.data).digest())


def in_room(lumora, sdk, delegate, user):
    """A cloud for `delegate` in room 4711 taking raw pictures; (cloud, id)."""
    from lumora_kit.testing import enter_params
    cloud = lumora.VELACloud(delegate)
    assert cloud.EnterRoom(enter_params(user, 4711, use_pixel_frame_output=True)) == 0
    return cloud, sdk.last_cloud_id()


def test_frames_through_a_subscriber_reuse_buffers(lumora, sdk):
    sender, _ = in_room(lumora, sdk, Recorder(), "sender")
    hasher = Hasher()
    receiver, receiver_id = in_room(lumora, sdk, hasher, "receiver")
    assert sender.CreateLocalVideoChannel(lumora.STREAM_TYPE_VIDEO_HIGH) == 0
    assert receiver.Subscribe("sender", lumora.STREAM_TYPE_VIDEO_HIGH) == 0
    frame = lumora.PixelFrame()
    frame.width, frame.height = 1024, 1024
    payloads = [bytes([i]) * (MiB + i) for i in range(20)]

    def send(index):
        frame.SetData(payloads[index])
        assert sender.SendPixelFrame(lumora.STREAM_TYPE_VIDEO_HIGH, frame) == 0
        assert sdk.wait_idle(receiver_id) == 0

    for i in range(5):  # warm-up
        send(i)
    before = sdk.payload_buffer_stats()
    for i in range(5, 20):
        send(i)
    after = sdk.payload_buffer_stats()
    # Each frame: the SDK's copy and the copy handed to Python, both reused.
    assert after["allocated"] == before["allocated"]
    assert after["reused"] - before["reused"] >= 2 * 15
    # Every picture arrived whole, whatever buffer carried it.
    assert hasher.digests == [hashlib.sha256(p).digest() for p in payloads]
    for cloud in (sender, receiver):
        cloud.ExitRoom()


def test_nothing_is_kept_after_the_last_cloud(lumora):
    program = """
        import gc, json
        import _lumora as lumora
        import sdk_control as sdk
        from recorder import Recorder

        cloud = lumora.VELACloud(Recorder())
        frames = [lumora.PixelFrame() for _ in range(4)]
        for f in frames:
            f.SetData(bytes(2 << 20))
        del frames, f
        kept_in_call = sdk.payload_buffer_stats()["kept"]
        del cloud
        gc.collect()
        print(json.dumps([kept_in_call, sdk.live_clouds(), sdk.payload_buffer_stats()["kept"]]))
    """
    out = run_child(program)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == [4, 0, 0]
