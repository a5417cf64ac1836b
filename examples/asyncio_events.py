"""Delegate callbacks as events on an asyncio event loop (lumora_kit.AsyncioDelegate).

Run it: python examples/asyncio_events.py [--maxsize 64] [--slow-consumer]

A talker sends one second of audio into a loopback room; a listener's
callbacks arrive on the SDK's threads and are queued for the event loop,
where one coroutine takes them with `async for` and `match`. The queue is
bounded (--maxsize); when the consumer falls behind, the oldest events are
dropped and counted. The summary prints the queue's counters.
"""

import argparse
import asyncio
import sys

import _lumora as lumora

from lumora_kit import AsyncioDelegate, Delegate, DropPolicy, events

ROOM = 8003
FRAMES = 50  # 20 ms each


def enter(cloud: lumora.VELACloud, user: str) -> None:
    params = lumora.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.user_id = lumora.VelaString(user)
    params.room.user_sig = lumora.VelaString("signature-of-" + user)
    params.room.room_id = ROOM
    if cloud.EnterRoom(params) != lumora.ERR_OK:
        raise RuntimeError(f"{user} could not enter the room")


async def send_audio(cloud: lumora.VELACloud) -> None:
    frame = lumora.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    for index in range(FRAMES):
        frame.pts = index * 20
        frame.SetData(index.to_bytes(2, "little") * 960)
        cloud.SendAudioFrame(frame)
        await asyncio.sleep(0.02)


class Listener:
    """Takes the listener's events on the loop until the stream ends."""

    def __init__(self, delegate: AsyncioDelegate, slow: bool) -> None:
        self.delegate = delegate
        self.slow = slow
        self.talker_seen = asyncio.Event()
        self.frames = 0

    async def consume(self) -> None:
        async for event in self.delegate:
            match event:
                case events.OnEnterRoom():
                    print("listener in the room")
                case events.OnRemoteUserEnterRoom(info):
                    print(f"{info.user_id} came in")
                    self.talker_seen.set()
                case events.OnRemoteAudioReceived(user_id, frame):
                    self.frames += 1
                    if self.slow:
                        await asyncio.sleep(0.05)  # slower than the talker: the queue fills up
                case events.OnExitRoom():
                    print("listener left the room")
                case _:
                    pass


async def main(maxsize: int, slow_consumer: bool) -> int:
    delegate = AsyncioDelegate(maxsize=maxsize, policy=DropPolicy.DROP_OLDEST)
    listener = Listener(delegate, slow_consumer)
    consumer = asyncio.create_task(listener.consume())
    listener_cloud, talker_cloud = lumora.VELACloud(delegate), lumora.VELACloud(Delegate())
    enter(listener_cloud, "listener")
    enter(talker_cloud, "talker")
    await asyncio.wait_for(listener.talker_seen.wait(), 5)

    listener_cloud.Subscribe("talker", lumora.STREAM_TYPE_AUDIO)
    talker_cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams())
    await send_audio(talker_cloud)
    await asyncio.sleep(0.2)  # the last frames are still on their way

    # Stopping: leave, destroy the clouds (no callback can come after that),
    # then end the stream; the consumer takes what is queued and returns.
    for cloud in (talker_cloud, listener_cloud):
        cloud.ExitRoom()
    del talker_cloud, listener_cloud
    delegate.shutdown()
    await consumer

    stats = delegate.events.stats()
    print(f"audio frames received {listener.frames} of {FRAMES}; queue: received {stats.received}, "
          f"delivered {stats.delivered}, dropped {stats.dropped}")
    # Every frame was either taken or dropped by the bounded queue.
    return 0 if listener.frames + stats.dropped >= FRAMES else 1


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--maxsize", type=int, default=64)
    parser.add_argument("--slow-consumer", action="store_true")
    args = parser.parse_args()
    sys.exit(asyncio.run(main(args.maxsize, args.slow_consumer)))
