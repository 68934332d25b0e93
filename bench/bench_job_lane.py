"""JobLane against a plain-Python lane and against bare tasks.

10,000 trivial coroutines go through a lane of 8, once independent and once as
100 chains of 100 (each task after the previous one of its chain). A trivial
task is over before its dependant's first step, so that no dependant waits;
the chains run once more with coroutines that yield to the loop once, so that
every dependant waits for its predecessor. The plain lane
awaits the predecessor directly (cancelling a waiting dependant cancels the
predecessor too); the chains are also timed against a plain lane with the
same behaviour as JobLane (the wait goes through asyncio.shield). The floor
is the same coroutines run as bare `asyncio.create_task` tasks and waited for
with `asyncio.wait` (the lane's wait_all does the same). Times are per task.
One more reference: the bare tasks with one no-op completion callback each,
the least that any lane pays for untracking its tasks from a callback.
"""
import asyncio

from _timing import per_call, report

from sorvel_layer._internal.job_lane import JobLane

TASKS = 10_000
LIMIT = 8
CHAIN = 100


class PlainLane:
    """The same lane written with async def and asyncio.Semaphore."""

    def __init__(self, max_concurrency=2):
        self._semaphore = asyncio.Semaphore(max_concurrency)
        self._tasks = {}
        self._max_concurrency = max_concurrency

    def submit(self, name, coro, *, after=None):
        if name in self._tasks:
            coro.close()
            raise ValueError(f"Task {name!r} already submitted")
        if after is not None and after not in self._tasks:
            coro.close()
            raise ValueError(f"Predecessor task {after!r} not found")
        pred = self._tasks[after] if after else None
        task = asyncio.create_task(self._wrapper(coro, pred, after), name=name)
        self._tasks[name] = task
        task.add_done_callback(lambda t, coro=coro: self._on_done(t, coro))
        return task

    async def _wrapper(self, coro, pred, after):
        if pred is not None:
            try:
                await pred
            except (Exception, asyncio.CancelledError) as e:
                raise asyncio.CancelledError(f"Predecessor {after!r} failed") from e
        async with self._semaphore:
            return await coro

    def _on_done(self, task, coro):
        self._tasks.pop(task.get_name(), None)
        coro.close()

    @property
    def active_count(self):
        return len(self._tasks)

    async def wait_all(self, timeout=None):
        if self._tasks:
            await asyncio.wait(list(self._tasks.values()), timeout=timeout)


class ShieldedPlainLane(PlainLane):
    """The plain lane with JobLane's behaviour: cancelling a dependant that
    waits leaves its predecessor running (the wait goes through a shield)."""

    async def _wrapper(self, coro, pred, after):
        if pred is not None:
            try:
                await asyncio.shield(pred)
            except (Exception, asyncio.CancelledError) as e:
                raise asyncio.CancelledError(f"Predecessor {after!r} failed") from e
        async with self._semaphore:
            return await coro


async def trivial(i):
    return i


async def yielding(i):
    await asyncio.sleep(0)
    return i


def names():
    return [f"job-{i}" for i in range(TASKS)]


NAMES = names()


def independent(lane_type):
    async def batch():
        lane = lane_type(LIMIT)
        for name in NAMES:
            lane.submit(name, trivial(0))
        await lane.wait_all()
    return batch


def chained(lane_type, unit=trivial):
    async def batch():
        lane = lane_type(LIMIT)
        for c in range(TASKS // CHAIN):
            prev = None
            for k in range(CHAIN):
                name = NAMES[c * CHAIN + k]
                lane.submit(name, unit(0), after=prev)
                prev = name
        await lane.wait_all()
    return batch


async def bare():
    tasks = [asyncio.create_task(trivial(0), name=name) for name in NAMES]
    await asyncio.wait(tasks)


async def bare_with_callback():
    tasks = [asyncio.create_task(trivial(0), name=name) for name in NAMES]
    for task in tasks:
        task.add_done_callback(id)
    await asyncio.wait(tasks)


def timed_all(loop, batches, rounds=15):
    """Best time per task of each batch; the batches take turns, so that a
    burst of load on the machine does not fall on one of them only."""
    best = {name: float("inf") for name in batches}
    for _ in range(rounds):
        for name, batch in batches.items():
            t = per_call(lambda: loop.run_until_complete(batch()), number=1, repeat=1)
            best[name] = min(best[name], t / TASKS)
    return best


def main():
    loop = asyncio.new_event_loop()
    try:
        t = timed_all(loop, {
            "bare": bare,
            "bare+callback": bare_with_callback,
            "lane": independent(JobLane),
            "plain": independent(PlainLane),
            "lane chains": chained(JobLane),
            "plain chains": chained(PlainLane),
            "shielded chains": chained(ShieldedPlainLane),
            "lane waiting": chained(JobLane, yielding),
            "plain waiting": chained(PlainLane, yielding),
            "shielded waiting": chained(ShieldedPlainLane, yielding),
        })
        floor = t["bare"]
        print(f"per task, {TASKS} tasks, lane of {LIMIT}; floor = bare create_task + asyncio.wait")
        report("bare tasks (floor)", floor)
        report("bare tasks, one completion callback each", t["bare+callback"], None, floor)
        report("JobLane, independent tasks", t["lane"], t["plain"], floor)
        report("plain-Python lane, independent tasks", t["plain"], None, floor)
        report(f"JobLane, chains of {CHAIN}", t["lane chains"], t["plain chains"], floor)
        report(f"plain-Python lane, chains of {CHAIN}", t["plain chains"], None, floor)
        print("chains against a plain lane that also leaves the predecessor running:")
        report(f"JobLane, chains of {CHAIN}", t["lane chains"], t["shielded chains"], floor)
        report(f"shielded plain-Python lane, chains of {CHAIN}", t["shielded chains"], None, floor)
        print("chains whose tasks yield once, so that every dependant waits:")
        report(f"JobLane, waiting chains of {CHAIN}", t["lane waiting"], t["plain waiting"], floor)
        report(f"plain-Python lane, waiting chains of {CHAIN}", t["plain waiting"], None, floor)
        report(f"JobLane, waiting chains of {CHAIN}", t["lane waiting"], t["shielded waiting"], floor)
        report(f"shielded plain lane, waiting chains of {CHAIN}", t["shielded waiting"], None, floor)
    finally:
        loop.close()


if __name__ == "__main__":
    main()
