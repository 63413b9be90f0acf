"""Tests of the coroutine objects that asynchronous methods return."""

import asyncio
import collections.abc
import copy
import gc
import inspect
import pickle
import warnings
import weakref

import pytest

from corlith_runtime.core.runtime import waiters as W

MODULE = "corlith_runtime.core.runtime.waiters"

Registry = W.InMemoryWaiterRegistry

# method name, positional arguments, keyword arguments, awaited value on an empty registry
CALLS = [
    ("register_signal_waiter", (W.SignalWaiter("p", "k", "s"),), {}, None),
    ("register_timer", (W.TimerWaiter("p", "k", 1.0),), {}, None),
    ("register_user_input_waiter", (W.UserInputWaiter("p", "k", "q"),), {}, None),
    ("resolve_signal", (), {"signal_name": "s", "payload": {}}, []),
    ("resolve_user_input", (), {"parent_run_id": "p", "resume_key": "k", "response": None}, False),
    ("sweep_expired_timers", (), {}, []),
]
IDS = [c[0] for c in CALLS]


def _make(name, args, kwargs, cls=Registry):
    return getattr(cls(), name)(*args, **kwargs)


def _finish(coro):
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    return stop.value.value


@pytest.fixture(params=[Registry, W.WaiterRegistry], ids=["InMemoryWaiterRegistry", "WaiterRegistry"])
def owner(request):
    if request.param is Registry:
        return Registry

    class Sub(W.WaiterRegistry):
        pass

    return Sub


@pytest.mark.parametrize("name, args, kwargs, value", CALLS, ids=IDS)
def test_coroutine_identity(name, args, kwargs, value, owner):
    coro = _make(name, args, kwargs, owner)
    defining = W.WaiterRegistry if owner is not Registry else Registry
    fn = getattr(defining, name)
    try:
        assert asyncio.iscoroutine(coro) and inspect.isawaitable(coro)
        assert isinstance(coro, collections.abc.Coroutine)
        assert coro.__name__ == name
        assert coro.__qualname__ == f"{defining.__name__}.{name}"
        assert coro.__module__ == MODULE
        assert coro.cr_code is fn.__code__
        assert coro.cr_running is False and coro.cr_await is None
    finally:
        coro.close()
    assert coro.cr_frame is None and coro.cr_running is False


@pytest.mark.parametrize("name, args, kwargs, value", CALLS, ids=IDS)
def test_send_runs_the_body_in_one_step(name, args, kwargs, value):
    reg = Registry()
    coro = getattr(reg, name)(*args, **kwargs)
    assert reg._signal_waiters == reg._timers == reg._user_inputs == []  # nothing done yet
    assert _finish(coro) == value
    assert coro.cr_running is False and coro.cr_await is None and coro.cr_frame is None
    assert reg.signal_waiter_count() + reg.timer_count() + reg.user_input_waiter_count() == (
        1 if name.startswith("register") else 0)
    for again in (lambda: coro.send(None), lambda: coro.throw(KeyError("late")), lambda: next(coro.__await__())):
        with pytest.raises(RuntimeError) as info:
            again()
        assert str(info.value) == "cannot reuse already awaited coroutine"
    assert coro.close() is None


def test_non_none_send_to_a_new_coroutine():
    reg = Registry()
    coro = reg.register_timer(W.TimerWaiter("p", "k", 1.0))
    with pytest.raises(TypeError) as info:
        coro.send(1)
    assert str(info.value) == "can't send non-None value to a just-started coroutine"
    assert reg.timer_count() == 0
    _finish(coro)  # still unstarted, so it can run now
    assert reg.timer_count() == 1


@pytest.mark.parametrize("exc", [KeyError("thrown"), KeyError, GeneratorExit()])
def test_throw_into_a_new_coroutine(exc):
    reg = Registry()
    coro = reg.register_signal_waiter(W.SignalWaiter("p", "k", "s"))
    with pytest.raises(exc if isinstance(exc, type) else type(exc)):
        coro.throw(exc)
    assert reg.signal_waiter_count() == 0  # the body never ran
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        coro.send(None)


