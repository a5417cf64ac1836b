"""lumora_kit.Room on the loopback service: joining, leaving, streams, messages, errors.

The async tests run on the loop of the kit's `lumora_runner` fixture (the
kit's pytest plugin runs them); `lumora_peer` is a second participant.
"""

import asyncio
import collections
import gc
import logging
import weakref

import pytest

pytest.importorskip("_lumora")

import _lumora as lumora  # noqa: E402

from lumora_kit import DropPolicy, LumoraError, LumoraTimeoutError, Room, StreamEnded, check, events  # noqa: E402
from lumora_kit.asyncio_bridge import RoomDelegate  # noqa: E402
from lumora_kit.testing import DEFAULT_APP_ID, join_peer, new_room_id  # noqa: E402


def join_beside(peer, user="bot", **options):
    """Room.join into the peer's room."""
    return Room.join(peer.app_id, peer.room_id, user, "sig-" + user, **options)


def pcm_frames(count, samples=960):
    """`count` 20 ms frames of 48 kHz mono PCM, each filled with its index."""
    return [(i % 256).to_bytes(1, "little") * (samples * 2) for i in range(count)]


def send_now(room, payloads):
    """Sends frames right away on the calling thread (no pacing)."""
    frame = lumora.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    for i, payload in enumerate(payloads):
        frame.pts = i * 20
        frame.SetData(payload)
        check(room.cloud.SendAudioFrame(frame), "SendAudioFrame")


# ---- Joining and leaving ---------------------------------------------------------------

async def test_join_meets_the_peer_and_leaving_exits_then_destroys(lumora_peer, lumora_journal):
    assert (lumora_peer.app_id, lumora_peer.user_id) == (DEFAULT_APP_ID, "peer")
    async with join_beside(lumora_peer) as bot:
        peer = await bot.wait_for_user("peer")
        assert peer.user_id == "peer" and not peer.audio
        await lumora_peer.wait_for_user("bot")
        cloud_id = lumora_journal.last_cloud_id()
        stream = bot.audio_stream("peer")
        room_events = bot.events()
        source = await lumora_peer.publish_audio()
        user = await bot.wait_for_user("peer", audio=True)
        assert user.audio and bot.remote_users["peer"] == user
    assert not bot.joined and not source.closed  # the peer's source stays
    sequence = [e["fn"] for e in lumora_journal.journal() if e["cloud"] == cloud_id]
    assert sequence[-2:] == ["VELACloud::ExitRoom", "VELACloud::Destroy"]
    assert stream.end_reason == "room left" and [f async for f in stream] == []
    seen = [type(e) async for e in room_events]
    assert events.OnRemoteAudioAvailable in seen and seen[-1] is events.OnExitRoom
    with pytest.raises(RuntimeError, match="not in the room"):
        bot.audio_stream("peer")


async def test_a_refused_join_raises_lumora_error_and_leaves_no_cloud(lumora_peer, lumora_sdk):
    clouds = lumora_sdk.live_clouds()
    with pytest.raises(LumoraError) as caught:
        await join_beside(lumora_peer, "peer")  # that user id is taken in this room
    assert caught.value.error == lumora.ERR_ENTER_ROOM_FAILED and caught.value.operation == "EnterRoom"
    assert "ERR_ENTER_ROOM_FAILED" in str(caught.value) and "user id 'peer' may already be in room" in str(caught.value)
    assert lumora_sdk.live_clouds() == clouds
    with pytest.raises(ValueError, match="app_id"):
        Room.join(0, 5, "x", "y")
    with pytest.raises(ValueError, match="room_id"):
        Room.join(DEFAULT_APP_ID, "", "x", "y")


