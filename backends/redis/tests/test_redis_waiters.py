"""RedisWaiterRegistry beyond the conformance kit: storage, durability, failures, many processes."""

from __future__ import annotations

import asyncio
import enum
import json
import math
import subprocess
import sys
import time
from collections import Counter
from collections.abc import Awaitable, Callable
from pathlib import Path
from typing import Any

import pytest
import redis
import redis.asyncio
from redis_server import RedisServer

from corlith_redis import RedisWaiterRegistry, async_client
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
    "false": False, "none": None, "text": "é\ud800\U0001f600\x00", "empty": {}, "list": [1, 1.0, True, "1", None],
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
            assert await registry.signal_waiter_count() == 1
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


def start_together(url: str, prefix: str, workers: int) -> None:
    client = redis.Redis.from_url(url)
    client.rpush(prefix + ":start", *range(workers))
    client.close()


def test_worker_processes_release_each_waiter_exactly_once(redis_server: RedisServer, prefix: str) -> None:
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

    run(lambda: with_registry(redis_server.url, prefix, register))
    workers = [subprocess.Popen([sys.executable, str(WORKERS), "resolve", redis_server.url, prefix, str(signals)],
                                stdout=subprocess.PIPE) for _ in range(4)]
    start_together(redis_server.url, prefix, len(workers))
    released: Counter[tuple[str, ...]] = Counter()
    for worker in workers:
        out, _ = worker.communicate(timeout=120)
        assert worker.returncode == 0
        released.update(tuple(item) for item in json.loads(out))
    assert released == expected