def test_close():
    reg = Registry()
    coro = reg.register_timer(W.TimerWaiter("p", "k", 1.0))
    assert coro.close() is None and coro.close() is None
    assert reg.timer_count() == 0 and coro.cr_frame is None
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        coro.send(None)
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        coro.throw(ValueError)


def test_await_protocol():
    reg = Registry(clock=lambda: 10.0)
    coro = reg.register_timer(W.TimerWaiter("p", "k", 1.0))
    it = coro.__await__()
    assert iter(it) is it
    with pytest.raises(StopIteration) as stop:
        next(it)
    assert stop.value.value is None and reg.timer_count() == 1
    it = reg.sweep_expired_timers().__await__()
    with pytest.raises(StopIteration) as stop:
        it.send(None)
    assert stop.value.value == [("p", "k")]


def test_awaited_inside_asyncio_run():
    reg = Registry(clock=lambda: 10.0)

    async def main():
        await reg.register_timer(W.TimerWaiter("a", "1", 5.0))
        await reg.register_signal_waiter(W.SignalWaiter("b", "2", "go", {"x": 1}))
        await reg.register_user_input_waiter(W.UserInputWaiter("c", "3", "q"))
        gathered = await asyncio.gather(
            reg.sweep_expired_timers(),
            reg.resolve_signal(signal_name="go", payload={"x": 1}),
            asyncio.create_task(reg.resolve_user_input(parent_run_id="c", resume_key="3", response="yes")),
        )
        reused = reg.timer_count()
        coro = reg.sweep_expired_timers()
        await coro
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            await coro
        return gathered, reused

    assert asyncio.run(main()) == ([[("a", "1")], [("b", "2", {"x": 1})], True], 0)
    # the coroutine itself is accepted as the main coroutine of a loop
    assert asyncio.run(reg.resolve_signal(signal_name="go", payload={})) == []
    with asyncio.Runner() as runner:
        assert runner.run(asyncio.wait_for(reg.sweep_expired_timers(), 1)) == []


def test_errors_raised_by_the_body_come_out_of_the_await():
    reg = Registry(clock=lambda: 1 / 0)
    coro = reg.sweep_expired_timers()
    with pytest.raises(ZeroDivisionError):
        coro.send(None)
    assert coro.cr_frame is None
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        coro.send(None)
    with pytest.raises(ZeroDivisionError):
        asyncio.run(reg.sweep_expired_timers())


@pytest.mark.parametrize("name, args, kwargs, value", CALLS, ids=IDS)
def test_never_awaited_warning(name, args, kwargs, value, owner):
    defining = W.WaiterRegistry if owner is not Registry else Registry
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro = _make(name, args, kwargs, owner)
        del coro
        gc.collect()
    messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
    assert messages == [f"coroutine '{defining.__name__}.{name}' was never awaited"]


@pytest.mark.parametrize("ending", [
    lambda c: c.close(),
    lambda c: _finish(c),
    lambda c: pytest.raises(KeyError, c.throw, KeyError),
    lambda c: asyncio.run(c),
], ids=["close", "send", "throw", "asyncio.run"])
def test_no_warning_once_started_or_closed(ending):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro = Registry().resolve_signal(signal_name="s", payload={})
        ending(coro)
        del coro
        gc.collect()
    assert [str(w.message) for w in caught] == []


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_is_refused(protocol):
    coro = Registry().sweep_expired_timers()
    try:
        with pytest.raises(TypeError, match=r"^cannot pickle '.*' object$") as info:
            pickle.dumps(coro, protocol=protocol)
        assert type(coro).__name__ in str(info.value)
    finally:
        coro.close()


def _discard(make):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        coro = make()
        del coro


def _refuse_send(coro):
    try:
        coro.send(1)
    except TypeError:
        return coro
    raise AssertionError("a non-None value was sent to a new coroutine")


