"""lumora_kit.EventQueue: bounded, filled from other threads, emptied on one loop."""

import asyncio
import threading

import pytest

from lumora_kit.event_queue import DropPolicy, EventQueue, QueueStats


def put_from_thread(queue, items):
    """Puts `items` from a new thread; returns put's results. Fails if a put blocks."""
    results = []
    thread = threading.Thread(target=lambda: results.extend(queue.put(i) for i in items))
    thread.start()
    thread.join(10)
    assert not thread.is_alive(), "put blocked"
    return results


async def drain(queue):
    queue.shutdown()
    return [item async for item in queue]


@pytest.mark.parametrize("policy, kept, results", [
    (DropPolicy.DROP_OLDEST, [7, 8, 9], [True] * 10),
    (DropPolicy.DROP_NEWEST, [0, 1, 2], [True] * 3 + [False] * 7),
])
def test_a_full_queue_applies_its_policy_and_counts(policy, kept, results):
    async def main():
        queue = EventQueue(asyncio.get_running_loop(), maxsize=3, policy=policy)
        assert put_from_thread(queue, range(10)) == results
        assert queue.stats() == QueueStats(received=10, delivered=0, dropped=7, pending=3)
        assert await drain(queue) == kept
        assert queue.stats() == QueueStats(received=10, delivered=3, dropped=7, pending=0)

    asyncio.run(main())


def test_puts_never_wait_for_a_loop_that_is_not_running():
    loop = asyncio.new_event_loop()
    try:
        queue = EventQueue(loop, maxsize=5)
        put_from_thread(queue, range(1000))
        # Only one wake-up is scheduled on the loop, however many items came.
        assert len(loop._ready) == 1
        assert loop.run_until_complete(drain(queue)) == [995, 996, 997, 998, 999]
    finally:
        loop.close()


def test_concurrent_producers_keep_order_and_the_counters_add_up():
    producers, per_producer = 4, 2000

    async def main():
        queue = EventQueue(asyncio.get_running_loop(), maxsize=64)
        got = []

        async def consume():
            async for item in queue:
                got.append(item)
                if len(got) % 50 == 0:
                    await asyncio.sleep(0)  # let the producers run ahead sometimes

        consumer = asyncio.create_task(consume())
        threads = [threading.Thread(target=lambda p=p: [queue.put((p, i)) for i in range(per_producer)])
                   for p in range(producers)]
        for t in threads:
            t.start()
        await asyncio.to_thread(lambda: [t.join() for t in threads])
        put_from_thread(queue, ["last"])
        queue.shutdown()
        await consumer
        stats = queue.stats()
        assert stats.received == producers * per_producer + 1
        assert stats.delivered == len(got) and stats.pending == 0
        assert stats.delivered + stats.dropped == stats.received
        assert got[-1] == "last"  # DROP_OLDEST keeps the newest
        for p in range(producers):
            seq = [i for q, i in got[:-1] if q == p]
            assert seq == sorted(seq)  # dropping never reorders what is kept

    asyncio.run(main())


def test_shutdown_drains_then_ends_and_drops_later_items():
    async def main():
        queue = EventQueue(asyncio.get_running_loop())
        put_from_thread(queue, [1, 2])
        queue.shutdown()
        assert put_from_thread(queue, [3]) == [False]
        assert [item async for item in queue] == [1, 2]
        with pytest.raises(asyncio.QueueShutDown):
            await queue.get()
        assert queue.stats() == QueueStats(received=3, delivered=2, dropped=1, pending=0)

    asyncio.run(main())


def test_immediate_shutdown_from_another_thread_wakes_a_waiting_consumer():
    async def main():
        queue = EventQueue(asyncio.get_running_loop())
        waiting = asyncio.create_task(anext(aiter(queue), "ended"))
        await asyncio.sleep(0.01)
        put_from_thread(queue, ["x"])
        assert await waiting == "x"
        put_from_thread(queue, ["y", "z"])
        ending = asyncio.create_task(anext(aiter(queue), "ended"))
        queue_empty_then_shut = threading.Thread(target=queue.shutdown, kwargs={"immediate": True})
        queue_empty_then_shut.start()
        queue_empty_then_shut.join()
        assert await asyncio.wait_for(ending, 5) == "ended"
        assert queue.stats() == QueueStats(received=3, delivered=1, dropped=2, pending=0)

    asyncio.run(main())


