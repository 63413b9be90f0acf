"""The registry's outbox: releases held until acknowledged, redelivered after a lost reply or a dead claimer."""

from __future__ import annotations

import asyncio
import json
import os
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Awaitable, Callable, Iterator
from pathlib import Path
from typing import Any

import pytest
import redis
from redis_server import RedisServer

from corlith_redis import RedisWaiterRegistry, Release, async_client, sync_client
from corlith_runtime.core.runtime.waiters import SignalWaiter, TimerWaiter, UserInputWaiter

HERE = Path(__file__).parent


def wait_until(condition: Callable[[], Any], what: str, seconds: float = 60.0) -> Any:
    deadline = time.monotonic() + seconds
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)
    return value


async def await_until(condition: Callable[[], Awaitable[Any]], what: str, seconds: float = 60.0) -> Any:
    deadline = time.monotonic() + seconds
    while not (value := await condition()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        await asyncio.sleep(0.02)
    return value


class Counted:
    """Counts the round trips a client makes."""

    def __init__(self, client: Any) -> None:
        self.calls = 0
        original = client.execute_command

        async def counted(*args: Any, **kwargs: Any) -> Any:
            self.calls += 1
            return await original(*args, **kwargs)
        client.execute_command = counted


# Pairs whose JSON needs escapes, or whose text is not plain: the outbox cuts its key out of the stored record.
PAIRS = [("r", "k"), ('a"b', "c\\"), ("\\", '"]'), ("é☃\U0001f600", "\ud800"), ("\n\x00\x7f", ""), ("[", ",")]


def test_releases_are_held_until_acknowledged_with_the_same_round_trips(redis_server: RedisServer,
                                                                        prefix: str) -> None:
    async def body() -> None:
        client = async_client(redis_server.url)
        counted = Counted(client)
        registry = RedisWaiterRegistry(client, prefix=prefix, clock=lambda: 1e12, outbox_seconds=3600)
        # Loads the scripts into the server, which costs round trips of its own once.
        await registry.register_signal_waiter(SignalWaiter("warm", "k", "warm"))
        await registry.resolve_signal(signal_name="warm", payload={})
        await registry.resolve_user_input(parent_run_id="warm", resume_key="k", response=None)
        await registry.sweep_expired_timers()
        await registry.acknowledge(parent_run_id="warm", resume_key="k")
        for n, (p, r) in enumerate(PAIRS):
            await registry.register_signal_waiter(SignalWaiter(p, r, "go", {"n": n}))
            await registry.register_timer(TimerWaiter(p, r, float(n)))
            await registry.register_user_input_waiter(UserInputWaiter(p, r, "q?"))
        counted.calls = 0
        released = []
        for n, (p, r) in enumerate(PAIRS):
            released += await registry.resolve_signal(signal_name="go", payload={"n": n, "t": [1.5, None]})
        assert counted.calls == 2 * len(PAIRS)  # a read, then the claim, as without the outbox
        assert [(p, r) for p, r, _ in released] == PAIRS
        counted.calls = 0
        assert await registry.sweep_expired_timers() == PAIRS
        for p, r in PAIRS:
            assert await registry.resolve_user_input(parent_run_id=p, resume_key=r, response={"answer": p})
        assert counted.calls == 1 + len(PAIRS)
        assert await registry.outbox_count() == len(PAIRS)
        for n, (p, r) in enumerate(PAIRS):
            held = await registry.held(p, r)
            assert [(h.kind, h.parent_run_id, h.resume_key, h.value) for h in held] == [
                ("signal", p, r, {"n": n, "t": [1.5, None]}), ("timer", p, r, None), ("input", p, r, {"answer": p})]
            assert held[0].waiter == SignalWaiter(p, r, "go", {"n": n})
            assert held[1].waiter == TimerWaiter(p, r, float(n))
        counted.calls = 0
        for p, r in PAIRS:
            assert await registry.acknowledge(parent_run_id=p, resume_key=r) is True
            assert await registry.acknowledge(parent_run_id=p, resume_key=r) is False
        assert counted.calls == 2 * len(PAIRS)
        assert await registry.outbox_count() == 0
        # A registry without the outbox holds nothing, over the same keys.
        plain = RedisWaiterRegistry(client, prefix=prefix)
        await plain.register_timer(TimerWaiter("x", "k", 0.0))
        assert await plain.sweep_expired_timers() == [("x", "k")]
        assert await plain.outbox_count() == 0
        with pytest.raises(ValueError, match="no outbox"):
            await plain.redeliver()
        # A payload that JSON cannot hold is still released; the outbox keeps the release without it.
        await registry.register_signal_waiter(SignalWaiter("y", "k", "odd"))
        assert await registry.resolve_signal(signal_name="odd", payload={"when": (1, 2)}) == [("y", "k", {"when": (1, 2)})]
        assert [h.value for h in await registry.held("y", "k")] == [None]
        await client.aclose()

    asyncio.run(body())


@pytest.mark.parametrize("seconds", [0, -1.0, float("nan"), float("inf")])
def test_an_outbox_time_that_could_not_work_is_refused(redis_server: RedisServer, seconds: float) -> None:
    with pytest.raises(ValueError, match="outbox_seconds"):
        RedisWaiterRegistry(redis_server.async_client(), outbox_seconds=seconds)


@pytest.fixture
def debug_server() -> Iterator[RedisServer]:
    server = RedisServer(extra=("--enable-debug-command", "local")).start()
    yield server
    server.remove()


def _block_server(server: RedisServer, seconds: int) -> threading.Thread:
    """DEBUG SLEEP on a connection of its own; returns once the server is seen not answering."""
    sleeper = redis.Redis(port=server.port, socket_timeout=seconds + 30)
    probe = sync_client(server.url, timeout=0.2)  # never retries: a timeout is seen as one
    probe.ping()
    thread = threading.Thread(target=sleeper.execute_command, args=("DEBUG", "SLEEP", seconds), daemon=True)
    thread.start()

    def busy() -> bool:
        try:
            probe.ping()
            return False
        except redis.TimeoutError:
            return True
    wait_until(busy, "the server to sleep")
    return thread


def test_a_sweep_whose_reply_is_lost_is_redelivered_once(debug_server: RedisServer, prefix: str) -> None:
    async def body() -> None:
        victim_client = async_client(debug_server.url, timeout=0.5)
        victim = RedisWaiterRegistry(victim_client, prefix=prefix, clock=lambda: 1e12, outbox_seconds=1.0)
        other_client = async_client(debug_server.url, timeout=30)
        other = RedisWaiterRegistry(other_client, prefix=prefix, outbox_seconds=1.0)
        assert await victim.sweep_expired_timers() == []  # loads the script and opens the victim's connection
        for n in range(3):
            await victim.register_timer(TimerWaiter(f"r{n}", "k", float(n)))
        sleeper = _block_server(debug_server, 2)
        with pytest.raises(redis.TimeoutError):
            await victim.sweep_expired_timers()  # applied after the sleep; its reply is never read
        sleeper.join()
        await await_until(lambda: _is_zero(other.timer_count()), "the sweep to be applied")
        assert await other.sweep_expired_timers() == []  # released once, to the caller that lost the reply
        # The releases wait out their outbox time, then go to exactly one redeliverer.
        redelivered: list[Release] = await await_until(other.redeliver, "the redelivery", 30)
        assert sorted((r.kind, r.parent_run_id) for r in redelivered) == [("timer", "r0"), ("timer", "r1"),
                                                                          ("timer", "r2")]
        assert await other.redeliver() == []  # leased to the first redeliverer
        for release in redelivered:
            assert await other.acknowledge(parent_run_id=release.parent_run_id, resume_key=release.resume_key)
        assert await other.outbox_count() == 0
        await victim_client.aclose()
        await other_client.aclose()

    asyncio.run(body())


async def _is_zero(count: Awaitable[int]) -> bool:
    return await count == 0


CLAIMER = """
import asyncio, json, os, signal, sys
from corlith_redis import RedisWaiterRegistry, async_client
async def main():
    registry = RedisWaiterRegistry(async_client(sys.argv[1]), prefix=sys.argv[2], outbox_seconds=1.0)
    got = [list(r[:2]) for r in await registry.resolve_signal(signal_name="go", payload={"by": "claimer"})]
    got += [["input", "u"]] if await registry.resolve_user_input(parent_run_id="u", resume_key="k",
                                                                 response={"answer": "y"}) else []
    print(json.dumps(got), flush=True)
    os.kill(os.getpid(), signal.SIGKILL)  # dies before resuming anyone
asyncio.run(main())
"""


def test_a_claimer_killed_before_resuming_leaves_its_releases_for_redelivery(redis_server: RedisServer,
                                                                             prefix: str) -> None:
    async def body() -> None:
        client = async_client(redis_server.url)
        registry = RedisWaiterRegistry(client, prefix=prefix, outbox_seconds=1.0)
        for n in range(4):
            await registry.register_signal_waiter(SignalWaiter(f"s{n}", "k", "go"))
        await registry.register_user_input_waiter(UserInputWaiter("u", "k", "ship?"))
        claimer = await asyncio.to_thread(
            subprocess.run, [sys.executable, "-c", CLAIMER, redis_server.url, prefix], capture_output=True,
            text=True, timeout=60)
        assert claimer.returncode == -signal.SIGKILL
        assert json.loads(claimer.stdout) == [[f"s{n}", "k"] for n in range(4)] + [["input", "u"]]
        assert await registry.signal_waiter_count() == 0 and await registry.user_input_waiter_count() == 0
        try:
            # The releases fall due one by one; each is leased to the reaper that takes it.
            taken: list[Release] = []

            async def all_taken() -> bool:
                taken.extend(await registry.redeliver())
                return len(taken) >= 5

            await await_until(all_taken, "the redelivery", 30)
            assert await registry.redeliver() == []  # leased: no second reaper gets one
            got = sorted((r.kind, r.parent_run_id, json.dumps(r.value)) for r in taken)
            assert got == [("input", "u", '{"answer": "y"}')] + [("signal", f"s{n}", '{"by": "claimer"}')
                                                                for n in range(4)]
            for release in taken:
                await registry.acknowledge(parent_run_id=release.parent_run_id, resume_key=release.resume_key)
            assert await registry.outbox_count() == 0
        finally:
            await client.aclose()

    asyncio.run(body())
