"""Automatic subscriptions: a stream opened after the sender started begins with the sender's first frame.

The receiver is the `lumora_peer` Room (``auto_subscribe=True``, the
default); each sender is a Room of its own that enters, publishes and sends
before the receiver opens anything.
"""

import asyncio

import pytest

pytest.importorskip("_lumora")

import _lumora as lumora  # noqa: E402

from lumora_kit import Room, check  # noqa: E402
from lumora_kit.asyncio_bridge import EARLY_AUDIO_FRAMES  # noqa: E402
from lumora_kit.testing import wait_until_async  # noqa: E402

WIDTH, HEIGHT = 16, 8


def picture(index):
    return bytes([index]) * (WIDTH * HEIGHT * 3 // 2)


def kept(room, user_id):
    """(frames, dropped) kept of `user_id`'s audio before any stream of it opened, or None."""
    early = room._core.routes._early.get(("audio", user_id))
    return None if early is None else (len(early.frames), early.dropped)


def send_audio_now(room, count):
    """`count` 20 ms frames at once (no pacing), frame i filled with i % 256, pts i x 20."""
    frame = lumora.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    for i in range(count):
        frame.pts = i * 20
        frame.SetData(bytes([i % 256]) * 1920)
        check(room.cloud.SendAudioFrame(frame), "SendAudioFrame")


async def test_streams_opened_after_the_sender_started_begin_with_its_first_frame(lumora_peer):
    for round in range(20):
        async with Room.join(lumora_peer.app_id, lumora_peer.room_id, f"sender{round}", "s") as sender:
            voice = await sender.publish_audio()
            camera = await sender.publish_video(WIDTH, HEIGHT, fps=30)
            await voice.capture(b"\x01\x00" * 960 + b"\x02\x00" * 960)
            await camera.capture(picture(1) + picture(2))
            await voice.wait_for_playout()
            await camera.wait_for_playout()
            await lumora_peer.wait_for_user(sender.user_id, audio=True, video=lumora.STREAM_TYPE_VIDEO_HIGH)
            heard = lumora_peer.audio_stream(sender.user_id)  # opened after both frames were sent
            seen = lumora_peer.video_stream(sender.user_id)
            async with asyncio.timeout(5):
                first_sound, first_picture = await heard.get(), await seen.get()
            assert first_sound.data == b"\x01\x00" * 960, f"round {round}"
            assert first_picture.data == picture(1), f"round {round}"
            assert (await heard.get()).data == b"\x02\x00" * 960


async def test_kept_frames_are_bounded_counted_and_dropped_when_the_user_leaves(lumora_peer):
    sender = await Room.join(lumora_peer.app_id, lumora_peer.room_id, "sender", "s")
    await lumora_peer.wait_for_user("sender")
    check(sender.cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams()), "CreateLocalAudioChannel")
    send_audio_now(sender, EARLY_AUDIO_FRAMES + 10)
    await wait_until_async(lambda: kept(lumora_peer, "sender") == (EARLY_AUDIO_FRAMES, 10), 5)
    early = lumora_peer.audio_stream("sender", maxsize=1000)
    later = lumora_peer.audio_stream("sender")  # only the first stream gets what was kept
    assert early.stats().pending == EARLY_AUDIO_FRAMES and early.dropped == 10
    assert [early.get_nowait().pts for _ in range(3)] == [0, 20, 40]
    assert later.qsize() == 0
    await early.aclose()
    await later.aclose()

    other = await Room.join(lumora_peer.app_id, lumora_peer.room_id, "other", "s")
    await lumora_peer.wait_for_user("other")
    check(other.cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams()), "CreateLocalAudioChannel")
    send_audio_now(other, 5)
    await wait_until_async(lambda: kept(lumora_peer, "other") == (5, 0), 5)
    await other.leave()
    await wait_until_async(lambda: "other" not in lumora_peer.remote_users, 5)
    assert kept(lumora_peer, "other") is None
    await sender.leave()


async def test_tracks_hands_each_users_streams_from_their_first_frame(lumora_peer):
    tracks = lumora_peer.tracks()
    async with Room.join(lumora_peer.app_id, lumora_peer.room_id, "sender", "s") as sender:
        voice = await sender.publish_audio()
        await voice.capture(b"\x07\x00" * 960)
        camera = await sender.publish_video(WIDTH, HEIGHT, fps=30)
        await camera.capture(picture(9))
        async with asyncio.timeout(5):
            handed = {(s.user_id, s.stream_type): s for s in [await tracks.get(), await tracks.get()]}
            assert set(handed) == {("sender", lumora.STREAM_TYPE_AUDIO), ("sender", lumora.STREAM_TYPE_VIDEO_HIGH)}
            assert (await handed["sender", lumora.STREAM_TYPE_AUDIO].get()).data == b"\x07\x00" * 960
            assert (await handed["sender", lumora.STREAM_TYPE_VIDEO_HIGH].get()).data == picture(9)
        # A second iterator starts with the users already there.
        again = lumora_peer.tracks(video=False)
        assert (again.get_nowait().user_id, again.qsize()) == ("sender", 0)
    async with asyncio.timeout(5):
        assert [f async for f in handed["sender", lumora.STREAM_TYPE_AUDIO]] == []  # ends: the user left
    await lumora_peer.leave()
    async with asyncio.timeout(5):
        assert [s async for s in tracks] == []
