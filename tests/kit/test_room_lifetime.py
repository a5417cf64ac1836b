"""What happens to streams and Rooms that their program drops instead of closing or leaving.

A dropped stream closes through its finaliser, which the garbage collector
runs wherever it happens to run: on an SDK thread, or on the loop's thread
in the middle of the Room's own bookkeeping. A Room dropped without leaving,
on an open loop or after its loop was closed, must still go, leave the room
and say so with a ResourceWarning.
"""

import asyncio
import gc
import subprocess
import sys
import textwrap
import threading

import pytest

pytest.importorskip("_lumora")

from lumora_kit import Room  # noqa: E402
from lumora_kit.testing import wait_until_async  # noqa: E402


def run_program(source, timeout=120):
    """Runs `source` in a fresh interpreter (a deadlock ends there, with the stacks printed)."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


DROPPED_STREAMS_IN_CYCLES = """
    import asyncio, faulthandler, gc
    from lumora_kit import Room
    from lumora_kit.testing import join_peer
    faulthandler.dump_traceback_later(60, exit=True)

    async def main():
        async with join_peer("talker") as talker, Room.join(talker.app_id, talker.room_id, "bot", "s",
                                                                               auto_subscribe=False) as bot:
            await bot.wait_for_user("talker")
            source = await talker.publish_audio(frame_ms=10, queue_ms=2000)

            async def talk():  # frames keep the SDK's threads busy (and collecting) meanwhile
                while True:
                    await source.capture(bytes(960 * 50))

            talking = asyncio.create_task(talk())
            gc.set_threshold(5, 1, 1)
            try:
                for i in range(3000):
                    stream = bot.audio_stream("talker", maxsize=4)
                    stream.cycle = stream  # only the cycle collector frees it
                    del stream
                    if i % 100 == 0:
                        await asyncio.sleep(0)
            finally:
                gc.set_threshold(700, 10, 10)
            talking.cancel()
            gc.collect()
            await asyncio.sleep(0.05)
            print(dict(bot._subscriptions.counts), len(bot._core.routes.audio.get("talker", ())))

    asyncio.run(main())
"""


def test_streams_dropped_in_cycles_under_frequent_collections_close_without_deadlock(lumora_sdk):
    assert run_program(DROPPED_STREAMS_IN_CYCLES).split() == ["{}", "0"]


async def test_a_stream_dropped_on_another_thread_closes_on_the_loop(lumora_peer, lumora_journal):
    async with Room.join(lumora_peer.app_id, lumora_peer.room_id, "bot", "s", auto_subscribe=False) as bot:
        await bot.wait_for_user("peer")
        kept = bot.audio_stream("peer")
        handed = [bot.audio_stream("peer")]
        lumora_journal.clear_journal()
        dropper = threading.Thread(target=handed.clear)  # the last reference goes on that thread
        dropper.start()
        dropper.join()
        # The finaliser changed nothing off the loop: the count is the loop's to change.
        assert bot._subscriptions.counts[("peer", 1)] == 2
        await asyncio.sleep(0)
        assert bot._subscriptions.counts[("peer", 1)] == 1 and lumora_journal.calls("VELACloud::Unsubscribe") == []
        await kept.aclose()
        assert lumora_journal.calls("VELACloud::Unsubscribe") == [[b"peer", 1]]


ROOMS_ON_CLOSED_LOOPS = """
    import asyncio, gc, sys, warnings
    from lumora_kit import Room
    from lumora_kit.testing import LoopbackRoom, load_control, new_room_id
    warnings.simplefilter("always", ResourceWarning)

    control = load_control()
    observers = LoopbackRoom(control, new_room_id())
    watcher = observers.join("watcher")
    clouds = control.live_clouds()

    class WithoutReaders(asyncio.SelectorEventLoop):  # like a loop that cannot watch file descriptors
        def add_reader(self, *args):
            raise NotImplementedError

    for round in range(5):
        loop = WithoutReaders() if sys.argv[1:] == ["without-readers"] else asyncio.new_event_loop()

        async def enter():
            room = await Room.join(observers.app_id, observers.room_id, f"bot{round}", "s")
            events = room.events()  # a consumer's stream, left open too
            room.audio_stream("watcher")
            return room, events

        room, events = loop.run_until_complete(enter())
        loop.call_soon(loop.stop)
        loop.run_forever()  # stopped and closed with the Room in the room
        loop.close()
        del room, events
        gc.collect()
        left = watcher.recorder.wait_for("OnRemoteUserExitRoom", count=round + 1, timeout=30)
        print(left[-1][0].user_id.GetValue(), control.live_clouds() - clouds)
    observers.leave()