def test_coroutines_do_not_leak(run_now, no_leak):
    reg = Registry()
    made = [(lambda n=name, a=args, k=kwargs: getattr(reg, n)(*a, **k)) for name, args, kwargs, _ in CALLS]
    resolving = made[3:]  # repeated registration grows the registry by design
    loop = asyncio.new_event_loop()
    try:
        for subject in [
            lambda: [_discard(make) for make in made],
            lambda: [make().close() for make in made],
            lambda: [pytest.raises(KeyError, make().throw, KeyError) for make in made],
            lambda: [_discard(lambda: _refuse_send(make())) for make in made],
            lambda: [run_now(make()) for make in resolving],
            lambda: [loop.run_until_complete(make()) for make in resolving],
        ]:
            no_leak(subject)
    finally:
        loop.close()


def test_failing_awaits_do_not_leak(run_now, no_leak):
    reg = Registry(clock=lambda: 1 / 0)
    no_leak(lambda: run_now(reg.sweep_expired_timers()), raises=ZeroDivisionError)

    def reuse():
        coro = reg.resolve_signal(signal_name="s", payload={})
        run_now(coro)
        coro.send(None)

    no_leak(reuse, raises=RuntimeError)


# --------------------------------------------------------------------------- bodies that suspend
# Only the spawn dispatcher awaits something that can suspend (its child runner), so the
# re-entry and close-while-suspended cases are driven through it.


class Spec:
    agent = "child"

    def to_dict(self):
        return {"agent": self.agent}


class Tick:
    """Suspends once and resumes with whatever the driver sends in."""

    def __await__(self):
        return (yield "tick")


def _spawn():
    return pytest.importorskip("corlith_runtime.core.runtime.spawn")


def _enqueue(dispatcher, count=1, return_when="all", specs=None):
    return dispatcher.enqueue_children(
        parent_run_id="p", parent_resume_key="k", specs=specs or tuple(Spec() for _ in range(count)),
        return_when=return_when, timeout_seconds=1.0,
    )


def _collect(dispatcher, run_now):
    return run_now(dispatcher.collect_results(parent_run_id="p", resume_key="k"))


def test_suspends_and_resumes_with_the_sent_value(run_now):
    spawn = _spawn()

    async def runner(spec):
        return {"output": {"got": await Tick()}}

    d = spawn.InMemorySpawnDispatcher(child_runner=runner)
    outer = _enqueue(d)
    assert outer.send(None) == "tick"
    assert outer.cr_running is False and outer.cr_await is not None
    with pytest.raises(StopIteration) as stop:
        outer.send("hello")
    assert stop.value.value == ["inmem-p-k-0"]
    assert outer.cr_await is None and outer.cr_frame is None
    assert _collect(d, run_now)["inmem-p-k-0"]["output"] == {"got": "hello"}


def test_throw_is_delivered_to_the_awaited_child(run_now):
    spawn = _spawn()

    async def runner(spec):
        await Tick()
        return {"output": {}}

    d = spawn.InMemorySpawnDispatcher(child_runner=runner)
    outer = _enqueue(d)
    assert outer.send(None) == "tick"
    with pytest.raises(StopIteration) as stop:
        outer.throw(KeyError("thrown"))
    assert stop.value.value == ["inmem-p-k-0"]
    record = _collect(d, run_now)["inmem-p-k-0"]
    assert (record["output"], record["error"]) == (None, "'thrown'")


def test_close_raises_generator_exit_in_a_suspended_body(run_now):
    spawn = _spawn()
    seen = []

    async def runner(spec):
        try:
            await Tick()
        except GeneratorExit:
            seen.append("closed")
            raise
        return {"output": {}}

    d = spawn.InMemorySpawnDispatcher(child_runner=runner)
    outer = _enqueue(d, count=2)
    assert outer.send(None) == "tick"
    assert outer.close() is None
    assert seen == ["closed"] and outer.cr_frame is None
    assert _collect(d, run_now) == {}  # the enqueue never completed
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        outer.send(None)


