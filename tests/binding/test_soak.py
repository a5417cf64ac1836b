"""Soak: many callbacks, clouds and objects; nothing may accumulate.

Each soak runs a warm-up first (so caches, free lists, allocator arenas and
the SDK's per-cloud threads settle), takes a baseline, runs the bulk of the
work and then checks that
  - the process's resident memory (/proc/self/statm) grew by under 2 MiB,
  - the garbage collector tracks no more objects than at the baseline, and
    the interpreter holds no more memory blocks (small slack for caches),
  - sys.getrefcount of the delegate is back at its baseline.
The SDK journal keeps every call it sees, so it is off during the soaks.

Under AddressSanitizer freed memory sits in a quarantine and resident memory
grows by design; the resident-memory check is skipped there (the workload
still runs, which is what the sanitizer needs).
"""

import gc
import os
import sys

import pytest

from recorder import CALLBACKS

pytestmark = pytest.mark.slow

RSS_LIMIT = 2 * 1024 * 1024
GC_SLACK = 50  # objects tracked by the collector
BLOCK_SLACK = 1000  # interpreter memory blocks; a leak per iteration shows as thousands


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def sanitized():
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


class Baseline:
    """Memory figures at one point. The delegate's reference count is taken by
    the test itself, in its own frame, since each call frame that holds the
    delegate adds to the count."""

    def __init__(self):
        gc.collect()
        self.objects = len(gc.get_objects())
        self.blocks = sys.getallocatedblocks()
        self.rss = rss_bytes()

    def check(self):
        gc.collect()
        growth = rss_bytes() - self.rss
        report = (f"rss growth {growth / 1024:.0f} KiB, gc objects {len(gc.get_objects()) - self.objects:+d}, "
                  f"blocks {sys.getallocatedblocks() - self.blocks:+d}")
        print(report)
        assert len(gc.get_objects()) - self.objects <= GC_SLACK, report
        # getallocatedblocks is 0 throughout with PYTHONMALLOC=malloc.
        assert sys.getallocatedblocks() - self.blocks <= BLOCK_SLACK, report
        if not sanitized():
            assert growth < RSS_LIMIT, report


@pytest.fixture
def quiet_journal(sdk):
    # Off is the default; say so explicitly, since the soaks depend on it.
    sdk.enable_journal(False)
    sdk.clear_journal()
    yield sdk


def make_dropper(lumora):
    """A delegate class whose 22 callbacks count calls and drop their arguments."""

    def dropping(self, *args):
        self.calls += 1

    namespace = {name: dropping for name in CALLBACKS}
    namespace["__init__"] = lambda self: (lumora.VELACloudDelegate.__init__(self), setattr(self, "calls", 0))[0]
    return type("Dropper", (lumora.VELACloudDelegate,), namespace)


# One round of injections: frames of every kind plus the payload callbacks.
def inject_round(sdk, cid, i, video, pixels, audio):
    inject = sdk.inject
    results = (
        inject("remote_video_frame", cid, "bob", 2, i, i, i & 1, 0, 0, video),
        inject("remote_pixel_frame", cid, "bob", 2, i, 16, 16, 0, 0, pixels),
        inject("remote_audio", cid, "bob", 48000, 1, 16, 0, i, 1, audio),
        inject("remote_mixed_audio", cid, 48000, 1, 16, 0, i, 0, audio),
        inject("sei_message", cid, "bob", 2, 5, b"sei-%d" % i),
        inject("custom_cmd_msg", cid, "bob", 1, i, b"cmd"),
        inject("network_quality", cid, ("me", 1), [("bob", 2), ("eve", 3)]),
        inject("remote_user_enter_room", cid, "bob"),
    )
    assert results == (0,) * len(results)
    return len(results)


def drain(sdk, cid):
    assert sdk.wait_idle(cid, 60000) == 0, "the event thread did not drain its queue"


def test_callbacks_with_frames(lumora, quiet_journal):
    sdk = quiet_journal
    delegate = make_dropper(lumora)()
    unshared = sys.getrefcount(delegate)
    cloud = lumora.VELACloud(delegate)
    cid = sdk.last_cloud_id()
    video, pixels, audio = bytes(range(256)) * 4, bytes(16 * 16 * 3 // 2), bytes(1920)
    sent = 0

    def run(rounds, start):
        nonlocal sent
        for r in range(start, start + rounds):
            sent += inject_round(sdk, cid, r, video, pixels, audio)
            if r % 100 == 99:  # keep the queue short: memory must reflect leaks, not backlog
                drain(sdk, cid)
        drain(sdk, cid)

    run(1000, 0)  # warm-up: 8,000 callbacks
    base = Baseline()
    refs = sys.getrefcount(delegate)
    run(12500, 1000)  # 100,000 callbacks
    assert delegate.calls == sent == 13500 * 8
    assert sdk.callback_errors(cid) == 0, sdk.last_callback_error()
    base.check()
    assert sys.getrefcount(delegate) == refs
    # Destroying the cloud releases its hold on the delegate.
    del cloud
    gc.collect()
    assert sys.getrefcount(delegate) == unshared


def test_cloud_create_destroy_cycles(lumora, quiet_journal):
    sdk = quiet_journal
    delegate = make_dropper(lumora)()
    live = sdk.live_clouds()

    def cycles(n):
        for _ in range(n):
            cloud = lumora.VELACloud(delegate)
            del cloud
        assert sdk.live_clouds() == live

    cycles(500)
    base = Baseline()
    refs = sys.getrefcount(delegate)
    cycles(10000)
    base.check()
    assert sys.getrefcount(delegate) == refs
    # A cloud that got one callback before it went away holds nothing either.
    cloud = lumora.VELACloud(delegate)
    cid = sdk.last_cloud_id()
    sdk.inject("enter_room", cid)
    drain(sdk, cid)
    del cloud
    assert sdk.live_clouds() == live
    assert delegate.calls == 1
    base.check()
    assert sys.getrefcount(delegate) == refs


def objects_round(lumora, i):
    """Records, frames and texts, reached through the views the module hands out."""
    params = lumora.EnterRoomParams()
    room = params.room  # a view into params
    room.user_id = lumora.VelaString("user-%d" % i)
    room.str_room_id = lumora.VelaString("room")
    room.room_id = i
    assert params.room.user_id.GetValue() == "user-%d" % i
    obtain = params.audio_obtain_params
    obtain.output_sample_rate = 48000
    assert params.audio_obtain_params.output_sample_rate == 48000
    text = lumora.VelaString("x" * 64)
    text.SetValue("y" * (i % 97))
    assert str(text) == "y" * (i % 97)
    quality = lumora.NetworkQualityInfo()
    quality.user_id = text
    quality.quality = lumora.NETWORK_QUALITY_GOOD
    user = lumora.UserInfo()
    user.user_id = quality.user_id
    audio = lumora.AudioFrame()
    audio.SetData(b"a" * 960)
    audio.SetExtraData(b"e" * 16)
    video = lumora.VideoFrame()
    video.SetData(b"v" * 512)
    pixels = lumora.PixelFrame()
    pixels.SetData(b"p" * 384)
    assert audio.size == 960 and len(video.data) == 512 and pixels.data[:1] == b"p"
    # A view kept after its owner is dropped keeps the owner alive until it goes.
    del params
    room.sdk_app_id = 1
    return room


def test_records_frames_texts_with_views(lumora, quiet_journal):
    for i in range(500):
        objects_round(lumora, i)
    base = Baseline()
    for i in range(10000):
        objects_round(lumora, i)
    base.check()
