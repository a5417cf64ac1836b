"""lumora_kit.AsyncioDelegate: callbacks from the SDK's threads as events on a loop."""

import asyncio

import pytest

from kit_samples import ONE_OF_EACH, inject_each

pytest.importorskip("_lumora")

from lumora_kit import AsyncioDelegate, DropPolicy, events  # noqa: E402
from lumora_kit.event_queue import QueueStats  # noqa: E402
from lumora_kit.testing import WiredCloud  # noqa: E402


async def take(delegate, count, timeout=5):
    return [await asyncio.wait_for(delegate.events.get(), timeout) for _ in range(count)]


@pytest.mark.parametrize("mode", ["EVENT", "NEW_THREAD"])
def test_every_callback_becomes_its_typed_event(lumora, sdk, mode):
    async def main():
        wired = WiredCloud(sdk, AsyncioDelegate())
        names = list(ONE_OF_EACH)
        # Injected from a worker thread: the loop keeps running meanwhile.
        await asyncio.to_thread(inject_each, wired, names, getattr(sdk, mode))
        got = await take(wired.delegate, len(names))
        assert [type(e).__name__ for e in got] == names
        assert [e.callback for e in got] == names
        by_name = {e.callback: e for e in got}
        assert by_name["OnError"] == events.OnError(lumora.ERR_ENTER_ROOM_FAILED)
        assert by_name["OnRemoteAudioAvailable"] == events.OnRemoteAudioAvailable(None, True)
        match by_name["OnRemoteAudioReceived"]:
            case events.OnRemoteAudioReceived("bob", frame):
                assert (frame.pts, frame.data) == (20, b"\0pcm\0")
            case other:
                pytest.fail(f"unexpected {other}")
        assert by_name["OnSeiMessageReceived"] == events.OnSeiMessageReceived(
            "bob", lumora.STREAM_TYPE_VIDEO_HIGH, 5, b"s\0ei")
        assert by_name["OnReceiveCustomCmdMsg"] == events.OnReceiveCustomCmdMsg("bob", -1, 4294967295, b"c\0md")
        quality = by_name["OnNetworkQuality"]
        assert str(quality.local_quality.user_id) == "me"
        assert [r.user_id.GetValue() for r in quality.remote_qualities] == ["a", None]
        assert sdk.callback_errors(wired.id) == 0
        assert wired.delegate.events.stats() == QueueStats(22, 22, 0, 0)
        wired.destroy()

    asyncio.run(main())


def test_only_chosen_callbacks_are_queued(sdk):
    async def main():
        delegate = AsyncioDelegate(callbacks={"OnEnterRoom", "OnNetworkQuality"})
        wired = WiredCloud(sdk, delegate)
        inject_each(wired, ["OnExitRoom", "OnEnterRoom", "OnSeiMessageReceived", "OnNetworkQuality"], sdk.SYNC)
        assert [e.callback for e in await take(delegate, 2)] == ["OnEnterRoom", "OnNetworkQuality"]
        assert delegate.events.received == 2 and sdk.callback_errors(wired.id) == 0
        wired.destroy()

    asyncio.run(main())
    loop = asyncio.new_event_loop()
    try:
        with pytest.raises(ValueError, match="OnRemoteVideoReceived"):
            AsyncioDelegate(loop, callbacks=["OnRemoteVideoReceived"])
    finally:
        loop.close()


def test_a_stalled_consumer_costs_drops_not_sdk_time(sdk):
    """The event thread delivers everything while the loop is busy elsewhere."""

    async def main():
        delegate = AsyncioDelegate(maxsize=8, policy=DropPolicy.DROP_OLDEST)
        wired = WiredCloud(sdk, delegate)
        for i in range(100):
            wired.inject("remote_audio", "bob", 48000, 1, 16, 0, i, 1, bytes([i]) * 10)
        # The loop is blocked right here (no await), yet the SDK's event thread finishes.
        wired.wait_idle()
        assert delegate.events.stats() == QueueStats(received=100, delivered=0, dropped=92, pending=8)
        delegate.shutdown()
        pts = [e.frame.pts async for e in delegate]
        assert pts == list(range(92, 100))
        wired.destroy()

    asyncio.run(main())


def test_a_loopback_call_as_events(lumora, sdk):
    """Two participants, one of them consuming its callbacks on a loop."""
    from lumora_kit.testing import LoopbackRoom

    async def main():
        room = LoopbackRoom(sdk)
        listener = AsyncioDelegate()
        room.join("listener", listener)
        talker = room.join("talker")
        async for event in listener:
            if isinstance(event, events.OnRemoteUserEnterRoom):
                assert str(event.info.user_id) == "talker"
                break
        assert room["listener"].cloud.Subscribe("talker", lumora.STREAM_TYPE_AUDIO) == 0
        assert talker.cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams()) == 0
        frame = lumora.AudioFrame()
        payloads = [bytes([i]) * 960 for i in range(5)]
        for i, payload in enumerate(payloads):
            frame.pts = i * 20
            frame.SetData(payload)
            assert talker.cloud.SendAudioFrame(frame) == 0
        received = []
        async for event in listener:
            if isinstance(event, events.OnRemoteAudioReceived):
                received.append((event.user_id, event.frame.pts, event.frame.data))
                if len(received) == len(payloads):
                    break
        assert received == [("talker", i * 20, p) for i, p in enumerate(payloads)]
        room.leave()
        listener.shutdown()
        async for _ in listener:  # what the room sent while leaving, then the end
            pass
        stats = listener.events.stats()
        assert stats.dropped == 0 and stats.received == stats.delivered

    asyncio.run(main())