async def test_no_on_enter_room_times_out_and_on_error_fails_the_join(lumora_peer, lumora_sdk, monkeypatch):
    clouds = lumora_sdk.live_clouds()
    monkeypatch.setattr(RoomDelegate, "OnEnterRoom", lambda self: None)
    with pytest.raises(LumoraTimeoutError, match="no OnEnterRoom within 0.2 s") as caught:
        await join_beside(lumora_peer, enter_timeout=0.2)
    assert isinstance(caught.value, TimeoutError) and caught.value.error == lumora.ERR_REQUEST_SERVER_TIMEOUT

    def error_instead(self):
        self.routes.room_events.put(events.OnError(lumora.ERR_BANNED_BY_SERVER))

    monkeypatch.setattr(RoomDelegate, "OnEnterRoom", error_instead)
    with pytest.raises(LumoraError, match="ERR_BANNED_BY_SERVER") as caught:
        await join_beside(lumora_peer)
    assert caught.value.error == lumora.ERR_BANNED_BY_SERVER
    assert lumora_sdk.live_clouds() == clouds


async def test_cancellation_inside_the_room_still_leaves(lumora_peer, lumora_sdk):
    clouds = lumora_sdk.live_clouds()
    inside = asyncio.Event()

    async def bot():
        async with join_beside(lumora_peer) as room:
            room.audio_stream("peer")
            inside.set()
            await asyncio.sleep(60)

    task = asyncio.create_task(bot())
    await inside.wait()
    assert lumora_sdk.live_clouds() == clouds + 1
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert lumora_sdk.live_clouds() == clouds


async def test_the_delegate_does_not_keep_the_cloud_or_the_room(lumora_peer):
    gc.disable()
    try:
        room = await join_beside(lumora_peer)
        room.audio_stream("peer")
        # The delegate holds the routes: they outlive it only by a reference cycle.
        routes = weakref.ref(room._core.routes)
        await room.leave()
        await asyncio.sleep(0)  # the pump task runs its cancellation
        room_ref = weakref.ref(room)
        del room
        # Without the cycle collector: reference counts alone free everything.
        assert room_ref() is None and routes() is None
    finally:
        gc.enable()


# ---- Streams ---------------------------------------------------------------------------

async def test_a_stream_gets_every_frame_sent_after_it_returns(lumora_peer):
    async with join_beside(lumora_peer) as bot:
        await lumora_peer.wait_for_user("bot")
        check(lumora_peer.cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams()), "CreateLocalAudioChannel")
        stream = lumora_peer.audio_stream("bot")
        check(bot.cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams()), "CreateLocalAudioChannel")
        payloads = pcm_frames(5)
        send_now(bot, payloads)  # at once, before the loop ever runs again
        got = [(await stream.get()).data for _ in payloads]
        assert got == payloads


async def test_a_users_stream_ends_after_their_frames_when_they_leave(lumora_peer):
    bot = await join_beside(lumora_peer)
    await lumora_peer.wait_for_user("bot")
    stream = lumora_peer.audio_stream("bot")
    check(bot.cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams()), "CreateLocalAudioChannel")
    send_now(bot, pcm_frames(3))
    await bot.leave()
    async with asyncio.timeout(5):
        got = [frame.pts async for frame in stream]
    assert got == [0, 20, 40] and stream.end_reason == "user left"
    with pytest.raises(StreamEnded, match="user left"):
        await stream.get()
    assert "bot" not in lumora_peer.remote_users


async def test_a_full_stream_drops_by_its_policy_and_counts(lumora_peer):
    async with join_beside(lumora_peer) as bot:
        await lumora_peer.wait_for_user("bot")
        oldest = lumora_peer.audio_stream("bot", maxsize=4)
        newest = lumora_peer.audio_stream("bot", maxsize=4, policy=DropPolicy.DROP_NEWEST)
        check(bot.cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams()), "CreateLocalAudioChannel")
        send_now(bot, pcm_frames(10))
        async with asyncio.timeout(5):
            while oldest.received < 10 or newest.received < 10:
                await asyncio.sleep(0.005)
        assert (oldest.stats().dropped, oldest.qsize()) == (6, 4)
        assert [oldest.get_nowait().pts for _ in range(4)] == [120, 140, 160, 180]
        assert [newest.get_nowait().pts for _ in range(4)] == [0, 20, 40, 60]


