"""RedisWaiterRegistry beyond the conformance kit: storage, key spaces, pools, batches, exact timers,
durability, failures, many processes."""

from __future__ import annotations

import asyncio
import enum
import json
import math
import subprocess
import sys
import threading
import time
from collections import Counter
from collections.abc import Awaitable, Callable
from fractions import Fraction
from pathlib import Path
from typing import Any

import pytest
import redis
import redis.asyncio
from redis_server import RedisClusterServers, RedisServer

from corlith_redis import RedisTokenSemaphore, RedisWaiterRegistry, _codec, async_client, sync_client
from corlith_redis.conformance import Clock
from corlith_redis.waiters import MAX_SWEEP_BATCH, SWEEP_BATCH
from corlith_runtime.core.runtime.waiters import (
    InMemoryWaiterRegistry, SignalWaiter, TimerWaiter, UserInputWaiter)

WORKERS = Path(__file__).with_name("workers.py")


def run(body: Callable[[], Awaitable[Any]]) -> Any:
    return asyncio.run(body())


async def with_registry(url: str, prefix: str, body: Callable[[RedisWaiterRegistry], Awaitable[Any]],
                        **kwargs: Any) -> Any:
    client = async_client(url, **kwargs)
    try:
        return await body(RedisWaiterRegistry(client, prefix=prefix))
    finally:
        await client.aclose()


async def on_target(target: RedisServer | RedisClusterServers, prefix: str,
                    body: Callable[[RedisWaiterRegistry], Awaitable[Any]], **kwargs: Any) -> Any:
    client = target.async_client()
    try:
        return await body(RedisWaiterRegistry(client, prefix=prefix, **kwargs))
    finally:
        await client.aclose()


def exact(value: Any) -> Any:
    """A form of ``value`` that tells types apart (True vs 1, 1 vs 1.0, -0.0 vs 0.0)."""
    if isinstance(value, dict):
        return ("dict", [(k, exact(v)) for k, v in value.items()])
    if isinstance(value, list):
        return ("list", [exact(v) for v in value])
    if isinstance(value, float):
        return ("float", math.copysign(1, value), repr(value))
    return (type(value).__name__, value)


class Color(enum.IntEnum):
    RED = 1


class Text(str):
    pass


STORED = {
    "int": 7, "big": -(10**40), "float": 0.1, "neg_zero": -0.0, "inf": float("-inf"), "bool": True,
    "false": False, "none": None, "text": "é\ud800\U0001f600\x00", "halves": "\ud83d\ude00", "empty": {},
    "list": [1, 1.0, True, "1", None],
    "nested": {"a": [{"b": [[], {}]}], "c": {"d": 2.5e-300}},
}


def test_records_round_trip_exactly(redis_server: RedisServer, prefix: str) -> None:
    signal = SignalWaiter("run-é", "key\ud800", "sig:name\n", STORED, 12)
    timer = TimerWaiter("run", "key", 1_700_000_000)
    question = UserInputWaiter("run", "key", "Pick?", ["a", "b"], 3.5)

    async def body(registry: RedisWaiterRegistry) -> None:
        await registry.register_signal_waiter(signal)
        await registry.register_timer(timer)
        await registry.register_user_input_waiter(question)
        (back,) = await registry.signal_waiters("sig:name\n")
        assert back == signal and exact(back.match) == exact(STORED) and type(back.timeout_at_unix) is int
        assert (await registry.timers())[0] == timer and type((await registry.timers())[0].resume_at_unix) is int
        assert await registry.user_input_waiters("run", "key") == [question]

    run(lambda: with_registry(redis_server.url, prefix, body))


cycle: list[Any] = []
cycle.append(cycle)