@pytest.mark.parametrize("before_close", [[], ["waiting"]])
def test_a_closed_loop_turns_items_into_drops(before_close):
    loop = asyncio.new_event_loop()
    queue = EventQueue(loop, maxsize=10)
    put_from_thread(queue, before_close)  # a wake-up is pending when the loop closes
    loop.close()
    assert put_from_thread(queue, [1, 2]) == [False, False]
    assert queue.is_shut_down
    received = len(before_close) + 2
    assert queue.stats() == QueueStats(received=received, delivered=0, dropped=received, pending=0)
    queue.shutdown()  # from a thread without a loop, on a closed loop: no error


def test_a_cancelled_get_loses_no_item():
    async def main():
        queue = EventQueue(asyncio.get_running_loop())
        getter = asyncio.create_task(queue.get())
        await asyncio.sleep(0)
        getter.cancel()
        with pytest.raises(asyncio.CancelledError):
            await getter
        put_from_thread(queue, ["kept"])
        assert await asyncio.wait_for(queue.get(), 5) == "kept"

    asyncio.run(main())


def test_get_belongs_to_the_queue_loop():
    other = asyncio.new_event_loop()
    try:
        queue = EventQueue(other)
        with pytest.raises(RuntimeError, match="loop the queue was made for"):
            asyncio.run(queue.get())
    finally:
        other.close()


class CountingLoop(asyncio.SelectorEventLoop):
    """A loop that counts the wake-ups other threads schedule on it."""

    wakeups = 0

    def call_soon_threadsafe(self, *args, **kwargs):
        self.wakeups += 1
        return super().call_soon_threadsafe(*args, **kwargs)


@pytest.mark.parametrize("window", [0.0, 0.002])
def test_deliveries_to_many_queues_share_one_pending_wake_up(window):
    loop = CountingLoop()
    try:
        queues = [EventQueue(loop, window=window) for _ in range(20)]

        async def take_two_each():
            return [await q.get() for q in queues for _ in range(2)]

        for round_ in range(3):
            before = loop.wakeups
            put_from_thread(queues[0], [round_])
            for queue in queues[1:]:
                put_from_thread(queue, [round_])
            for queue in queues:
                put_from_thread(queue, [round_])
            # The first delivery wakes the loop; the others find that wake-up
            # pending (or, with a window, the loop's timer armed) and join it.
            assert loop.wakeups - before <= 1
            assert loop.run_until_complete(asyncio.wait_for(take_two_each(), 10)) == [round_] * 40
    finally:
        loop.close()


def test_a_window_gathers_dense_deliveries_on_the_loops_timer_and_a_lone_one_wakes_at_once():
    async def main():
        loop = asyncio.get_running_loop()
        queues = [EventQueue(loop, window=0.05) for _ in range(2)]
        put_from_thread(queues[0], [1])
        put_from_thread(queues[1], [1])  # both before the loop runs: one wake-up finds two queues
        assert [await q.get() for q in queues] == [1, 1]
        woken = loop.wakeups
        put_from_thread(queues[0], [2])  # within the window: waits for the loop's timer
        assert loop.wakeups == woken
        assert await asyncio.wait_for(queues[0].get(), 10) == 2
        await asyncio.sleep(0.12)  # a window passes with nothing: back to waking at once
        put_from_thread(queues[1], [3])
        assert loop.wakeups == woken + 1
        assert await asyncio.wait_for(queues[1].get(), 10) == 3

    loop = CountingLoop()
    try:
        loop.run_until_complete(main())
    finally:
        loop.close()


def test_a_window_outside_its_range_is_refused():
    loop = asyncio.new_event_loop()
    try:
        with pytest.raises(ValueError, match="window"):
            EventQueue(loop, window=-0.001)
    finally:
        loop.close()


def test_a_loop_with_queues_is_freed_once_closed_and_dropped():
    import gc
    import weakref

    loop = asyncio.new_event_loop()
    queue = EventQueue(loop, window=0.002)
    put_from_thread(queue, [1])
    loop.run_until_complete(queue.get())
    gone = weakref.ref(loop)
    loop.close()
    del loop, queue
    gc.collect()
    assert gone() is None  # the registry of wakers keeps no loop alive