async def test_closing_unsubscribes_once_the_last_stream_of_a_user_closes(lumora_peer, lumora_journal):
    async with join_beside(lumora_peer, auto_subscribe=False) as bot:
        await bot.wait_for_user("peer")
        lumora_journal.clear_journal()
        first, second = bot.audio_stream("peer"), bot.audio_stream("peer")
        assert len(lumora_journal.calls("VELACloud::Subscribe")) == 1
        await first.aclose()
        assert lumora_journal.calls("VELACloud::Unsubscribe") == []
        async with second:
            pass
        assert lumora_journal.calls("VELACloud::Unsubscribe") == [[b"peer", 1]]
        third = bot.audio_stream("peer")
        del third  # e.g. left with break in async for: a dropped stream closes on the loop
        await asyncio.sleep(0)
        assert len(lumora_journal.calls("VELACloud::Unsubscribe")) == 2


async def test_video_arrives_as_pictures_with_size_and_format(lumora_peer):
    async with join_beside(lumora_peer) as bot:
        await lumora_peer.wait_for_user("bot")
        stream = lumora_peer.video_stream("bot")
        source = await bot.publish_video(16, 8, fps=30)
        picture = bytes(range(16 * 8)) + bytes(64)
        await source.capture(picture * 2)
        async with asyncio.timeout(5):
            frames = [await stream.get() for _ in range(2)]
        assert [(f.width, f.height, f.format, f.data) for f in frames] == \
            [(16, 8, lumora.VIDEO_PIXEL_FORMAT_YUV420p, picture)] * 2
        with pytest.raises(RuntimeError, match="encoded_video_stream"):
            Room.join(1, 1, "a", "b", pixel_frame_output=False).room.video_stream("x")


async def test_mixed_audio_covers_users_who_come_later(lumora_peer):
    async with join_beside(lumora_peer, "listener", mix_audio=True, mixed_sample_rate=48000) as listener:
        with pytest.raises(RuntimeError, match="mixed_audio_stream"):
            listener.audio_stream("peer")
        mixed = listener.mixed_audio_stream()
        async with join_beside(lumora_peer, "late") as late:
            await listener.wait_for_user("late")
            source = await late.publish_audio()
            await source.capture(b"\x10\x00" * 960 * 3)
            async with asyncio.timeout(5):
                frame = await mixed.get()
            assert (frame.sample_rate, frame.channels, frame.bits_per_sample) == (48000, 1, 16)
            assert any(frame.data)


# ---- Messages and events ---------------------------------------------------------------

async def test_commands_and_sei_reach_the_filtered_event_stream(lumora_peer):
    async with join_beside(lumora_peer) as bot:
        await lumora_peer.wait_for_user("bot")
        commands = lumora_peer.events(events.OnReceiveCustomCmdMsg, events.OnSeiMessageReceived)
        await bot.send_command(7, "hello")
        await bot.send_sei(b"\x00sei", message_type=6)
        async with asyncio.timeout(5):
            got = [await commands.get(), await commands.get()]
        assert got[0] == events.OnReceiveCustomCmdMsg("bot", 7, 1, b"hello")
        assert (got[1].user_id, got[1].message_type, got[1].message) == ("bot", 6, b"\x00sei")
        with pytest.raises(LumoraError, match="SendSeiMessage failed: ERR_INVALID_PARAMETER"):
            await bot.send_sei(b"")
        with pytest.raises(LumoraError, match="SendCustomCmdMsg"):
            await bot.send_command(1, bytes(9000))


# ---- Errors ----------------------------------------------------------------------------