@pytest.mark.parametrize("reenter", [
    lambda c: c.send(None),
    lambda c: c.throw(KeyError("again")),
    lambda c: c.close(),
], ids=["send", "throw", "close"])
def test_driving_a_running_coroutine(reenter, run_now):
    spawn = _spawn()
    seen = {}

    async def runner(spec):
        seen["running"] = outer.cr_running
        try:
            reenter(outer)
        except ValueError as exc:
            seen["error"] = str(exc)
        return {"output": {}}

    d = spawn.InMemorySpawnDispatcher(child_runner=runner)
    outer = _enqueue(d)
    assert run_now(outer) == ["inmem-p-k-0"]
    assert seen == {"running": True, "error": "coroutine already executing"}
    assert outer.cr_running is False


def test_body_that_keeps_running_after_close(run_now):
    spawn = _spawn()
    swallowed = []

    async def stubborn(spec):
        try:
            await Tick()
        except GeneratorExit:
            if swallowed:
                raise
            swallowed.append(True)
            await Tick()  # carries on instead of finishing
        return {"output": {}}

    d = spawn.InMemorySpawnDispatcher(child_runner=stubborn)
    outer = _enqueue(d, count=2)
    assert outer.send(None) == "tick"
    with pytest.raises(RuntimeError) as info:
        outer.close()
    assert str(info.value) == "coroutine ignored GeneratorExit"
    assert outer.cr_await is not None  # still suspended
    assert outer.close() is None  # the second close is not swallowed
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        outer.send(None)
    assert _collect(d, run_now) == {}


def test_suspending_children_under_an_event_loop(run_now):
    spawn = _spawn()

    async def runner(spec):
        await asyncio.sleep(0)
        await asyncio.sleep(0.001)
        return {"output": {"ran": spec.agent}}

    d = spawn.InMemorySpawnDispatcher(child_runner=runner)
    assert asyncio.run(_enqueue(d, count=3)) == ["inmem-p-k-0", "inmem-p-k-1", "inmem-p-k-2"]
    results = _collect(d, run_now)
    assert [r["output"] for r in results.values()] == [{"ran": "child"}] * 3


def test_suspend_resume_does_not_leak(no_leak):
    spawn = _spawn()

    async def runner(spec):
        return {"output": {"got": await Tick()}}

    d = spawn.InMemorySpawnDispatcher(child_runner=runner)

    def cycle():
        outer = _enqueue(d)
        outer.send(None)
        try:
            outer.send("x")
        except StopIteration:
            pass

    no_leak(cycle)
    no_leak(lambda: _enqueue(d).close())

    def closed_while_suspended():
        outer = _enqueue(d)
        outer.send(None)
        outer.close()

    no_leak(closed_while_suspended)


# ---- argument errors of throw() and the name setters, against the host's own coroutines ----


async def _native():
    pass


def _outcome(action):
    try:
        action()
    except BaseException as exc:  # noqa: BLE001 - the outcome itself is compared
        return type(exc), str(exc)
    return None


