"""Automatic subscriptions: a stream opened after the sender started begins with the sender's first frame.

The receiver is the `lumora_peer` Room (``auto_subscribe=True``, the
default); each sender is a Room of its own that enters, publishes and sends
before the receiver opens anything. The tests of a user's stays drive the
sender as a bare loopback participant instead, from the test's own thread
without yielding to the loop, so that the receiving Room's pump has not run
when the sender leaves and comes back.
"""

import asyncio

import pytest

pytest.importorskip("_lumora")

import _lumora as lumora  # noqa: E402

from lumora_kit import Room, check, events  # noqa: E402
from lumora_kit.asyncio_bridge import EARLY_AUDIO_FRAMES  # noqa: E402
from lumora_kit.testing import Participant, wait_until_async  # noqa: E402

WIDTH, HEIGHT = 16, 8


def picture(index):
    return bytes([index]) * (WIDTH * HEIGHT * 3 // 2)


def kept(room, user_id):
    """(frames, dropped) kept of `user_id`'s audio before any stream of it opened, or None."""
    early = room._core.routes.kept("audio", user_id)
    return None if early is None else (len(early.frames), early.dropped)


def send_audio_now(room, count, first=0):
    """`count` 20 ms frames at once (no pacing), frame i filled with i % 256, pts i x 20, from frame `first`."""
    cloud = room if isinstance(room, lumora.VELACloud) else room.cloud
    frame = lumora.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    for i in range(first, first + count):
        frame.pts = i * 20
        frame.SetData(bytes([i % 256]) * 1920)
        check(cloud.SendAudioFrame(frame), "SendAudioFrame")


def first_byte(frame):
    return frame.data[0]


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


# ---- A user's stays: each begins with its first frame for the first stream opened in it ----

class Sender:
    """A remote user driven from the test's thread: enters, says numbered frames, leaves."""

    def __init__(self, control, receiver, user_id):
        self.control, self.receiver = control, receiver
        self.participant = Participant(control, user_id)
        check(self.participant.cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams()), "CreateLocalAudioChannel")

    def stay(self, first, count=3):
        """Enters, and sends frames `first` .. `first + count - 1`."""
        check(self.participant.enter(self.receiver.room_id, app_id=self.receiver.app_id), "EnterRoom")
        send_audio_now(self.participant.cloud, count, first)

    def leave(self):
        self.participant.exit()

    def destroy(self):
        self.participant.destroy()


async def joined_with_its_cloud_id(control, peer, user_id):
    """A receiving Room and the control id of its cloud (the cloud made last)."""
    room = await Room.join(peer.app_id, peer.room_id, user_id, "s")
    return room, control.last_cloud_id()


async def take(stream, count):
    async with asyncio.timeout(10):
        return [await stream.get() for _ in range(count)]


@pytest.mark.parametrize("stream_in_first_stay", [False, True], ids=["no-stream", "stream-open"])
async def test_a_second_stay_begun_before_the_pump_ran_starts_with_its_first_frame(lumora_peer, lumora_sdk,
                                                                                   stream_in_first_stay):
    receiver, receiver_cloud = await joined_with_its_cloud_id(lumora_sdk, lumora_peer, "receiver")
    changes = receiver.events(events.OnRemoteUserEnterRoom, events.OnRemoteUserExitRoom)
    sender = Sender(lumora_sdk, lumora_peer, "sender")
    try:
        for round in range(3):
            first_stay = None
            if stream_in_first_stay:
                sender.stay(10)
                await receiver.wait_for_user("sender")
                first_stay = receiver.audio_stream("sender")
                assert [first_byte(f) for f in await take(first_stay, 3)] == [10, 11, 12]
                sender.leave()
                sender.stay(20)
            else:  # both stays before the pump runs
                sender.stay(10)
                sender.leave()
                sender.stay(20)
            # The receiver's SDK thread has delivered both stays; its pump has not run yet.
            assert lumora_sdk.wait_idle(receiver_cloud, 10000) == 0
            async with asyncio.timeout(10):  # the pump takes the leave and the second entry
                while not isinstance(await changes.get(), events.OnRemoteUserEnterRoom) or \
                        "sender" not in receiver.remote_users:
                    pass
            if first_stay is not None:  # its stream ended with its stay, without the next stay's frames
                async with asyncio.timeout(10):
                    assert [f async for f in first_stay] == [] and first_stay.end_reason == "user left"
            second_stay = receiver.audio_stream("sender")
            assert [first_byte(second_stay.get_nowait()) for _ in range(3)] == [20, 21, 22], f"round {round}"
            await second_stay.aclose()
            sender.leave()
            await wait_until_async(lambda: "sender" not in receiver.remote_users, 10)
            while changes.qsize():
                changes.get_nowait()
    finally:
        sender.destroy()
        await receiver.leave()