async def test_errors_on_the_sdk_thread_are_logged_not_raised_into_the_sdk(lumora_peer, lumora_sdk, caplog):
    async with join_beside(lumora_peer) as bot:
        await lumora_peer.wait_for_user("bot")
        cloud_id = lumora_sdk.last_cloud_id()
        stream = bot.audio_stream("peer")

        class Broken(collections.deque):
            def append(self, frame):
                raise ValueError("a broken sink")

        stream.sink.queue._items = Broken()
        errors_before = lumora_sdk.callback_errors(cloud_id)
        source = await lumora_peer.publish_audio()
        with caplog.at_level(logging.ERROR, logger="lumora_kit"):
            await source.capture(bytes(1920 * 2))
            await source.wait_for_playout()
            await asyncio.to_thread(lumora_sdk.wait_idle, cloud_id)
        assert lumora_sdk.callback_errors(cloud_id) == errors_before
        logged = [r for r in caplog.records if "OnRemoteAudioReceived" in r.getMessage()]
        assert logged and logged[0].exc_info[0] is ValueError


def test_check_raises_for_failed_results_only():
    check(0, "EnterRoom")
    check(None, "SetVideoEncodeParam")
    check(lumora.ERR_OK, "ExitRoom")
    with pytest.raises(LumoraError) as caught:
        check(-3316, "Subscribe")
    assert (caught.value.error, caught.value.code, caught.value.operation) == (lumora.Error(-3316), -3316, "Subscribe")
    with pytest.raises(LumoraError, match=r"Subscribe failed: unknown \(12345\)"):
        check(12345, "Subscribe")
    with pytest.raises(TypeError):
        check(True, "SendCustomCmdMsg")
    check(0)
    with pytest.raises(LumoraError, match=r"^an SDK operation failed: ERR_INVALID_PARAMETER \(-2\)$") as caught:
        check(lumora.ERR_INVALID_PARAMETER)
    assert caught.value.operation is None and caught.value.error == lumora.ERR_INVALID_PARAMETER


@pytest.mark.parametrize("catch_errors", [False, True])
def test_delegate_catch_errors_logs_instead_of_raising(lumora_sdk, caplog, catch_errors):
    from lumora_kit import Delegate
    from lumora_kit.testing import WiredCloud

    class Broken(Delegate):
        def OnRequestKeyFrame(self, stream_type):
            raise ValueError("broken on purpose")

    wired = WiredCloud(lumora_sdk, Broken(catch_errors=catch_errors))
    with caplog.at_level(logging.ERROR, logger="lumora_kit"):
        wired.inject("request_key_frame", 2)
        wired.wait_idle()
    assert lumora_sdk.callback_errors(wired.id) == (0 if catch_errors else 1)
    logged = [r for r in caplog.records if r.name == "lumora_kit"]
    assert len(logged) == (1 if catch_errors else 0)
    if catch_errors:
        assert "Broken.OnRequestKeyFrame" in logged[0].getMessage() and logged[0].exc_info[0] is ValueError
    wired.destroy()


def test_delegate_catch_errors_wrappers_hold_their_delegate_weakly():
    from lumora_kit import Delegate

    gc.disable()
    try:
        delegate = Delegate(catch_errors=True)
        gone = weakref.ref(delegate)
        del delegate
        assert gone() is None
    finally:
        gc.enable()


# ---- The test kit in async tests -------------------------------------------------------

async def test_join_peer_and_the_recorder_wait_on_the_loop(lumora_sdk, lumora_runner):
    from lumora_kit.testing import LoopbackRoom

    room_id = new_room_id()
    recorder_room = LoopbackRoom(lumora_sdk, room_id)
    watcher = recorder_room.join("watcher")
    assert (recorder_room.app_id, recorder_room.room_id) == (DEFAULT_APP_ID, room_id)
    try:
        async with join_peer("joiner", room_id) as joiner:
            assert (joiner.app_id, joiner.room_id) == (DEFAULT_APP_ID, room_id)
            calls = await watcher.recorder.wait_for_async("OnRemoteUserEnterRoom")
            assert str(calls[0][0].user_id) == "joiner"
            await joiner.wait_for_user("watcher")
        with pytest.raises(TimeoutError, match="OnRemoteUserEnterRoom"):
            await watcher.recorder.wait_for_async("OnRemoteUserEnterRoom", count=2, timeout=0.05)
    finally:
        recorder_room.leave()