"""


@pytest.mark.parametrize("loop_kind", ["default", "without-readers"])
def test_a_room_whose_loop_was_closed_without_leaving_is_freed_and_leaves(lumora_sdk, loop_kind):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(ROOMS_ON_CLOSED_LOOPS), loop_kind],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:-1] == [f"bot{i} 0" for i in range(5)], done.stdout + done.stderr
    assert "Task was destroyed" not in done.stderr  # nothing about pending tasks of the kit's own
    assert done.stderr.count("ResourceWarning: Room 'bot") == 5, done.stderr


async def test_a_joined_room_that_only_its_own_task_refers_to_stays_in_the_room(lumora_peer):
    inside, seen = asyncio.Event(), asyncio.Event()

    async def bot():  # the Room is referenced by this task only, and the task by nothing
        async with Room.join(lumora_peer.app_id, lumora_peer.room_id, "bot", "s") as room:
            inside.set()
            await room.wait_for_user("late", timeout=30)
            seen.set()

    asyncio.get_running_loop().call_soon(lambda: asyncio.ensure_future(bot()))
    await inside.wait()
    await lumora_peer.wait_for_user("bot")
    for _ in range(3):
        gc.collect()
    async with Room.join(lumora_peer.app_id, lumora_peer.room_id, "late", "s"):
        async with asyncio.timeout(5):
            await seen.wait()  # the bot was still there to see the late user


@pytest.mark.parametrize("shape", ["unreachable", "in-a-cycle"])
async def test_a_joined_room_the_program_dropped_leaves_the_room_and_warns(lumora_peer, shape):
    for round in range(3):
        room = await Room.join(lumora_peer.app_id, lumora_peer.room_id, f"dropped{round}", "s")
        await lumora_peer.wait_for_user(f"dropped{round}")
        stream = room.audio_stream("peer")  # the program keeps a stream, not its Room
        events = room.events()
        if shape == "in-a-cycle":
            room.itself = room
        with pytest.warns(ResourceWarning, match=f"Room 'dropped{round}' .* was never left"):
            del room
            gc.collect()
            async with asyncio.timeout(10):
                assert [frame async for frame in stream] == []  # ends: the Room left
            await wait_until_async(lambda: f"dropped{round}" not in lumora_peer.remote_users, 10)
        assert stream.end_reason == events.end_reason == "room left"


DROPPED_ROOMS_UNDER_FREQUENT_COLLECTIONS = """
    import asyncio, faulthandler, gc, threading, warnings
    from lumora_kit import Room
    from lumora_kit.testing import join_peer
    faulthandler.dump_traceback_later(90, exit=True)
    warnings.simplefilter("ignore", ResourceWarning)
    on_sdk_threads = []

    def collecting(put, held):
        def collect_then_put(frame):  # inside the Room's own frame callback, on its SDK thread
            if held:
                held.clear()  # the last reference but its own cycle's
                on_sdk_threads.append(threading.current_thread() is not threading.main_thread())
                gc.collect()
            put(frame)
        return collect_then_put

    async def main():
        async with join_peer("talker") as talker:
            source = await talker.publish_audio(frame_ms=10, queue_ms=2000)

            async def talk():  # the dropped Rooms' SDK threads deliver (and collect) meanwhile
                while True:
                    await source.capture(bytes(960 * 50))

            talking = asyncio.create_task(talk())
            gc.set_threshold(5, 1, 1)
            try:
                for i in range(20):
                    room = await Room.join(talker.app_id, talker.room_id, f"ghost{i}", "s")
                    room.itself = room  # only the cycle collector frees it
                    stream = room.audio_stream("talker")
                    stream.room = room
                    if i % 4 == 0:  # dropped on its SDK thread instead
                        routes = room._core.routes
                        routes.audio_put["talker"] = collecting(routes.audio_put["talker"], [room, stream])
                        del routes
                    del room, stream
                    await asyncio.sleep(0.01)
                ghosts = lambda: [u for u in talker.remote_users if u.startswith("ghost")]
                async with asyncio.timeout(60):
                    while ghosts():
                        gc.collect()
                        await asyncio.sleep(0.05)
            finally:
                gc.set_threshold(700, 10, 10)
            talking.cancel()
            print(len(ghosts()), on_sdk_threads.count(True))

    asyncio.run(main())