@pytest.mark.parametrize(
    "args",
    [(), (1, 2, 3, 4), (42,), (ValueError("x"), "v"), (ValueError, None, "tb"), (ValueError, ValueError("a"))],
    ids=["none", "four", "not-exception", "instance-and-value", "bad-traceback", "class-and-instance"],
)
def test_throw_arguments_checked_like_the_host(args, no_leak):
    reg = Registry(clock=lambda: 0.0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        for make in (_native, lambda: reg.sweep_expired_timers()):
            coro = make()
            got = _outcome(lambda: coro.throw(*args))
            coro.close()
            if make is _native:
                expected = got
            else:
                assert got == expected
        no_leak(lambda: _finish_throw(reg, args), raises=Exception)


def _finish_throw(reg, args):
    # A fresh exception each time: one raised again keeps growing its traceback.
    args = tuple(copy.copy(a) if isinstance(a, BaseException) else a for a in args)
    coro = reg.sweep_expired_timers()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            coro.throw(*args)
    finally:
        coro.close()


def test_three_argument_throw_is_deprecated():
    coro = Registry().sweep_expired_timers()
    with pytest.warns(DeprecationWarning, match=r"the \(type, exc, tb\) signature of throw\(\) is deprecated"):
        with pytest.raises(KeyError):
            coro.throw(KeyError, KeyError("k"), None)


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_coroutine_names_take_strings_only(attr):
    coro = Registry().sweep_expired_timers()
    native = _native()
    try:
        assert _outcome(lambda: setattr(coro, attr, 3)) == _outcome(lambda: setattr(native, attr, 3))
        setattr(coro, attr, "renamed")
        assert getattr(coro, attr) == "renamed"
    finally:
        coro.close()
        native.close()


def _stop_of(coro):
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop
    raise AssertionError("the coroutine did not finish")


def test_results_kept_by_callers_stay_their_own():
    reg = Registry()
    for i in range(3):
        asyncio.run(reg.register_user_input_waiter(W.UserInputWaiter("p", str(i), "q")))
    stops = [_stop_of(reg.resolve_user_input(parent_run_id="p", resume_key=k, response=None)) for k in "01x"]
    assert [(s.value, s.args) for s in stops] == [(True, (True,)), (True, (True,)), (False, (False,))]
    assert len({id(s) for s in stops}) == 3
    assert all(type(s) is StopIteration and s.__context__ is None for s in stops)


@pytest.mark.parametrize("keep", [lambda s: s.args, lambda s: s.value, lambda s: s.__dict__],
                         ids=["args", "value", "dict"])
def test_parts_kept_from_a_dropped_carrier_stay_unchanged(keep):
    reg = Registry()
    asyncio.run(reg.register_user_input_waiter(W.UserInputWaiter("p", "k", "q")))
    stop = _stop_of(reg.resolve_user_input(parent_run_id="p", resume_key="k", response=None))
    stop.__dict__["note"] = "mine"
    kept = keep(stop)
    before = copy.copy(kept)
    del stop
    later = _stop_of(reg.resolve_user_input(parent_run_id="p", resume_key="k", response=None))
    assert kept == before and later.args == (False,) and later.value is False and later.__dict__ == {}


def test_a_result_carrier_raised_while_handling_chains_like_the_host():
    reg = Registry()
    try:
        raise KeyError("handled")
    except KeyError as handled:
        chained = _stop_of(reg.resolve_signal(signal_name="s", payload={})).__context__ is handled
    # the next carrier, raised outside any handler, does not inherit that context
    assert (chained, _stop_of(reg.resolve_signal(signal_name="s", payload={})).__context__) == (True, None)


class Tracked:
    def __init__(self, log):
        self.log = log

    def __del__(self):
        self.log.append("freed")


def test_awaited_results_are_released_with_their_last_reference():
    log = []

    async def main():
        reg = Registry()
        await reg.register_signal_waiter(W.SignalWaiter("p", "k", "s"))
        records = await reg.resolve_signal(signal_name="s", payload={"held": Tracked(log)})
        assert records[0][2]["held"].log is log
        del records
        return log[:]

    assert asyncio.run(main()) == ["freed"]


def test_results_of_concurrent_awaits_do_not_mix():
    async def main():
        reg = Registry()
        for i in range(0, 40, 2):
            await reg.register_user_input_waiter(W.UserInputWaiter("p", str(i), "q"))
        calls = [reg.resolve_user_input(parent_run_id="p", resume_key=str(i), response=None) for i in range(40)]
        return await asyncio.gather(*calls)

    assert asyncio.run(main()) == [i % 2 == 0 for i in range(40)]


def test_never_awaited_warning_after_many_finished_coroutines():
    reg = Registry()
    for _ in range(50):
        asyncio.run(reg.sweep_expired_timers())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(3):
            reg.sweep_expired_timers()  # dropped at once, unawaited
        gc.collect()
    assert [str(w.message) for w in caught] == ["coroutine 'InMemoryWaiterRegistry.sweep_expired_timers' was never awaited"] * 3


# ---- driving a suspended coroutine against its host twin --------------------------------
# Each scenario drives a compiled coroutine suspended in an await and an `async def` doing
# the same (its host twin) the same way; what the driver and the awaited object see must match.


class Probe:
    """The iterator an awaited object hands out; records what reaches it.

    `hooks` maps a protocol name to a callable run when that member is looked up
    (`throw`, `close`) or called (`send`): hostile code that drives the outer
    coroutine from inside the await.
    """

    def __init__(self, log, hooks, has_throw=True, has_close=True, answer=None):
        self.log, self.hooks, self.steps = log, hooks, 0
        self.has_throw, self.has_close, self.answer = has_throw, has_close, answer or _rethrow

    def __iter__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self.log.append(("send", value))
        if "send" in self.hooks:
            self.hooks["send"]()
        self.steps += 1
        if self.steps > 2:
            raise StopIteration({"output": {"sent": value}})
        return f"tick{self.steps}"

    def __getattr__(self, name):
        if name == "throw" and self.has_throw:
            if "throw" in self.hooks:
                self.hooks["throw"]()

            def throw(*args):
                self.log.append(("throw", tuple(a if not isinstance(a, BaseException) else repr(a) for a in args)))
                return self.answer(args)

            return throw
        if name == "close" and self.has_close:
            if "close" in self.hooks:
                self.hooks["close"]()
            return lambda: self.log.append(("close",))
        raise AttributeError(name)


def _rethrow(args):
    first = args[0]
    raise first if isinstance(first, BaseException) else first(*args[1:2])


class Awaitable:
    def __init__(self, probe):
        self.probe = probe

    def __await__(self):
        return self.probe


def _summary(exc):
    cause = exc.__cause__
    return type(exc), str(exc), type(cause) if cause is not None else None


def _step(action):
    try:
        return ("value", action())
    except StopIteration as stop:
        return ("return", stop.value)
    except BaseException as exc:  # noqa: BLE001 - the outcome itself is compared
        return ("raise", *_summary(exc))


def _twin_pair(hooks, **probe_options):
    """A compiled coroutine and its host twin, each suspended on its own Probe."""
    spawn = _spawn()
    made = []

    for compiled in (True, False):
        log = []
        probe = Probe(log, {}, **probe_options)

        def runner(spec, probe=probe):  # its awaitable is what the dispatcher awaits
            return Awaitable(probe)

        async def twin(runner=runner):
            results = {}
            try:
                result = await runner(Spec())
                result["child_run_id"] = "inmem-p-k-0"
            except Exception as exc:
                result = {"error": str(exc)}
            results["inmem-p-k-0"] = result
            return ["inmem-p-k-0"]

        coro = _enqueue(spawn.InMemorySpawnDispatcher(child_runner=runner)) if compiled else twin()
        probe.hooks = {name: (lambda act=act, coro=coro, log=log: log.append(("hook", _step(lambda: act(coro)))))
                       for name, act in hooks.items()}
        made.append((coro, log))
    return made


def _state(coro):
    return coro.cr_running, coro.cr_suspended, coro.cr_await is not None


REENTRY = {
    "send": lambda c: c.send(None),
    "finish": lambda c: [c.send(None) for _ in range(5)],
    "throw": lambda c: c.throw(KeyError("inner")),
    "close": lambda c: c.close(),
}
DRIVES = {
    "send": lambda c: c.send("v"),
    "throw": lambda c: c.throw(KeyError("outer")),
    "close": lambda c: c.close(),
}


@pytest.mark.parametrize("hook", ["send", "throw", "close"])
@pytest.mark.parametrize("reentry", sorted(REENTRY))
@pytest.mark.parametrize("drive", sorted(DRIVES))
def test_reentry_while_calling_out_matches_the_host(hook, reentry, drive, isolated):
    """The awaited object drives the same coroutine while the driver calls into it."""
    compiled, host = isolated(_reentry_outcomes, hook, reentry, drive)
    assert compiled == host


def _twin_outcomes(hooks, then, **probe_options):
    """Suspends each twin, drives it with `then`, then sends once more: what each saw."""
    outcomes = []
    for coro, log in _twin_pair(hooks, **probe_options):
        steps = [_step(lambda: coro.send(None)), _step(lambda: then(coro)), _step(lambda: coro.send("after"))]
        outcomes.append((steps, log[:], _state(coro)))
        coro.close()
    return outcomes


def _reentry_outcomes(hook, reentry, drive):
    return _twin_outcomes({hook: REENTRY[reentry]}, DRIVES[drive])


THROWN = [
    (KeyError("k"),),
    (KeyError,),
    (KeyError, "v"),
    (KeyError, KeyError("a")),
    (KeyError("k"), "separate"),
    (42,),
    (KeyError, None, "not a traceback"),
    (StopIteration("early"),),
    (StopIteration, "early"),
    (GeneratorExit,),
]
ANSWERS = {
    "rethrow": _rethrow,
    "yield": lambda args: "yielded",
    "stop": lambda args: (_ for _ in ()).throw(StopIteration("answered")),
}


@pytest.mark.parametrize("args", THROWN, ids=repr)
@pytest.mark.parametrize("has_throw", [True, False], ids=["with-throw", "plain-iterator"])
@pytest.mark.parametrize("answer", sorted(ANSWERS))
def test_throw_reaches_the_awaited_object_as_the_host_does(args, has_throw, answer, isolated):
    compiled, host = isolated(_throw_outcomes, args, has_throw, answer)
    assert compiled == host


def _throw_outcomes(args, has_throw, answer):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return _twin_outcomes({}, lambda coro: coro.throw(*args), has_throw=has_throw, answer=ANSWERS[answer])


def test_stop_iteration_leaving_a_body_is_a_runtime_error():
    """StopIteration raised inside a body, by anything it calls, does not pose as a return."""
    spawn = _spawn()

    def stop(*_):
        raise StopIteration("leaked")

    class StopEq(str):
        __hash__ = str.__hash__
        __eq__ = __ne__ = stop

    class StopSpec(Spec):
        to_dict = stop

    async def host():
        stop()

    expected = _step(lambda: host().send(None))
    assert expected == ("raise", RuntimeError, "coroutine raised StopIteration", StopIteration)
    reg = Registry(clock=stop)
    matching = Registry()
    asyncio.run(matching.register_signal_waiter(W.SignalWaiter("p", "k", "s", {"a": StopEq("x")})))
    triggers = [
        lambda: reg.sweep_expired_timers().send(None),
        lambda: matching.resolve_signal(signal_name="s", payload={"a": "y"}).send(None),
        lambda: spawn._default_noop_child_runner(StopSpec()).send(None),
        # the child's fault becomes an error record, whose own to_dict() then leaks
        lambda: _enqueue(spawn.InMemorySpawnDispatcher(), specs=(StopSpec(),)).send(None),
    ]
    for trigger in triggers:
        assert _step(trigger) == expected


@pytest.mark.parametrize("compiled", [True, False], ids=["compiled", "host"])
def test_a_coroutine_awaited_by_two_tasks(compiled):
    spawn = _spawn()

    async def runner(spec):
        await asyncio.sleep(0.01)
        return {"output": {}}

    async def host_twin():
        return await runner(Spec())

    async def main():
        coro = _enqueue(spawn.InMemorySpawnDispatcher(child_runner=runner)) if compiled else host_twin()

        async def wait():
            return await coro

        first = asyncio.ensure_future(wait())
        await asyncio.sleep(0)
        second = asyncio.ensure_future(wait())
        done = await asyncio.gather(first, second, return_exceptions=True)
        return [d if not isinstance(d, BaseException) else (type(d), str(d)) for d in done]

    first, second = asyncio.run(main())
    assert second == (RuntimeError, "coroutine is being awaited already")
    assert first == (["inmem-p-k-0"] if compiled else {"output": {}})


# ---- what suspended and finished coroutines keep alive ------------------------------------


class Owner:
    """Holds a dispatcher whose runner is its own bound method, and the coroutine
    driving it: dropped together, they form a cycle only the collector can free."""

    def __init__(self, compiled, log):
        spawn = _spawn()
        self.log = log
        self.dispatcher = spawn.InMemorySpawnDispatcher(child_runner=self.run)
        self.coro = _enqueue(self.dispatcher) if compiled else self.twin()

    async def run(self, spec):
        try:
            await Tick()
        finally:
            self.log.append("finally")
        return {"output": {}}

    async def twin(self):
        return [await self.run(Spec())]


def _drop_suspended_by_hand(compiled, log):
    owner = Owner(compiled, log)
    owner.coro.send(None)
    return weakref.ref(owner)


def _drop_suspended_task(compiled, log):
    loop = asyncio.new_event_loop()
    loop.set_exception_handler(lambda loop, context: log.append(context["message"]))
    owner = Owner(compiled, log)
    owner.future = loop.create_future()
    owner.run = None  # the runner now waits on a future nobody resolves

    async def waits(spec, owner=owner):
        try:
            await owner.future
        finally:
            owner.log.append("finally")

    owner.dispatcher._child_runner = waits
    if not compiled:
        owner.coro.close()
        owner.coro = waits(Spec())
    task = loop.create_task(owner.coro)
    loop.run_until_complete(asyncio.sleep(0.01))
    assert not task.done()
    del task
    loop.close()
    return weakref.ref(owner)


@pytest.mark.parametrize("drop", [_drop_suspended_by_hand, _drop_suspended_task], ids=["by-hand", "asyncio-task"])
def test_abandoned_suspended_cycles_are_collected_like_the_host(drop):
    outcomes = []
    for compiled in (True, False):
        log = []
        gc.collect()
        owner = drop(compiled, log)
        gc.collect()
        outcomes.append((owner() is None, sorted(log)))
    assert outcomes[0] == outcomes[1]
    assert outcomes[0][0] is True and "finally" in outcomes[0][1]


def test_results_keep_nothing_alive():
    """A result, its carrier's traceback and context go with the awaiting code's last
    reference, also when the result is part of a cycle."""
    log = []

    async def await_result():
        payload = {"held": Tracked(log)}
        payload["self"] = payload  # only the collector can free it
        reg = Registry()
        await reg.register_signal_waiter(W.SignalWaiter("p", "k", "s"))
        try:
            raise KeyError("handled")  # the carrier raised here has a context
        except KeyError:
            released = await reg.resolve_signal(signal_name="s", payload=payload)
        assert released[0][2]["held"] is payload["held"]

    def by_hand():
        reg = Registry()
        payload = {"held": Tracked(log)}
        payload["self"] = payload
        asyncio.run(reg.register_signal_waiter(W.SignalWaiter("p", "k", "s")))
        try:
            raise KeyError("handled")
        except KeyError:
            stop = _stop_of(reg.resolve_signal(signal_name="s", payload=payload))
        assert stop.value[0][2]["held"] is payload["held"]

    for run in (lambda: asyncio.run(await_result()), by_hand):
        log.clear()
        run()
        gc.collect()
        assert log == ["freed"]


def _abandoned_rounds():
    spawn = _spawn()

    def leak_stop(*_):
        raise StopIteration

    class Cyclic(Owner):
        pass

    def cyclic():
        owner = Cyclic(True, [])
        owner.coro.send(None)

    def awaited_twice():
        d = spawn.InMemorySpawnDispatcher(child_runner=lambda spec: Awaitable(Probe([], {})))
        coro = _enqueue(d)
        coro.send(None)
        second = _await(coro)
        try:
            second.send(None)
        except RuntimeError:
            pass
        coro.close()

    return [
        ("cycle", cyclic, None),
        ("stop-iteration", lambda: Registry(clock=leak_stop).sweep_expired_timers().send(None), RuntimeError),
        ("awaited-twice", awaited_twice, None),
        ("abandoned", lambda: _enqueue(spawn.InMemorySpawnDispatcher(
            child_runner=lambda spec: Awaitable(Probe([], {})))).send(None), None),
    ]


async def _await(coro):
    return await coro


@pytest.mark.parametrize("name, fn, raises", _abandoned_rounds(), ids=lambda v: v if isinstance(v, str) else "")
def test_abandoned_and_cyclic_coroutines_do_not_leak(name, fn, raises, no_leak):
    no_leak(fn, raises=raises, calls=2500, batches=4)