async def test_what_is_kept_waits_for_the_first_stream_that_takes_a_stays_beginning(lumora_peer, lumora_sdk):
    receiver, receiver_cloud = await joined_with_its_cloud_id(lumora_sdk, lumora_peer, "receiver")
    sender = Sender(lumora_sdk, lumora_peer, "sender")
    try:
        # A stream opened and closed before the user came took nothing: a later stream gets the beginning.
        await receiver.audio_stream("sender").aclose()
        sender.stay(30)
        await receiver.wait_for_user("sender")
        assert lumora_sdk.wait_idle(receiver_cloud, 10000) == 0
        later = receiver.audio_stream("sender")
        assert [first_byte(later.get_nowait()) for _ in range(3)] == [30, 31, 32]
        await later.aclose()
        sender.leave()
        await wait_until_async(lambda: "sender" not in receiver.remote_users, 10)

        # A stream opened after the user left is for the next stay; closed before it, it takes nothing either.
        await receiver.audio_stream("sender").aclose()
        sender.stay(40)
        await receiver.wait_for_user("sender")
        assert lumora_sdk.wait_idle(receiver_cloud, 10000) == 0
        again = receiver.audio_stream("sender")
        assert [first_byte(again.get_nowait()) for _ in range(3)] == [40, 41, 42]
        await again.aclose()
        sender.leave()
        await wait_until_async(lambda: "sender" not in receiver.remote_users, 10)

        # A stream open when the user came took the beginning itself: a stream after it starts when it opens.
        waiting = receiver.audio_stream("sender")
        sender.stay(50)
        assert [first_byte(f) for f in await take(waiting, 3)] == [50, 51, 52]
        await waiting.aclose()
        send_audio_now(sender.participant.cloud, 1, 53)
        assert lumora_sdk.wait_idle(receiver_cloud, 10000) == 0
        assert receiver.audio_stream("sender").qsize() == 0
    finally:
        sender.leave()
        sender.destroy()
        await receiver.leave()


async def test_nothing_is_kept_of_users_who_churned_through(lumora_peer, lumora_sdk):
    receiver, receiver_cloud = await joined_with_its_cloud_id(lumora_sdk, lumora_peer, "receiver")
    names = [f"churn{i}" for i in range(12)]
    try:
        for round in range(2):
            for i, name in enumerate(names):
                sender = Sender(lumora_sdk, lumora_peer, name)
                sender.stay(60 + round)
                await receiver.wait_for_user(name)
                assert lumora_sdk.wait_idle(receiver_cloud, 10000) == 0
                stream = receiver.audio_stream(name)  # every stay begins with its first frame
                assert first_byte(stream.get_nowait()) == 60 + round, f"{name}, round {round}"
                if i % 3 == 0:  # closed in the stay
                    await stream.aclose()
                sender.leave()
                if i % 3 == 1:  # closed after the SDK saw the user go, before the pump did
                    assert lumora_sdk.wait_idle(receiver_cloud, 10000) == 0
                    late = receiver.audio_stream(name)
                    await late.aclose()
                await wait_until_async(lambda: name not in receiver.remote_users, 10)
                if i % 3 == 2:  # opened and closed once the user had gone
                    await stream.aclose()
                    await receiver.audio_stream(name).aclose()
                await stream.aclose()
                sender.destroy()
        routes = receiver._core.routes
        assert routes.users_tracked() == ["peer"]  # in the room
        assert routes.audio == {} and routes.audio_put == {}
    finally:
        await receiver.leave()