REFUSED = [
    (SignalWaiter("r", "k", "s", {"t": (1, 2)}), "tuple"),
    (SignalWaiter("r", "k", "s", {1: "int key"}), "only str keys"),
    (SignalWaiter("r", "k", "s", {"b": b"x"}), "bytes"),
    (SignalWaiter("r", "k", "s", {"s": {1, 2}}), "set"),
    (SignalWaiter("r", "k", "s", {"e": Color.RED}), "Color"),
    (SignalWaiter("r", "k", "s", {"t": Text("x")}), "Text"),
    (SignalWaiter("r", "k", "s", {"n": [math.nan]}), "NaN"),
    (SignalWaiter("r", "k", "s", {"c": cycle}), "contains itself"),
    (SignalWaiter("r", "k", "s", {"o": object()}), "object"),
    (SignalWaiter(1, "k", "s"), "parent_run_id must be a str"),  # type: ignore[arg-type]
    (SignalWaiter("r", "k", Text("s")), "signal_name must be a str"),
    (SignalWaiter("r", "k", "s", {}, None), None),  # None is storable: control row
    (TimerWaiter("r", "k", None), "resume_at_unix must be a number"),  # type: ignore[arg-type]
    (TimerWaiter("r", "k", math.nan), "NaN"),
    (TimerWaiter("r", None, 1.0), "resume_key must be a str"),  # type: ignore[arg-type]
    (TimerWaiter("r", "k", 2**53 + 1), "a float cannot hold exactly"),
    (TimerWaiter("r", "k", 10**400), "a float cannot hold exactly"),
    (TimerWaiter("r", "k", -(10**5000)), "a float cannot hold exactly"),
    (TimerWaiter("r", "k", 2**60 + 2**8), None),  # a multiple of the spacing there: exact, stored
    (UserInputWaiter("r", "k", "q", ("a", "b")), "tuple"),  # type: ignore[arg-type]
    (type("DuckWaiter", (), {})(), "needs a SignalWaiter, not DuckWaiter"),
]


@pytest.mark.parametrize("waiter, refusal", REFUSED)
def test_unstorable_records_are_refused_and_nothing_is_written(
        redis_server: RedisServer, prefix: str, waiter: Any, refusal: str | None) -> None:
    method = {SignalWaiter: "register_signal_waiter", TimerWaiter: "register_timer",
              UserInputWaiter: "register_user_input_waiter"}.get(type(waiter), "register_signal_waiter")

    async def body(registry: RedisWaiterRegistry) -> None:
        if refusal is None:
            await getattr(registry, method)(waiter)
            assert await registry.signal_waiter_count() + await registry.timer_count() == 1
            return
        with pytest.raises(TypeError, match=refusal):
            await getattr(registry, method)(waiter)
        counts = [await registry.signal_waiter_count(), await registry.timer_count(),
                  await registry.user_input_waiter_count()]
        assert counts == [0, 0, 0]

    run(lambda: with_registry(redis_server.url, prefix, body))


class Sub(str):
    pass


ARGUMENTS = [
    ("resolve_signal", (), {"signal_name": Sub("s"), "payload": {}}),
    ("resolve_signal", (), {"signal_name": 3, "payload": {}}),
    ("resolve_signal", (), {"signal_name": "s", "payload": None}),
    ("resolve_user_input", (), {"parent_run_id": "r", "resume_key": Sub("k"), "response": 1}),
    ("resolve_user_input", (), {"parent_run_id": None, "resume_key": 1, "response": 1}),
]


REFUSED_SETTINGS: list[tuple[Callable[..., object], dict[str, Any]]] = [
    (RedisWaiterRegistry, {"sweep_batch": 0}),
    (RedisWaiterRegistry, {"sweep_batch": MAX_SWEEP_BATCH + 1}),
    (RedisWaiterRegistry, {"sweep_batch": 2.0}),
    (RedisTokenSemaphore, {"lease_seconds": math.inf}),
    (RedisTokenSemaphore, {"lease_seconds": math.nan}),
    (RedisTokenSemaphore, {"lease_seconds": 0}),
]


@pytest.mark.parametrize("cls, settings", REFUSED_SETTINGS)
def test_settings_that_could_not_work_are_refused_at_construction(
        cls: Callable[..., object], settings: dict[str, Any]) -> None:
    with pytest.raises(ValueError, match=next(iter(settings))):
        cls(redis.Redis(port=1), **settings)


@pytest.mark.parametrize("max_connections", [0, -1, True, 2.0])
@pytest.mark.parametrize("make", [async_client, sync_client])
def test_a_pool_of_no_connections_is_refused(make: Callable[..., object], max_connections: Any) -> None:
    with pytest.raises(ValueError, match="max_connections"):
        make("redis://127.0.0.1:1/0", max_connections=max_connections)


