"""The Room's connection state, and its streams and sources across a reconnection.

The SDK reports its connection to the room service with
OnConnectionStateChanged, on one of its own threads; here the test kit's
control interface makes those calls on a new thread, as the SDK does around
an outage of the room service.
"""

import asyncio

import pytest

pytest.importorskip("_lumora")

import _lumora as lumora  # noqa: E402

from lumora_kit import Room, events  # noqa: E402

DISCONNECTED, CONNECTING, CONNECTED = (lumora.CONNECTION_STATE_DISCONNECTED, lumora.CONNECTION_STATE_CONNECTING,
                                       lumora.CONNECTION_STATE_CONNECTED)


async def test_the_room_follows_the_connection_and_its_streams_and_sources_carry_on(lumora_peer, lumora_journal):
    lumora_sdk = lumora_journal  # the control interface, journaling
    async with Room.join(lumora_peer.app_id, lumora_peer.room_id, "bot", "s") as bot:
        bot_cloud = lumora_sdk.last_cloud_id()
        assert bot.connection_state == CONNECTED  # what entering the room reported
        changes = bot.events(events.OnConnectionStateChanged)
        voice = await lumora_peer.publish_audio()
        await bot.wait_for_user("peer", audio=True)
        heard = bot.audio_stream("peer")
        await voice.capture(b"\x01\x00" * 960)
        assert (await asyncio.wait_for(heard.get(), 10)).data == b"\x01\x00" * 960

        lumora_sdk.clear_journal()
        for old, new in ((CONNECTED, DISCONNECTED), (DISCONNECTED, CONNECTING)):
            lumora_sdk.inject("connection_state_changed", bot_cloud, old, new, mode=lumora_sdk.NEW_THREAD)
        await bot.wait_for_connection_state(CONNECTING, timeout=10)
        assert bot.connection_state == CONNECTING and heard.end_reason is None  # the stream waits it out
        lumora_sdk.inject("connection_state_changed", bot_cloud, CONNECTING, CONNECTED, mode=lumora_sdk.NEW_THREAD)
        await bot.wait_for_connection_state(CONNECTED, timeout=10)

        # Changes are events too, in order; after the reconnection the Room
        # subscribed again to what it receives, without being asked.
        seen = [(await asyncio.wait_for(changes.get(), 10)).new_state for _ in range(3)]
        assert seen == [DISCONNECTED, CONNECTING, CONNECTED]
        assert [b"peer", int(lumora.STREAM_TYPE_AUDIO)] in lumora_sdk.calls("VELACloud::Subscribe")

        await voice.capture(b"\x02\x00" * 960)  # the source and the stream go on as they were
        assert (await asyncio.wait_for(heard.get(), 10)).data == b"\x02\x00" * 960
        assert voice.stats().send_errors == 0


async def test_waiting_for_a_connection_state_ends_with_the_room(lumora_peer):
    bot = await Room.join(lumora_peer.app_id, lumora_peer.room_id, "bot", "s")
    waiting = asyncio.create_task(bot.wait_for_connection_state(CONNECTING, timeout=10))
    await asyncio.sleep(0)
    await bot.leave()
    with pytest.raises(RuntimeError, match="left while waiting for connection state"):
        await waiting
