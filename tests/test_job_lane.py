import asyncio
import collections.abc
import contextvars
import gc
import inspect
import logging
import random
import sys
import warnings
import weakref

import pytest

from conftest import load, run_in_threads

jl = load("job_lane")
JobLane = jl.JobLane


def run(fn):
    return asyncio.run(fn())


def on_loop(kind, main):
    """Runs main() on asyncio's loop, on it with the eager task factory, or on uvloop."""
    if kind == "uvloop":
        uvloop = pytest.importorskip("uvloop", reason="uvloop is not installed")
        loop = uvloop.new_event_loop()
    else:
        if kind == "eager" and sys.version_info < (3, 12):
            pytest.skip("eager tasks need 3.12")
        loop = asyncio.new_event_loop()
        if kind == "eager":
            loop.set_task_factory(asyncio.eager_task_factory)
    try:
        return loop.run_until_complete(main())
    finally:
        loop.close()


LOOPS = ["asyncio", "eager", "uvloop"]


async def settle(turns=12):
    """Lets the loop run a fixed number of turns (no wall-clock waiting)."""
    for _ in range(turns):
        await asyncio.sleep(0)


def closed(coro):
    return inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED


def handed_over(exc):
    """A task's own CancelledError as its first retrieval gives it. Python
    3.10's asyncio hands over a bare CancelledError chained to it instead."""
    if sys.version_info < (3, 11) and not exc.args and isinstance(exc.__context__, asyncio.CancelledError):
        return exc.__context__
    return exc


def cancellation_of(task):
    """The CancelledError that the first retrieval of a cancelled task gives."""
    assert task.cancelled()
    with pytest.raises(asyncio.CancelledError) as info:
        task.result()
    return handed_over(info.value)


async def startable(lane, probes):
    """How many of `probes` new tasks the lane starts at once right now (the
    free units, seen from outside); the probes are then let go and removed."""
    gate = asyncio.get_running_loop().create_future()
    started = []

    async def probe(i):
        started.append(i)
        await gate

    tasks = [lane.submit(f"probe {i}", probe(i)) for i in range(probes)]
    await settle()
    count = len(started)
    gate.set_result(None)
    await asyncio.gather(*tasks)
    await settle()
    return count