@pytest.mark.parametrize("name, args, kwargs", ARGUMENTS)
def test_argument_errors_equal_the_in_memory_ones_and_come_at_the_call(
        name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
    def error(registry: Any) -> tuple[str, list[str]]:
        with pytest.raises(TypeError) as info:
            getattr(registry, name)(*args, **kwargs)  # raises before any coroutine exists
        return str(info.value), getattr(info.value, "__notes__", [])

    ours = RedisWaiterRegistry(redis.asyncio.Redis(port=1))
    assert error(ours) == error(InMemoryWaiterRegistry())


def test_waiters_outlive_the_registry_and_stay_within_their_prefix(redis_server: RedisServer, prefix: str) -> None:
    async def register(registry: RedisWaiterRegistry) -> None:
        await registry.register_signal_waiter(SignalWaiter("r", "k", "go"))
        await registry.register_timer(TimerWaiter("r", "t", 5.0))
        await registry.register_user_input_waiter(UserInputWaiter("r", "u", "q"))

    async def other_prefix(registry: RedisWaiterRegistry) -> None:
        assert await registry.resolve_signal(signal_name="go", payload={}) == []
        assert await registry.sweep_expired_timers() == []

    async def resolve(registry: RedisWaiterRegistry) -> None:
        assert await registry.resolve_signal(signal_name="go", payload={}) == [("r", "k", {})]
        assert await registry.sweep_expired_timers() == [("r", "t")]
        assert await registry.resolve_user_input(parent_run_id="r", resume_key="u", response=None)

    run(lambda: with_registry(redis_server.url, prefix, register))
    run(lambda: with_registry(redis_server.url, prefix + "-other", other_prefix))
    # A new process would see the same: the state lives in the server only.
    run(lambda: with_registry(redis_server.url, prefix, resolve))


def test_waiters_survive_a_server_restart_from_the_append_only_file(prefix: str) -> None:
    server = RedisServer().start()
    try:
        async def register(registry: RedisWaiterRegistry) -> None:
            await registry.register_signal_waiter(SignalWaiter("r", "k", "go", {"n": [1.5, None]}))
            await registry.register_timer(TimerWaiter("r", "t", 5))

        async def resolve(registry: RedisWaiterRegistry) -> None:
            assert await registry.resolve_signal(signal_name="go", payload={"n": [1.5, None]}) == [
                ("r", "k", {"n": [1.5, None]})]
            assert await registry.sweep_expired_timers() == [("r", "t")]

        run(lambda: with_registry(server.url, prefix, register))
        server.stop(sig=9)  # no shutdown save: only the append-only file brings them back
        server.start()
        run(lambda: with_registry(server.url, prefix, resolve))
    finally:
        server.remove()


def test_unreachable_server_fails_promptly_and_writes_nothing(prefix: str) -> None:
    server = RedisServer().start()
    try:
        async def calls(registry: RedisWaiterRegistry) -> list[type[BaseException]]:
            errors = []
            for call in (
                lambda: registry.register_signal_waiter(SignalWaiter("r", "k", "go")),
                lambda: registry.resolve_signal(signal_name="go", payload={}),
                lambda: registry.sweep_expired_timers(),
                lambda: registry.resolve_user_input(parent_run_id="r", resume_key="k", response=1),
            ):
                with pytest.raises(redis.ConnectionError) as info:
                    await call()
                errors.append(type(info.value))
            return errors

        async def empty(registry: RedisWaiterRegistry) -> None:
            assert [await registry.signal_waiter_count(), await registry.timer_count()] == [0, 0]
            assert await registry.resolve_signal(signal_name="go", payload={}) == []

        server.stop()
        started = time.monotonic()
        run(lambda: with_registry(server.url, prefix, calls, timeout=1.0))
        # A hang detector, not a speed target: four calls with a 1 s bound each.
        assert time.monotonic() - started < 20
        server.start()
        run(lambda: with_registry(server.url, prefix, empty))
    finally:
        server.remove()


def worker_command(kind: str, target: RedisServer | RedisClusterServers, prefix: str, number: object) -> list[str]:
    return [sys.executable, str(WORKERS), kind, target.url, "1" if target.cluster else "0", prefix, str(number)]


def start_together(target: RedisServer | RedisClusterServers, prefix: str, workers: int) -> None:
    client = target.sync_client()
    client.rpush(prefix + ":start", *range(workers))
    client.close()


def test_worker_processes_release_each_waiter_exactly_once(worker_target: RedisServer | RedisClusterServers,
                                                           prefix: str) -> None:
    signals, per_signal = 10, 30
    expected: Counter[tuple[str, ...]] = Counter()

    async def register(registry: RedisWaiterRegistry) -> None:
        for i in range(signals * per_signal):
            await registry.register_signal_waiter(SignalWaiter(f"s{i}", "k", "go", {"k": i % signals}))
            await registry.register_timer(TimerWaiter(f"t{i}", "k", float(i)))
            expected.update([("signal", f"s{i}", "k"), ("timer", f"t{i}", "k")])
        for k in range(signals):
            for _ in range(3):
                await registry.register_user_input_waiter(UserInputWaiter(f"u{k}", "k", "q"))
                expected[("input", f"u{k}", "k")] += 1

    run(lambda: on_target(worker_target, prefix, register))
    workers = [subprocess.Popen(worker_command("resolve", worker_target, prefix, signals), stdout=subprocess.PIPE)
               for _ in range(4)]
    start_together(worker_target, prefix, len(workers))
    released: Counter[tuple[str, ...]] = Counter()
    for worker in workers:
        out, _ = worker.communicate(timeout=120)
        assert worker.returncode == 0
        released.update(tuple(item) for item in json.loads(out))
    assert released == expected


# Pairs of (prefix, name) that the old layout, prefix + ":sig:" + name, mapped onto one key
# or onto another kind's key; and prefixes whose escapes or braces could meet.
KEY_SPACES = [
    (("ns", "x:sig:y"), ("ns:sig:x", "y")),
    (("ns", "x:timers"), ("ns:sig:x", "s")),
    (("ns", "x:timer-records"), ("ns:sig:x", "s")),
    (("ns", "x:seq"), ("ns:sig:x", "counts")),
    (("{ns}", "s"), ("ns", "s")),
    (("a}", "s"), ("a", "}:sig:s")),
    (("{", "s"), ("\\u007b", "s")),
    (("", "s"), ("[]", "s")),
    (("\U0001f600", "s"), ("\ud83d\ude00", "s")),  # a character, and its UTF-16 halves as two
]


@pytest.mark.parametrize("first, second", KEY_SPACES)
def test_registries_with_different_prefixes_never_share_a_key(
        redis_target: RedisServer | RedisClusterServers, prefix: str,
        first: tuple[str, str], second: tuple[str, str]) -> None:
    # The test's prefix keeps runs apart; it is a prefix of both, so the pair still differs only as given.
    spaces = [(prefix + p, name) for p, name in (first, second)]

    async def main() -> None:
        client = redis_target.async_client()
        try:
            registries = [RedisWaiterRegistry(client, prefix=p, clock=lambda: 10.0) for p, _ in spaces]
            for registry, (_, name) in zip(registries, spaces):
                await registry.register_signal_waiter(SignalWaiter(name, "k", name))
                await registry.register_timer(TimerWaiter(name, "k", 5))
                await registry.register_user_input_waiter(UserInputWaiter(name, "k", "q"))
            for registry, (_, name) in zip(registries, spaces):
                assert [w.parent_run_id for w in await registry.signal_waiters(name)] == [name]
                assert [w.parent_run_id for w in await registry.timers()] == [name]
                assert [await registry.signal_waiter_count(), await registry.timer_count(),
                        await registry.user_input_waiter_count()] == [1, 1, 1]
                assert await registry.resolve_signal(signal_name=name, payload={}) == [(name, "k", {})]
                assert await registry.sweep_expired_timers() == [(name, "k")]
                assert await registry.resolve_user_input(parent_run_id=name, resume_key="k", response=1)
        finally:
            await client.aclose()

    asyncio.run(main())


# Texts that differ though JSON's \\u escapes, or a careless encoding, would write them alike.
LOOKALIKES = [("\U0001f600", "\ud83d\ude00"), ("a", "a\x00"), ("\\u007b", "{"), ("\ud800", "\\ud800")]


@pytest.mark.parametrize("ours, theirs", LOOKALIKES)
def test_lookalike_names_and_pairs_reach_different_waiters(redis_server: RedisServer, prefix: str, ours: str,
                                                          theirs: str) -> None:
    async def body(registry: RedisWaiterRegistry) -> None:
        await registry.register_signal_waiter(SignalWaiter(ours, ours, ours, {ours: ours}))
        await registry.register_user_input_waiter(UserInputWaiter(ours, ours, ours))
        assert await registry.signal_waiters(theirs) == []
        assert await registry.resolve_user_input(parent_run_id=theirs, resume_key=ours, response=0) is False
        assert await registry.resolve_signal(signal_name=ours, payload={ours: theirs}) == []
        assert await registry.resolve_signal(signal_name=ours, payload={ours: ours}) == [(ours, ours, {ours: ours})]
        assert await registry.resolve_user_input(parent_run_id=ours, resume_key=ours, response=0) is True

    run(lambda: with_registry(redis_server.url, prefix, body))


@pytest.mark.parametrize("max_connections, calls", [(None, 150), (2, 120)])
def test_a_burst_beyond_the_pool_waits_for_connections_and_succeeds(
        redis_target: RedisServer | RedisClusterServers, prefix: str, max_connections: int | None,
        calls: int) -> None:
    options = {} if max_connections is None else {"max_connections": max_connections}

    async def main() -> None:
        client = redis_target.async_client(**options)
        registry = RedisWaiterRegistry(client, prefix=prefix)
        try:
            await asyncio.gather(*(registry.register_signal_waiter(SignalWaiter(f"r{i}", "k", f"s{i % 7}", {"i": i}))
                                   for i in range(calls)))
            released = await asyncio.gather(*(registry.resolve_signal(signal_name=f"s{i % 7}", payload={"i": i})
                                              for i in range(calls)))
        finally:
            await client.aclose()
        assert sorted(p for records in released for p, _, _ in records) == sorted(f"r{i}" for i in range(calls))

    asyncio.run(main())


def test_waiting_for_a_connection_is_bounded_by_the_timeout(
        redis_target: RedisServer | RedisClusterServers, prefix: str) -> None:
    async def main() -> None:
        client = redis_target.async_client(max_connections=1, timeout=0.05, socket_timeout=10)
        other = redis_target.async_client()
        registry = RedisWaiterRegistry(client, prefix=prefix)
        try:
            # Takes the only connection to the node that holds the registry's slot, until pushed.
            busy = _codec.hash_tag(prefix) + b":busy"
            hold = asyncio.ensure_future(client.blpop([busy], timeout=5))
            await asyncio.sleep(0.1)
            with pytest.raises(redis.ConnectionError, match="No connection available"):
                await registry.resolve_signal(signal_name="s", payload={})
            assert not hold.done()  # gave up while the connection was still taken
            await other.lpush(busy, "free")
            assert await hold is not None
            assert await registry.resolve_signal(signal_name="s", payload={}) == []
        finally:
            await client.aclose()
            await other.aclose()

    asyncio.run(main())


@pytest.mark.parametrize("batch, due, sweepers", [(7, 150, 4), (SWEEP_BATCH, SWEEP_BATCH + 1, 1)])
def test_sweeps_in_batches_release_every_due_timer_once_in_order(
        redis_target: RedisServer | RedisClusterServers, prefix: str, batch: int, due: int, sweepers: int) -> None:
    clock = Clock(1_000.0)

    async def main() -> None:
        clients = [redis_target.async_client() for _ in range(sweepers)]
        registries = [RedisWaiterRegistry(c, prefix=prefix, clock=clock, sweep_batch=batch) for c in clients]
        try:
            await asyncio.gather(*(registries[0].register_timer(
                TimerWaiter(f"t{i}", "k", 1_000.0 - i % 3 if i < due else 1_001)) for i in range(due + 10)))
            order = {t.parent_run_id: n for n, t in enumerate(await registries[0].timers())}  # registration order
            results = await asyncio.gather(*(registry.sweep_expired_timers() for registry in registries))
            for result in results:
                positions = [order[p] for p, _ in result]
                assert positions == sorted(positions)
            assert Counter(p for result in results for p, _ in result) == Counter(f"t{i}" for i in range(due))
            assert sorted(t.parent_run_id for t in await registries[0].timers()) == sorted(
                f"t{i}" for i in range(due, due + 10))
            assert await registries[0].timer_count() == 10
        finally:
            for c in clients:
                await c.aclose()

    asyncio.run(main())


def test_a_sweep_cut_off_between_batches_returns_what_it_released(redis_server: RedisServer, prefix: str) -> None:
    # After the first batch commits, the sweeper loses the right to run scripts, so a later
    # batch fails at the server: the sweep must hand back what it took, and the rest stay.
    timers = 500
    control = redis.Redis(port=redis_server.port)
    control.acl_setuser("sweeper", enabled=True, nopass=True, commands=["+@all"], keys=["*"], channels=["*"])
    control.config_set("notify-keyspace-events", "Kz")
    listener = control.pubsub()
    listener.psubscribe("__keyspace@0__:*")
    assert listener.get_message(timeout=5)["type"] == "psubscribe"  # type: ignore[index]

    def cut_after_first_batch() -> None:
        for message in listener.listen():
            if message["data"] == b"zrem":
                control.acl_setuser("sweeper", commands=["-evalsha"])
                return

    async def main() -> tuple[list[tuple[str, str]], list[TimerWaiter]]:
        async def register(registry: RedisWaiterRegistry) -> None:
            await asyncio.gather(*(registry.register_timer(TimerWaiter(f"t{i}", "k", 1)) for i in range(timers)))

        await with_registry(redis_server.url, prefix, register)
        cutter = threading.Thread(target=cut_after_first_batch)
        cutter.start()
        client = async_client(redis_server.url, username="sweeper", password="any")
        try:
            released = await RedisWaiterRegistry(client, prefix=prefix, sweep_batch=1).sweep_expired_timers()
        finally:
            await client.aclose()
            cutter.join()
        return released, await with_registry(redis_server.url, prefix, lambda r: r.timers())

    try:
        released, remaining = asyncio.run(main())
    finally:
        listener.close()
        control.config_set("notify-keyspace-events", "")
        control.acl_deluser("sweeper")
        control.close()
    assert 0 < len(released) < timers
    assert sorted([p for p, _ in released] + [t.parent_run_id for t in remaining]) == sorted(
        f"t{i}" for i in range(timers))


# (resume_at_unix, clock reading): where a double comparison of the two as given goes wrong.
TIMER_EDGES = [
    pytest.param(2**53 + 2, 2**53 + 1, id="2**53+2 at 2**53+1"),
    pytest.param(2**53 + 2, 2**53 + 3, id="2**53+2 at 2**53+3"),
    pytest.param(2**53 + 4, 2**53 + 3, id="2**53+4 at 2**53+3"),
    pytest.param(2**60, 2**60 - 1, id="2**60 at 2**60-1"),
    pytest.param(2**60, 2**60, id="2**60 at 2**60"),
    pytest.param(0.1, Fraction(1, 10), id="0.1 at 1/10"),
    pytest.param(float(2**53), 2**53, id="float 2**53 at int 2**53"),
    pytest.param(float("inf"), 10**400, id="inf at 10**400"),
    pytest.param(1e308, 10**400, id="1e308 at 10**400"),
    pytest.param(float("-inf"), -(10**400), id="-inf at -10**400"),
    pytest.param(-1e308, -(10**400), id="-1e308 at -10**400"),
]


@pytest.mark.parametrize("due, now", TIMER_EDGES)
def test_timers_fall_due_exactly_when_the_in_memory_registry_releases_them(
        redis_server: RedisServer, prefix: str, due: float, now: Any) -> None:
    async def sweep(registry: Any) -> list[tuple[str, str]]:
        await registry.register_timer(TimerWaiter("r", "k", due))
        result: list[tuple[str, str]] = await registry.sweep_expired_timers()
        return result

    async def main() -> None:
        expected = await sweep(InMemoryWaiterRegistry(clock=lambda: now))
        assert await on_target(redis_server, prefix, sweep, clock=lambda: now) == expected

    asyncio.run(main())
