"""MediaPlayer when its task is cancelled or its loop closes: every source closed, every thread ended."""

import asyncio
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from av_tools import make_file, require_tools


@pytest.fixture(scope="module")
def np():
    return require_tools()


def decoder_threads():
    return [t for t in threading.enumerate() if t.name.startswith("lumora_kit decoder")]


def files_open(path):
    """This process's descriptors open on `path`."""
    target = os.path.realpath(path)
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == target:
                found.append(fd)
        except OSError:
            pass  # closed meanwhile
    return found


def wait_for(condition, timeout=2.0):
    """Polls `condition` until it holds or `timeout` s have passed; returns its last value."""
    deadline = time.monotonic() + timeout
    while not (result := condition()) and time.monotonic() < deadline:
        time.sleep(0.02)
    return result


class LoopPaced(asyncio.SelectorEventLoop):
    """A loop with a clock of its own (as uvloop's is): sources pace on it with a sender task."""

    def time(self):
        return super().time()


async def cancel_at_every_point(source):
    """Plays `source` and cancels `play` at 40 points: while the file opens (in a worker thread), while
    the sources are published and while the pumps run. Checks after each that both channels and the
    file were closed and the decoder's thread ended."""
    from lumora_kit.av import MediaPlayer
    from lumora_kit.testing import join_peer
    async with join_peer("player") as room:
        delays = [("turns", k) for k in range(25)] + [("seconds", 0.02 * k) for k in range(15)]
        for how, amount in delays:
            player = MediaPlayer(source)
            playing = asyncio.create_task(player.play(room))
            if how == "turns":
                for _ in range(amount):
                    await asyncio.sleep(0)
            else:
                await asyncio.sleep(amount)
            playing.cancel()
            with pytest.raises(asyncio.CancelledError):
                await playing
            assert not player.playing and player.audio_source is None and player.video_source is None
            # Both channels were closed: the room takes new ones at once.
            for made in (await room.publish_audio(48000), await room.publish_video(160, 120)):
                await made.aclose()
            # The thread has ended and the file is closed, also after an open cut short by the
            # cancellation (the worker thread finishes it; its decoder must be closed then).
            assert wait_for(lambda: not decoder_threads() and not files_open(source)), (how, amount)


@pytest.mark.parametrize("loop_kind", ["default", "own clock"])
def test_play_cancelled_at_any_point_closes_its_sources_and_ends_its_thread(lumora_sdk, np, tmp_path, loop_kind):
    source = make_file(tmp_path / "in.mp4", 2, size="160x120", fps=15)
    factory = LoopPaced if loop_kind == "own clock" else None
    with asyncio.Runner(loop_factory=factory) as runner:
        runner.run(cancel_at_every_point(source))


PLAYERS_ON_CLOSED_LOOPS = """
    import asyncio, gc, sys, threading, time
    from lumora_kit import Room
    from lumora_kit.av import MediaPlayer
    from lumora_kit.testing import LoopbackRoom, load_control, new_room_id

    how, source = sys.argv[1:]
    observers = LoopbackRoom(load_control(), new_room_id())
    kept = []
    for round in range(3):
        loop = asyncio.new_event_loop()
        room = loop.run_until_complete(Room.join(observers.app_id, observers.room_id, f"bot{round}", "s"))
        playing = loop.create_task(MediaPlayer(source, loop=True).play(room))
        loop.run_until_complete(asyncio.sleep(0.5))
        if how == "kept":
            kept.append(playing)  # the program still holds the task of the closed loop
        loop.close()
        del room, playing
        gc.collect()
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline and any(t.name.startswith("lumora_kit decoder")
                                                  for t in threading.enumerate()):
            time.sleep(0.02)
        print(sum(t.name.startswith("lumora_kit decoder") for t in threading.enumerate()), flush=True)
    observers.leave()
"""


@pytest.mark.parametrize("how", ["kept", "dropped"])
def test_a_loop_closed_while_a_player_plays_ends_its_decoder_thread_within_two_seconds(lumora_sdk, np, tmp_path,
                                                                                        how):
    # The task of play() left pending on a closed loop, held by the program or dropped: nothing
    # will take the media any more, and nothing will cancel the task.
    source = make_file(tmp_path / "in.mp4", 1, size="320x240", fps=30)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(PLAYERS_ON_CLOSED_LOOPS), how, str(source)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["0", "0", "0"], done.stdout + done.stderr