class Recorded(asyncio.Task):
    """A task that keeps the done callbacks registered on it and not taken back."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.live = []

    def add_done_callback(self, fn, *, context=None):
        self.live.append(fn)
        super().add_done_callback(fn, context=context)

    def remove_done_callback(self, fn):
        self.live = [f for f in self.live if f != fn]
        return super().remove_done_callback(fn)


def recorded(loop, coro, **kwargs):
    return Recorded(coro, loop=loop, **kwargs)


class Work:
    """Submitted units: each records its start and ends when its gate resolves."""

    def __init__(self):
        self.log = []
        self.gates = {}
        self.coros = {}

    def __call__(self, name):
        gate = asyncio.get_running_loop().create_future()
        self.gates[name] = gate

        async def unit():
            self.log.append(name)
            return await gate

        coro = self.coros[name] = unit()
        return coro

    def started(self, name):
        return name in self.log

    def finish(self, name, value=None):
        self.gates[name].set_result(value)

    def fail(self, name, exc):
        self.gates[name].set_exception(exc)


# --- construction -----------------------------------------------------------------


def test_module_surface():
    assert jl.__all__ == ["JobLane"]
    assert jl.logger.name == "sorvel_layer._internal.job_lane"
    lane = JobLane()
    assert lane._max_concurrency == 2
    assert type(lane._semaphore) is asyncio.Semaphore and lane._semaphore.locked() is False
    assert type(lane._tasks) is dict and lane._tasks == {}
    assert lane.active_count == 0
    assert JobLane(max_concurrency=7)._max_concurrency == 7
    assert gc.is_tracked(lane)

    async def main():
        assert await startable(JobLane(max_concurrency=7), 9) == 7
        one = JobLane(1)
        one.submit("busy", asyncio.sleep(1))
        await asyncio.sleep(0)
        assert one._semaphore.locked()
        one.cancel_all()
        await settle()
        assert not one._semaphore.locked()

    run(main)


@pytest.mark.parametrize("value, error, text", [
    (0, ValueError, "at least 1"),
    (-1, ValueError, "Semaphore initial value must be >= 0"),
    (-(2 ** 70), ValueError, ">= 0"),
    ("2", TypeError, "max_concurrency"),
    (2.0, TypeError, "max_concurrency"),
    (True, TypeError, "max_concurrency"),
    (None, TypeError, "max_concurrency"),
])
def test_bad_limits_are_refused(value, error, text):
    with pytest.raises(error, match=text):
        JobLane(value)


def test_huge_limit_is_accepted():
    async def main():
        lane = JobLane(2 ** 70)
        assert await lane.submit("a", asyncio.sleep(0, "done")) == "done"
        assert await startable(lane, 50) == 50 and lane._max_concurrency == 2 ** 70

    run(main)


# --- running and the limit ---------------------------------------------------------


def test_default_limit_runs_two_and_starts_the_third_when_one_ends():
    async def main():
        work, lane = Work(), JobLane()
        tasks = [lane.submit(n, work(n)) for n in "abc"]
        assert work.log == []  # nothing runs inside submit
        await settle()
        assert work.log == ["a", "b"]
        work.finish("b", 2)
        await settle()
        assert work.log == ["a", "b", "c"]
        work.finish("a", 1)
        work.finish("c", 3)
        assert await asyncio.gather(*tasks) == [1, 2, 3]
        assert await startable(lane, 3) == 2
        assert [t.get_name() for t in tasks] == ["a", "b", "c"]

    run(main)


def test_units_are_granted_first_come_first_served():
    async def main():
        work, lane = Work(), JobLane(1)
        names = [f"t{i}" for i in range(6)]
        tasks = [lane.submit(n, work(n)) for n in names]
        for i, n in enumerate(names):
            await settle()
            assert work.log == names[: i + 1]
            work.finish(n, i)
        assert await asyncio.gather(*tasks) == list(range(6))

    run(main)


def test_active_count_counts_finished_tasks_until_their_callback_runs():
    async def done():
        return "ok"

    async def main():
        lane = JobLane()
        task = lane.submit("a", done())
        assert lane.active_count == 1 and list(lane._tasks) == ["a"]
        assert lane._tasks["a"] is task
        await asyncio.sleep(0)  # the task ran in this turn; its callback runs in the next
        assert task.done() and lane.active_count == 1
        await asyncio.sleep(0)
        assert lane.active_count == 0
        assert task.result() == "ok"

    run(main)


def test_values_errors_and_cancellations_pass_through_the_body():
    class Boom(Exception):
        pass

    async def main():
        lane = JobLane()
        loop = asyncio.get_running_loop()
        seen = []

        async def echo():
            fut = loop.create_future()
            loop.call_soon(fut.set_result, ("a", 1))
            return await fut, ValueError("returned, not raised")

        async def raises():
            await asyncio.sleep(0)
            raise Boom("x")

        async def absorbs(gate):
            try:
                await gate
            except asyncio.CancelledError as e:
                seen.append(handed_over(e).args)
                return "cleaned up", None  # a tuple: it must come back whole

        value, exc = await lane.submit("echo", echo())
        assert value == ("a", 1) and isinstance(exc, ValueError)
        with pytest.raises(Boom, match="x"):
            await lane.submit("raises", raises())
        gate = loop.create_future()
        task = lane.submit("absorbs", absorbs(gate))
        await settle()
        task.cancel("why")
        assert await task == ("cleaned up", None)
        assert seen == [("why",)]
        assert await startable(lane, 3) == 2
        assert isinstance(task.get_coro(), collections.abc.Coroutine)
        assert asyncio.iscoroutine(task.get_coro())

    run(main)


# --- names and predecessors ---------------------------------------------------------


@pytest.mark.parametrize("name, quoted", [
    ("nightly", "'nightly'"),
    ("it's", '"it\'s"'),
    ("say \"hi\"", "'say \"hi\"'"),
    ("both ' and \"", "'both \\' and \"'"),
    ("tab\tnl\ncr\r\\", "'tab\\tnl\\ncr\\r\\\\'"),
    ("", "''"),
    ("\x00\u0085\ud800", "'\\x00\\x85\\ud800'"),
])
def test_duplicate_and_missing_names_are_quoted(name, quoted):
    async def main():
        work, lane = Work(), JobLane()
        first = lane.submit(name, work("first"))
        second = work("second")
        with pytest.raises(ValueError) as info:
            lane.submit(name, second, after="absent")  # the duplicate test comes first
        assert str(info.value) == f"Task {quoted} already submitted"
        third = work("third")
        with pytest.raises(ValueError) as info:
            lane.submit("other", third, after=name + "?" if name else "?")
        assert closed(second) and closed(third)
        del lane._tasks[name]
        fourth = work("fourth")
        with pytest.raises(ValueError) as info:
            lane.submit("other", fourth, after=name)
        assert str(info.value) == f"Predecessor task {quoted} not found"
        assert closed(fourth) and lane.active_count == 0
        first.cancel()
        await settle()

    run(main)


def test_duplicate_name_until_removed_then_accepted_again():
    async def quick():
        return 1

    async def main():
        lane = JobLane()
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # a refused coroutine must not linger
            lane.submit("n", quick())
            await asyncio.sleep(0)
            assert lane._tasks["n"].done()
            refused = quick()
            with pytest.raises(ValueError, match="^Task 'n' already submitted$"):
                lane.submit("n", refused)
            assert closed(refused)
            await asyncio.sleep(0)
            assert lane.active_count == 0
            again = lane.submit("n", quick())
            assert await again == 1
            del refused
            gc.collect()

    run(main)


def test_after_a_removed_task_is_not_found():
    async def quick():
        return 1

    async def main():
        lane = JobLane()
        await lane.submit("a", quick())
        await asyncio.sleep(0)
        with pytest.raises(ValueError, match="^Predecessor task 'a' not found$"):
            lane.submit("b", quick(), after="a")
        assert lane.active_count == 0

    run(main)


def test_empty_after_must_be_tracked_but_is_not_waited_for():
    async def main():
        work, lane = Work(), JobLane()
        with pytest.raises(ValueError, match="^Predecessor task '' not found$"):
            lane.submit("b", work("b0"), after="")
        lane.submit("", work(""))
        b = lane.submit("b", work("b"), after="")
        await settle()
        assert work.log == ["", "b"]
        work.finish("b", "own")
        assert await b == "own"
        work.finish("")
        await lane.wait_all()

    run(main)


def test_dependant_starts_after_its_predecessor_and_keeps_its_own_result():
    async def main():
        work, lane = Work(), JobLane(4)
        a = lane.submit("a", work("a"))
        b = lane.submit("b", work("b"), after="a")
        c = lane.submit("c", work("c"))
        await settle()
        assert work.log == ["a", "c"]
        assert await startable(lane, 3) == 2  # the waiting dependant holds no unit
        work.finish("a", "from a")
        await settle()
        assert work.log == ["a", "c", "b"]
        work.finish("b", "from b")
        work.finish("c")
        assert await b == "from b" and await a == "from a"

    run(main)


@pytest.mark.parametrize("kind", LOOPS)
@pytest.mark.parametrize("end", ["fails", "is cancelled"])
def test_failure_cascades_along_a_chain_without_running_dependants(end, kind):
    class Broken(Exception):
        pass

    async def main():
        work, lane = Work(), JobLane()
        a = lane.submit("a", work("a"))
        b = lane.submit("b", work("b"), after="a")
        c = lane.submit("c", work("c"), after="b")
        await settle()
        if end == "fails":
            work.fail("a", Broken("disk"))
        else:
            a.cancel("stop a")
        await lane.wait_all()
        assert work.log == ["a"]
        assert closed(work.coros["b"]) and closed(work.coros["c"])
        assert lane.active_count == 0
        # Each dependant's cause is what awaiting its predecessor raised: the
        # first retrieval of the predecessor's outcome, as `await` takes it.
        ec = cancellation_of(c)
        assert ec.args == ("Predecessor 'b' failed",)
        eb = handed_over(ec.__cause__)
        assert eb.args == ("Predecessor 'a' failed",)
        if end == "fails":
            assert isinstance(a.exception(), Broken) and eb.__cause__ is a.exception()
        else:
            assert handed_over(eb.__cause__).args == ("stop a",)
            if sys.version_info >= (3, 11):  # taken by b and c: later reads are bare
                assert cancellation_of(a).args == () and cancellation_of(b).args == ()
        with pytest.raises(asyncio.CancelledError) as later:
            await c
        assert later.value.args == ()  # later awaits: a bare cancellation
        assert await startable(lane, 3) == 2

    on_loop(kind, main)


def test_dependant_of_a_finished_failure_fails_at_once():
    async def main():
        work, lane = Work(), JobLane()
        a = lane.submit("a", work("a"))
        await settle()
        a.cancel("stop")
        await asyncio.sleep(0)  # a is cancelled, not yet removed
        assert a.cancelled() and "a" in lane._tasks
        b = lane.submit("b", work("b"), after="a")
        with pytest.raises(asyncio.CancelledError) as info:
            await b
        assert handed_over(info.value).args == ("Predecessor 'a' failed",)
        assert isinstance(handed_over(info.value).__cause__, asyncio.CancelledError)
        assert closed(work.coros["b"]) and not work.started("b")

    run(main)


def test_cancelling_a_waiting_dependant_leaves_the_predecessor_running():
    async def main():
        asyncio.get_running_loop().set_task_factory(recorded)
        work, lane = Work(), JobLane()
        a = lane.submit("a", work("a"))
        b = lane.submit("b", work("b"), after="a")
        c = lane.submit("c", work("c"), after="a")
        await settle()
        assert b.cancel("host gave up")
        await settle()
        assert b.cancelled() and not a.done()
        e = cancellation_of(b)
        assert e.args == ("Predecessor 'a' failed",)
        assert isinstance(e.__cause__, asyncio.CancelledError)
        assert e.__cause__.args == ("host gave up",)
        assert len(a.live) == 2  # the lane's own and c's; b took its back
        work.finish("a", 1)
        await settle()
        assert work.log == ["a", "c"]
        work.finish("c", 3)
        assert await a == 1 and await c == 3
        assert closed(work.coros["b"]) and not work.started("b")

    run(main)


def test_cancel_arriving_as_the_predecessor_finishes_still_ends_the_dependant():
    async def main():
        errors = []
        asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: errors.append(ctx))
        work, lane = Work(), JobLane()
        a = lane.submit("a", work("a"))
        b = lane.submit("b", work("b"), after="a")
        await settle()
        ev = asyncio.Event()

        async def cancel_b_after_a_ends():
            await ev.wait()
            b.cancel("late")

        helper = asyncio.create_task(cancel_b_after_a_ends())
        await settle()
        work.finish("a", 1)  # a ends in the same turn, just before b is cancelled
        ev.set()
        await settle()
        await helper
        assert await a == 1
        e = cancellation_of(b)
        assert e.args == ("Predecessor 'a' failed",)
        assert isinstance(e.__cause__, asyncio.CancelledError)
        assert not work.started("b") and closed(work.coros["b"])
        assert errors == [] and lane.active_count == 0

    run(main)


# --- a dependant wakes at its predecessor's own completion ---------------------------


@pytest.mark.parametrize("kind", LOOPS)
@pytest.mark.parametrize("direct_first", [False, True])
def test_a_dependant_resumes_in_turn_with_direct_awaits_of_its_predecessor(kind, direct_first):
    async def main():
        loop = asyncio.get_running_loop()
        lane, gate, order = JobLane(4), loop.create_future(), []

        async def first():
            await gate

        async def dependant():
            order.append("lane dependant")

        async def direct():
            await handle
            order.append("direct await")

        handle = lane.submit("a", first())
        if direct_first:
            loop.create_task(direct())
        b = lane.submit("b", dependant(), after="a")
        await asyncio.sleep(0)  # the dependant's body parks ...
        if not direct_first:
            loop.create_task(direct())  # ... then a plain task awaits the same handle
        await asyncio.sleep(0)
        assert "wait_for=<JobLane._PredecessorWait after='a' pending>" in repr(b)
        gate.set_result(None)
        await lane.wait_all()
        await asyncio.sleep(0)
        return order

    expected = ["lane dependant", "direct await"]
    assert on_loop(kind, main) == (expected[::-1] if direct_first else expected)


def test_the_wait_for_a_running_predecessor_is_future_like_on_the_predecessors_callbacks():
    """What a dependant's body yields while its predecessor runs, seen by
    driving two bodies by hand."""
    held, holding = [], False

    def factory(loop, coro, **kwargs):
        if holding:
            held.append(coro)  # the task itself only sleeps
            coro = asyncio.sleep(3600)
        return Recorded(coro, loop=loop, **kwargs)

    async def main():
        nonlocal holding
        loop = asyncio.get_running_loop()
        loop.set_task_factory(factory)
        work, lane = Work(), JobLane()
        a = lane.submit("a", work("a"))
        holding = True
        b = lane.submit("b", work("b"), after="a")
        c = lane.submit("c", work("c"), after="a")
        holding = False
        await settle()
        wb, wc = (body.send(None) for body in held)
        assert asyncio.isfuture(wb) and wb._asyncio_future_blocking is True
        assert wb.get_loop() is loop and not wb.done() and not wb.cancelled()
        for read in (wb.result, wb.exception):
            with pytest.raises(asyncio.InvalidStateError):
                read()
        for bad in [lambda: wb.add_done_callback(), lambda: wb.add_done_callback(print, ctx=None),
                    lambda: wb.cancel("x", msg="y"), lambda: wb.cancel(1, 2)]:
            with pytest.raises(TypeError):
                bad()

        seen, var = [], contextvars.ContextVar("var", default="outside")
        ctx = contextvars.copy_context()
        ctx.run(var.set, "inside")
        wb.add_done_callback(lambda w: seen.append(("b", w is wb, var.get())), context=ctx)
        dropped = seen.append
        wb.add_done_callback(dropped)
        wb.add_done_callback(dropped)
        wc.add_done_callback(lambda w: seen.append(("c", w is wc, w.cancelled())))
        assert len(a.live) == 5  # the lane's own and one per callback of the waits
        assert wb.remove_done_callback(dropped) == 2 and wb.remove_done_callback(dropped) == 0
        assert len(a.live) == 3

        # Cancelling a wait takes its callbacks back from the predecessor, which
        # runs on, and calls them soon.
        assert wc.cancel(msg="enough") and not wc.cancel()
        assert wc.cancelled() and wc.done() and len(a.live) == 2 and not a.done()
        with pytest.raises(asyncio.CancelledError, match="^enough$"):
            wc.exception()
        await asyncio.sleep(0)
        assert seen == [("c", True, True)]

        async def direct():
            await a
            seen.append("direct")

        loop.create_task(direct())
        await asyncio.sleep(0)
        work.finish("a", "from a")
        await settle()
        assert seen == [("c", True, True), ("b", True, "inside"), "direct"]
        assert wb.done() and wb.result() == "from a" and wb.exception() is None and not wb.cancel()
        assert repr(wb) == "<JobLane._PredecessorWait after='a' finished>"
        wb.add_done_callback(dropped)  # on a finished wait: called soon
        await asyncio.sleep(0)
        assert seen[-1] is wb and a.result() == "from a"
        assert held[0].send(None) is work.gates["b"]  # b took a unit and runs
        b.cancel()
        c.cancel()
        await settle()
        assert all(closed(coro) for coro in work.coros.values())

    run(main)


@pytest.mark.parametrize("fail", [False, True])
def test_chains_in_debug_mode(fail):
    async def main():
        errors = []
        asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: errors.append(ctx))
        work, lane = Work(), JobLane()
        prev = None
        for i in range(5):
            lane.submit(f"t{i}", work(f"t{i}"), after=prev)
            prev = f"t{i}"
        for i in range(5):
            await settle()
            assert work.log == [f"t{k}" for k in range(i + 1)]
            if fail and i == 2:
                work.fail("t2", OSError("x"))
                break
            work.finish(f"t{i}", i)
        await lane.wait_all()
        assert errors == [] and lane.active_count == 0
        assert all(closed(c) for c in work.coros.values())

    asyncio.run(main(), debug=True)


# --- the body as asyncio and the host see it ------------------------------------------


def test_the_body_shows_the_submitted_coroutine_and_its_task_name():
    async def nightly_report(gate):
        await gate
        raise LookupError("gone")

    async def main():
        errors = []
        loop = asyncio.get_running_loop()
        loop.set_exception_handler(lambda loop, ctx: errors.append(ctx))
        lane, gate = JobLane(), loop.create_future()
        coro = nightly_report(gate)
        task = lane.submit("nightly", coro)
        body = task.get_coro()
        assert repr(body) == f"<JobLane._wrapper name='nightly' coro={coro!r}>"
        assert (body.__name__, body.__qualname__) == (coro.__name__, coro.__qualname__)
        await settle()
        assert [f.f_code.co_name for f in task.get_stack()] == ["nightly_report"]
        assert "coro=<test_the_body_shows_the_submitted_coroutine_and_its_task_name.<locals>" \
               ".nightly_report() running at " in repr(task)
        gate.set_result(None)
        await settle()
        assert task.done() and lane.active_count == 0
        del task, body
        gc.collect()
        [ctx] = [c for c in errors if c["message"] == "Task exception was never retrieved"]
        shown = repr(ctx["future"])
        assert "name='nightly'" in shown and ".nightly_report() done, defined at " in shown
        assert "_wrapper" not in shown and isinstance(ctx["exception"], LookupError)

    run(main)


def test_a_coroutine_being_awaited_elsewhere_is_not_driven_twice():
    async def awaits(coro):
        return await coro

    async def main():
        work, lane = Work(), JobLane(4)
        coro = work("a")
        first = lane.submit("first", coro)
        second = lane.submit("second", coro)  # the same coroutine again
        third = lane.submit("third", coro)
        third.cancel()  # never runs: its callback must not close what "first" drives
        other = asyncio.create_task(awaits(coro))  # what `await` itself says
        await settle()
        with pytest.raises(RuntimeError) as plain:
            other.result()
        with pytest.raises(RuntimeError) as info:
            second.result()
        assert str(info.value) == str(plain.value) == "coroutine is being awaited already"
        assert third.cancelled() and not first.done() and not closed(coro)
        work.finish("a", 7)
        assert await first == 7 and work.log == ["a"]

        # Awaited by the host first, then submitted.
        held = work("b")
        host = asyncio.create_task(awaits(held))
        await settle()
        late = lane.submit("late", held)
        await settle()
        assert isinstance(late.exception(), RuntimeError) and not closed(held)
        work.finish("b", 8)
        assert await host == 8
        # A finished coroutine: the error of any second await.
        again = lane.submit("again", held)
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            await again
        assert await startable(lane, 5) == 4

    run(main)


def test_the_body_follows_the_coroutine_protocol_when_driven_by_hand():
    bodies = []

    def keep_the_body(loop, coro, **kwargs):
        bodies.append(coro)  # the task runs something else; the body is left to the test
        return asyncio.Task(asyncio.sleep(0), loop=loop, **kwargs)

    async def reenters():
        with pytest.raises(ValueError, match="already executing"):
            bodies[3].send(None)  # its own body, from inside its step
        return "ok"

    async def main():
        loop = asyncio.get_running_loop()
        loop.set_task_factory(keep_the_body)
        work, lane = Work(), JobLane(1)
        for name in "abc":
            lane.submit(name, work(name))
        lane.submit("d", reenters())
        lane.submit("e", work("e"))
        a, b, c, d, e = bodies
        assert isinstance(a, collections.abc.Coroutine) and a.__await__() is a
        with pytest.raises(TypeError, match="just-started"):
            a.send(1)
        with pytest.raises(ValueError, match="^x$"):
            a.throw(ValueError, ValueError("x"), None)  # the three-argument form
        with pytest.raises(KeyError):
            b.throw(KeyError)
        for bad in [(), (1,), (ValueError("v"), 2), (ValueError, None, 3), (1, 2, 3, 4)]:
            with pytest.raises(TypeError):
                c.throw(*bad)
        assert c.send(None) is work.gates["c"]  # it took the unit and runs the coroutine
        c.close()
        assert closed(work.coros["c"])
        with pytest.raises(RuntimeError, match="cannot reuse"):
            c.send(None)
        assert c.close() is None
        with pytest.raises(OSError):
            c.throw(OSError())
        with pytest.raises(StopIteration) as stop:
            d.send(None)  # the unit came back from c
        assert stop.value.value == "ok"
        e.close()  # before its first step: the coroutine is left to the callback
        assert not closed(work.coros["e"])
        await settle()  # the tasks end; their callbacks close every body and coroutine
        assert all(closed(coro) for coro in work.coros.values())
        assert work.log == ["c"] and lane.active_count == 0
        loop.set_task_factory(None)
        assert await startable(lane, 2) == 1

    run(main)


async def awaits_the_body(body):
    return await body


DRIVERS = {
    # `await` from Python code: tp_iternext, send() and throw() on 3.12 and later
    "awaiting coroutine": lambda loop, coro, **kw: asyncio.Task(awaits_the_body(coro), loop=loop, **kw),
}


@pytest.mark.parametrize("driver", DRIVERS)
def test_other_drivers_step_the_body_the_same_way(driver):
    class Broken(Exception):
        pass

    async def main():
        asyncio.get_running_loop().set_task_factory(DRIVERS[driver])
        work, lane = Work(), JobLane(1)
        a = lane.submit("a", work("a"))
        b = lane.submit("b", work("b"), after="a")
        c = lane.submit("c", work("c"), after="a")
        d = lane.submit("d", work("d"))
        e = lane.submit("e", work("e"), after="c")
        assert a.get_name() == "a"
        await settle()
        assert work.log == ["a"]
        b.cancel("no longer needed")
        await settle()
        assert cancellation_of(b).args == ("Predecessor 'a' failed",) and not a.done()
        work.finish("a", 1)
        await settle()
        assert work.log == ["a", "d"]  # d queued for the unit before c
        d.cancel()
        await settle()
        assert work.log == ["a", "d", "c"]
        work.fail("c", Broken("x"))
        await lane.wait_all()
        assert a.result() == 1 and d.cancelled() and isinstance(c.exception(), Broken)
        assert cancellation_of(e).args == ("Predecessor 'c' failed",)
        assert all(closed(coro) for coro in work.coros.values())
        assert await startable(lane, 2) == 1

    run(main)


def test_uvloop_runs_the_lane_alike():
    async def main():
        work, lane = Work(), JobLane()
        a = lane.submit("a", work("a"))
        b = lane.submit("b", work("b"), after="a")
        c = lane.submit("c", work("c"))
        d = lane.submit("d", work("d"), after="c")
        await settle()
        assert work.log == ["a", "c"]
        assert d.cancel() and not c.done()
        work.fail("a", OSError("x"))
        work.finish("c", 3)
        await lane.wait_all(timeout=10)
        assert cancellation_of(b).args == ("Predecessor 'a' failed",)
        assert cancellation_of(d).args == ("Predecessor 'c' failed",)
        assert c.result() == 3 and work.log == ["a", "c"]
        assert await startable(lane, 3) == 2

    on_loop("uvloop", main)


def test_lanes_on_several_threads_at_once():
    """Each thread has its own loop and lane, as the lane is meant to be used."""
    import threading

    rounds, threads = 40, 4
    barrier = threading.Barrier(threads)
    failures = []

    async def chain(lane, n):
        prev = None
        for k in range(10):
            lane.submit(f"{n}:{k}", asyncio.sleep(0, k), after=prev)
            prev = f"{n}:{k}"
        victim = lane.submit(f"{n}:victim", asyncio.sleep(1))
        after_victim = lane.submit(f"{n}:after", asyncio.sleep(0), after=f"{n}:victim")
        await asyncio.sleep(0)
        victim.cancel()
        await lane.wait_all()
        assert after_victim.cancelled() and lane.active_count == 0

    def worker():
        try:
            barrier.wait()
            for n in range(rounds):
                asyncio.run(chain(JobLane(3), n))
        except BaseException as e:  # reported below
            failures.append(e)

    run_in_threads(worker, threads)
    assert failures == []


# --- cancel_all and wait_all ----------------------------------------------------------


def test_cancel_all_counts_unfinished_tasks_only():
    async def quick():
        return 1

    async def main():
        work, lane = Work(), JobLane()
        assert lane.cancel_all() == 0
        a = lane.submit("a", work("a"))
        b = lane.submit("b", work("b"), after="a")
        lane.submit("q", quick())
        await asyncio.sleep(0)
        assert lane._tasks["q"].done() and lane.active_count == 3
        assert lane.cancel_all() == 2
        assert lane.active_count == 3
        await settle()
        assert a.cancelled() and b.cancelled() and lane.active_count == 0
        assert cancellation_of(b).args == ("Predecessor 'a' failed",)
        assert closed(work.coros["b"])
        assert await startable(lane, 3) == 2

    run(main)


def test_wait_all_on_an_empty_lane_returns_without_yielding():
    async def main():
        lane = JobLane()
        turned = []
        asyncio.get_running_loop().call_soon(turned.append, 1)
        assert await lane.wait_all() is None
        assert await lane.wait_all(0) is None
        assert turned == []

    run(main)


def test_wait_all_waits_for_its_snapshot_and_reports_no_outcomes():
    async def main():
        work, lane = Work(), JobLane()
        lane.submit("a", work("a"))
        lane.submit("b", work("b"), after="a")
        waiter = asyncio.create_task(lane.wait_all())
        await settle()
        late = lane.submit("late", work("late"))  # not part of the snapshot
        work.fail("a", RuntimeError("x"))
        await settle()
        assert waiter.done() and waiter.result() is None
        assert list(lane._tasks) == ["late"] and not late.done()
        work.finish("late")
        await lane.wait_all()
        assert lane.active_count == 0

    run(main)


@pytest.mark.parametrize("timeout", [0, 0.0, 0.01, 1e-9])
def test_wait_all_time_out_is_not_an_error(timeout):
    async def main():
        work, lane = Work(), JobLane()
        a = lane.submit("a", work("a"))
        await lane.wait_all(timeout)
        assert lane.active_count == 1 and not a.cancelled()
        work.finish("a", 5)
        await lane.wait_all(timeout=10)
        assert a.result() == 5 and lane.active_count == 0

    run(main)


@pytest.mark.parametrize("timeout", ["1", True, [1], 1j])
def test_wait_all_refuses_a_timeout_that_is_not_a_number(timeout):
    with pytest.raises(TypeError, match="timeout"):
        JobLane().wait_all(timeout)


def test_cancelling_wait_all_leaves_the_tasks_alone():
    async def main():
        asyncio.get_running_loop().set_task_factory(recorded)
        work, lane = Work(), JobLane()
        a = lane.submit("a", work("a"))
        waiter = asyncio.create_task(lane.wait_all())
        await settle()
        waiter.cancel()
        await settle()
        assert waiter.cancelled() and not a.done()
        assert len(a.live) == 1  # the lane's own: the wait took its back
        work.finish("a")
        await a

    run(main)


# --- the semaphore under cancellation ----------------------------------------------------


def test_cancelled_waiter_passes_a_unit_on():
    async def main():
        work, lane = Work(), JobLane(1)
        a = lane.submit("a", work("a"))
        b = lane.submit("b", work("b"))
        c = lane.submit("c", work("c"))
        d = lane.submit("d", work("d"))
        await settle()
        b.cancel()  # queued: takes no unit
        await settle()
        assert b.cancelled() and work.log == ["a"]
        # c is granted the unit when a ends, and cancelled in the same turn,
        # before it could run: the unit goes on to d.
        ev = asyncio.Event()

        async def end_a_then_cancel_c():
            await ev.wait()
            c.cancel()

        lane_gate = work.gates["a"]
        helper = asyncio.create_task(end_a_then_cancel_c())
        await settle()
        lane_gate.set_result(1)
        ev.set()
        await settle()
        assert c.cancelled() and work.log == ["a", "d"]
        work.finish("d")
        await asyncio.gather(a, d, helper)
        await settle()
        assert lane.active_count == 0 and await startable(lane, 2) == 1
        assert closed(work.coros["b"]) and closed(work.coros["c"])

    run(main)


# --- refused submissions ----------------------------------------------------------


def test_submit_without_a_running_loop_closes_the_coroutine():
    async def job():
        return 1

    lane = JobLane()
    coro = job()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeError, match="no running event loop"):
            lane.submit("a", coro)
        assert closed(coro)
        del coro
        gc.collect()
    assert lane.active_count == 0


@pytest.mark.parametrize("kwargs, arg", [
    (dict(name=1), "name"),
    (dict(name=b"n"), "name"),
    (dict(after=3), "after"),
    (dict(after=b"a"), "after"),
])
def test_wrong_kinds_of_names_are_refused(kwargs, arg):
    async def job():
        return 1

    async def main():
        lane = JobLane()
        lane.submit("a", job())
        coro = job()
        args = dict(name="n", after=None) | kwargs
        with pytest.raises(TypeError, match=f"^{arg} must be str"):
            lane.submit(args.pop("name"), coro, **args)
        assert closed(coro) and list(lane._tasks) == ["a"]
        await lane.wait_all()

    run(main)


@pytest.mark.parametrize("coro", [None, 1, "text", asyncio.sleep, lambda: None])
def test_a_coro_that_is_not_a_coroutine_is_refused(coro):
    async def main():
        lane = JobLane()
        with pytest.raises(TypeError, match="^coro must be a coroutine"):
            lane.submit("a", coro)
        assert lane.active_count == 0

    run(main)


def test_the_after_argument_is_keyword_only():
    async def job():
        return 1

    async def main():
        lane = JobLane()
        lane.submit("a", job())
        coro = job()
        with pytest.raises(TypeError):
            lane.submit("b", coro, "a")
        coro.close()
        await lane.wait_all()

    run(main)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="eager tasks need 3.12")
def test_an_eager_task_factory_does_not_start_work_inside_submit():
    async def main():
        asyncio.get_running_loop().set_task_factory(asyncio.eager_task_factory)
        work, lane = Work(), JobLane()
        task = lane.submit("a", work("a"))
        assert work.log == [] and lane._tasks["a"] is task
        await settle()
        assert work.log == ["a"]
        work.finish("a", 1)
        assert await task == 1

    run(main)


# --- memory --------------------------------------------------------------------------


def test_an_abandoned_lane_with_pending_tasks_is_collected():
    class Marker:
        pass

    async def holds(marker, gate):
        await gate

    loop = asyncio.new_event_loop()
    marker = Marker()
    ref = weakref.ref(marker)

    async def main():
        lane = JobLane()
        gate = loop.create_future()
        lane.submit("a", holds(marker, gate))
        lane.submit("b", holds(marker, gate), after="a")
        lane.submit("c", holds(marker, gate))
        lane.submit("d", holds(marker, gate))
        await settle()

    loop.run_until_complete(main())
    loop.close()
    del marker, loop, main
    logging.getLogger("asyncio").disabled = True  # "Task was destroyed but it is pending!"
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # b's coroutine never started
            for _ in range(3):
                gc.collect()
    finally:
        logging.getLogger("asyncio").disabled = False
    assert ref() is None


# --- randomized ----------------------------------------------------------------------


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_schedules_keep_the_invariants(seed):
    rng = random.Random(seed)
    limit = rng.randint(1, 4)

    async def main():
        lane = JobLane(limit)
        loop = asyncio.get_running_loop()
        gates, coros, tasks, after_of = {}, {}, {}, {}
        started, running, intent = set(), set(), {}
        counter = 0

        def make(name):
            gate = gates[name] = loop.create_future()

            async def unit():
                started.add(name)
                running.add(name)
                assert len(running) <= limit
                pred = after_of[name]
                if pred:
                    assert tasks[pred].done() and not tasks[pred].cancelled()
                    assert tasks[pred].exception() is None
                try:
                    return await gate
                finally:
                    running.discard(name)

            coros[name] = unit()
            return coros[name]

        def check():
            assert len(running) <= limit
            assert list(lane._tasks) == [n for n in tasks if n in lane._tasks]
            for n, t in lane._tasks.items():
                assert tasks[n] is t and t.get_name() == n

        while counter < 300 or lane.active_count:
            roll = rng.random()
            tracked = list(lane._tasks)
            if counter < 300 and roll < 0.45:
                name = f"t{counter}"
                counter += 1
                after = rng.choice(tracked + [""]) if tracked and rng.random() < 0.6 else None
                if after == "" and "" not in lane._tasks:
                    after = None
                after_of[name] = after or None
                tasks[name] = lane.submit(name, make(name), after=after)
            elif roll < 0.8 and running:
                name = rng.choice(sorted(running))
                kind = rng.random()
                if kind < 0.6:
                    intent[name] = ("result", name)
                    gates[name].set_result(name)
                elif kind < 0.85:
                    intent[name] = ("error", name)
                    gates[name].set_exception(LookupError(name))
                else:
                    intent[name] = ("cancel", name)
                    tasks[name].cancel()
            elif roll < 0.9 and tracked:
                name = rng.choice(tracked)
                if name in running:
                    intent[name] = ("cancel", name)
                tasks[name].cancel()
            elif counter >= 300 and not running:
                lane.cancel_all()
            await asyncio.sleep(0)
            check()
        await settle()
        check()

        assert lane.active_count == 0 and not running
        for name, task in tasks.items():
            assert task.done() and closed(coros[name])
            pred = after_of[name]
            if name in started:
                kind, value = intent[name]
                if kind == "result":
                    assert task.result() == value
                elif kind == "error":
                    assert isinstance(task.exception(), LookupError)
                else:
                    assert task.cancelled()
                continue
            assert task.cancelled()
            if name in after_of.values():
                continue  # a dependant has taken its cancellation
            exc = cancellation_of(task)
            if pred and not (tasks[pred].done() and not tasks[pred].cancelled()
                             and tasks[pred].exception() is None):
                assert exc.args == (f"Predecessor {pred!r} failed",)
                assert exc.__cause__ is not None
        assert await startable(lane, limit + 1) == limit  # every unit came back

    run(main)


class StepCoroutine(collections.abc.Coroutine):
    """A coroutine that is not a native one: suspends once, then returns 7."""

    def __init__(self, log, iterator=True):
        self.log, self.steps, self.iterator = log, 0, iterator

    def send(self, value):
        self.steps += 1
        if self.steps == 1:
            return None
        raise StopIteration(7)

    def throw(self, exc, *rest):
        self.log.append(("throw", type(exc).__name__))
        raise exc

    def close(self):
        self.log.append("close")

    def __next__(self):
        return self.send(None)

    def __await__(self):
        return self if self.iterator else 42


def test_a_coroutine_that_is_not_native_is_driven_as_await_drives_it():
    async def main():
        log, lane = [], JobLane(max_concurrency=1)
        done = lane.submit("a", StepCoroutine(log))
        body = done.get_coro()
        assert (body.cr_frame, body.cr_code) == (None, None)  # it has neither
        assert await done == 7 and log == ["close"]
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            body.send(None)

        log.clear()
        cancelled = lane.submit("b", StepCoroutine(log))
        await asyncio.sleep(0)
        cancelled.cancel()
        await asyncio.gather(cancelled, return_exceptions=True)
        assert cancelled.cancelled() and log == [("throw", "CancelledError"), "close"]

        async def direct():
            return await StepCoroutine([], iterator=False)
        with pytest.raises(TypeError) as expected:
            await direct()
        bad = lane.submit("c", StepCoroutine([], iterator=False))
        with pytest.raises(TypeError) as got:
            await bad
        if sys.version_info < (3, 15):  # 3.15 words it anew; the lane keeps the older wording
            assert str(got.value) == str(expected.value)
    run(main)