"""


def test_rooms_dropped_in_cycles_under_frequent_collections_all_leave_without_deadlock(lumora_sdk):
    assert run_program(DROPPED_ROOMS_UNDER_FREQUENT_COLLECTIONS).split() == ["0", "5"]


ROOMS_FREED_IN_THEIR_OWN_CALLBACK_AFTER_THEIR_LOOP_CLOSED = """
    import asyncio, faulthandler, gc, threading, warnings, weakref
    import _lumora
    from lumora_kit import Room, check
    from lumora_kit.testing import LoopbackRoom, load_control, new_room_id
    faulthandler.dump_traceback_later(60, exit=True)
    warnings.simplefilter("always", ResourceWarning)
    gc.disable()  # only the collections below: the main thread's must not free the Rooms

    control = load_control()
    observers = LoopbackRoom(control, new_room_id())
    talker = observers.join("talker")
    check(talker.cloud.CreateLocalAudioChannel(_lumora.AudioEncodeParams()), "CreateLocalAudioChannel")
    frame = _lumora.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    frame.SetData(bytes(1920))
    on_sdk_threads = []

    def freed():
        on_sdk_threads.append(threading.current_thread() is not threading.main_thread())

    def collecting(put, held):
        room = weakref.ref(held[0])
        weakref.finalize(held[0], freed)

        def collect_then_put(frame):  # inside the Room's own frame callback, on its SDK thread
            if room() is not None:
                held.clear()  # the last reference but its own cycle's
                gc.collect()
            put(frame)
        return collect_then_put

    for round in range(3):
        loop = asyncio.new_event_loop()

        async def enter():
            room = await Room.join(observers.app_id, observers.room_id, f"bot{round}", "s")
            room.itself = room
            stream = room.audio_stream("talker")
            routes = room._core.routes
            routes.audio_put["talker"] = collecting(routes.audio_put["talker"], [room, stream])

        loop.run_until_complete(enter())
        loop.close()
        gc.collect()  # only the SDK's side holds the Room now, through its callback
        for attempt in range(100):  # frames until one of them freed the Room
            check(talker.cloud.SendAudioFrame(frame), "SendAudioFrame")
            try:
                left = talker.recorder.wait_for("OnRemoteUserExitRoom", count=round + 1, timeout=0.2)
            except TimeoutError:
                continue
            if len(on_sdk_threads) > round:
                break
        print(left[-1][0].user_id.GetValue())
    print(on_sdk_threads)
    observers.leave()
"""


def test_a_room_freed_in_its_own_callback_after_its_loop_closed_leaves_without_deadlock(lumora_sdk):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(ROOMS_FREED_IN_THEIR_OWN_CALLBACK_AFTER_THEIR_LOOP_CLOSED)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.split("\n")[:-1] == ["bot0", "bot1", "bot2", "[True, True, True]"], done.stdout + done.stderr
    assert done.stderr.count("ResourceWarning: Room 'bot") == 3, done.stderr
